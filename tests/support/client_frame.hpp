#pragma once
// The bytes of a client frame: its first byte (FIN, RSV, opcode), the mask bit with the payload
// length, the mask key and the payload masked with it. Plain C++ over a string, shared by the
// tests' clients and the benchmark's load generator (which builds without the tests).

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace korva_test {

// Appends a frame header. The length takes the shortest form unless `length_form` forces the
// 16-bit (126) or the 64-bit (127) one; `mask` is the 4-byte key, or null for a frame without a
// mask (which a server must refuse).
inline void append_client_frame_header(std::string& out, unsigned char fin_rsv_opcode, std::uint64_t length,
                                       const unsigned char* mask, int length_form = 0) {
  const char mask_bit = mask ? '\x80' : '\x00';
  out.push_back(static_cast<char>(fin_rsv_opcode));
  if (length_form == 127 || (length_form == 0 && length > 0xFFFF)) {
    out.push_back(static_cast<char>(mask_bit | 127));
    for (int shift = 56; shift >= 0; shift -= 8)
      out.push_back(static_cast<char>((length >> shift) & 0xFF));
  } else if (length_form == 126 || (length_form == 0 && length > 125)) {
    out.push_back(static_cast<char>(mask_bit | 126));
    out.push_back(static_cast<char>((length >> 8) & 0xFF));
    out.push_back(static_cast<char>(length & 0xFF));
  } else {
    out.push_back(static_cast<char>(mask_bit | static_cast<char>(length)));
  }
  if (mask)
    out.append(reinterpret_cast<const char*>(mask), 4);
}

// Appends a whole frame (see above); returns the offset of its payload in `out`, where the bytes
// stand masked.
inline std::size_t append_client_frame(std::string& out, unsigned char fin_rsv_opcode, const char* payload,
                                       std::size_t length, const unsigned char* mask, int length_form = 0) {
  append_client_frame_header(out, fin_rsv_opcode, length, mask, length_form);
  const std::size_t start = out.size();
  out.append(payload, length);
  if (mask)
    for (std::size_t i = 0; i < length; ++i)
      out[start + i] = static_cast<char>(static_cast<unsigned char>(out[start + i]) ^ mask[i % 4]);
  return start;
}

// A server frame's 16-bit or 64-bit length, most significant byte first.
inline std::uint64_t read_length(const unsigned char* bytes, std::size_t count) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < count; ++i)
    value = (value << 8) | bytes[i];
  return value;
}

// One frame the server wrote, as a client reads it.
struct WrittenFrame {
  unsigned char fin_rsv_opcode = 0;
  std::string payload;
};

// The whole frames in `bytes` from `at` on; `at` moves past them. A frame cut short is left.
inline std::vector<WrittenFrame> written_frames(const std::string& bytes, std::size_t& at) {
  std::vector<WrittenFrame> frames;
  for (;;) {
    if (bytes.size() - at < 2)
      return frames;
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data()) + at;
    std::uint64_t length = data[1] & 0x7F;
    std::size_t header = 2;
    if (length >= 126) {
      header += length == 126 ? 2 : 8;
      if (bytes.size() - at < header)
        return frames;
      length = read_length(data + 2, header - 2);
    }
    if (bytes.size() - at - header < length)
      return frames;
    frames.push_back({data[0], bytes.substr(at + header, static_cast<std::size_t>(length))});
    at += header + static_cast<std::size_t>(length);
  }
}

} // namespace korva_test
