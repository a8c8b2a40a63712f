#include "websocket/frame.hpp"

#include <cstring>

namespace KorvaWeb {

FrameHeader encode_frame_header(unsigned char fin_rsv_opcode, std::uint64_t payload_size) noexcept {
  FrameHeader header{};
  header.bytes[0] = fin_rsv_opcode;
  if (payload_size <= 125) {
    header.bytes[1] = static_cast<unsigned char>(payload_size);
    header.size = 2;
  } else if (payload_size <= 0xFFFF) {
    header.bytes[1] = 126;
    header.bytes[2] = static_cast<unsigned char>(payload_size >> 8);
    header.bytes[3] = static_cast<unsigned char>(payload_size);
    header.size = 4;
  } else {
    header.bytes[1] = 127;
    for (int i = 0; i < 8; ++i)
      header.bytes[2 + i] = static_cast<unsigned char>(payload_size >> (8 * (7 - i)));
    header.size = 10;
  }
  return header;
}

std::optional<error> forbidden_frame(unsigned char fin_rsv_opcode, unsigned char length_code, bool message_open,
                                     bool compression_agreed) noexcept {
  const unsigned char opcode = frame_opcode(fin_rsv_opcode);
  const bool compressed_start = compression_agreed && (fin_rsv_opcode & 0x70) == rsv1_bit &&
                                (opcode == opcodes::text || opcode == opcodes::binary);
  if (frame_has_reserved_bits(fin_rsv_opcode) && !compressed_start)
    return error::reserved_bits;
  if (opcode_is_reserved(opcode))
    return error::reserved_opcode;
  if (opcode_is_control(opcode)) {
    if (!frame_is_final(fin_rsv_opcode))
      return error::fragmented_control_frame;
    if (length_code > 125)
      return error::control_frame_too_long;
    if (opcode == opcodes::close && length_code == 1)
      return error::one_byte_close;
    return std::nullopt;
  }
  if (opcode == opcodes::continuation && !message_open)
    return error::unexpected_continuation;
  if (opcode != opcodes::continuation && message_open)
    return error::message_interrupted;
  return std::nullopt;
}

void unmask(const unsigned char* in, std::size_t size, const unsigned char* key, unsigned char* out) noexcept {
  std::size_t i = 0;
  if (size >= 8) {
    // Eight bytes at a time: the key repeats every four, so twice over it masks eight.
    const unsigned char key8[8] = {key[0], key[1], key[2], key[3], key[0], key[1], key[2], key[3]};
    std::uint64_t mask;
    std::memcpy(&mask, key8, 8);
    for (; i + 8 <= size; i += 8) {
      std::uint64_t word;
      std::memcpy(&word, in + i, 8);
      word ^= mask;
      std::memcpy(out + i, &word, 8);
    }
  }
  for (; i < size; ++i)
    out[i] = in[i] ^ key[i % 4];
}

std::string close_payload(int status, const std::string& reason) {
  std::string payload;
  payload.reserve(2 + reason.size());
  payload.push_back(static_cast<char>((status >> 8) & 0xFF));
  payload.push_back(static_cast<char>(status & 0xFF));
  payload += reason;
  return payload;
}

} // namespace KorvaWeb
