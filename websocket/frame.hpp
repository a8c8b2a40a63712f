#pragma once
// The WebSocket base framing as plain functions: the header the server writes, the size check the
// reader makes before it reads a payload, unmasking, and the close-frame payload.
//
//   byte 0   FIN | RSV1-3 | opcode            byte 1   MASK | length code L
//   L <= 125: length L;  L = 126: 16-bit length follows;  L = 127: 64-bit length follows
//   then a 4-byte mask key when MASK is set, then the payload (big-endian integers throughout)

#include "websocket/error.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>

namespace KorvaWeb {

// The low four bits of a frame's first byte.
namespace opcodes {
constexpr unsigned char continuation = 0;
constexpr unsigned char text = 1;
constexpr unsigned char binary = 2;
constexpr unsigned char close = 8;
constexpr unsigned char ping = 9;
constexpr unsigned char pong = 10;
} // namespace opcodes

// The top bit of a frame's first byte: the last frame of its message.
constexpr unsigned char fin_bit = 0x80;

namespace fin_rsv_opcodes {
constexpr unsigned char text = fin_bit | opcodes::text;   // 129
constexpr unsigned char close = fin_bit | opcodes::close; // 136
} // namespace fin_rsv_opcodes

// The close the idle timer sends; the closes of failures are listed with them (error.hpp).
namespace close_reasons {
constexpr int idle_status = 1000;
constexpr const char* idle = "idle timeout";
} // namespace close_reasons

struct FrameHeader {
  std::array<unsigned char, 10> bytes;
  std::size_t size;
};

// Header of an unmasked server frame with the shortest length form.
FrameHeader encode_frame_header(unsigned char fin_rsv_opcode, std::uint64_t payload_size) noexcept;

inline bool frame_is_masked(unsigned char byte1) noexcept { return (byte1 & 0x80) != 0; }
inline bool frame_has_reserved_bits(unsigned char fin_rsv_opcode) noexcept { return (fin_rsv_opcode & 0x70) != 0; }
// Close, ping and pong: at most 125 bytes, never fragmented.
inline bool opcode_is_control(unsigned char opcode) noexcept { return opcode >= 8; }
// Opcodes without a meaning (3-7, 11-15).
inline bool opcode_is_reserved(unsigned char opcode) noexcept { return (opcode > 2 && opcode < 8) || opcode > 10; }
// Close codes a peer may send: 1000-1003, 1007-1014 and 3000-4999 (1004-1006 and 1015 are for
// endpoints to report, never to send).
inline bool close_code_may_be_sent(int code) noexcept {
  return (code >= 1000 && code <= 1003) || (code >= 1007 && code <= 1014) || (code >= 3000 && code <= 4999);
}
inline unsigned char frame_length_code(unsigned char byte1) noexcept { return byte1 & 0x7F; }
inline unsigned char frame_opcode(unsigned char fin_rsv_opcode) noexcept { return fin_rsv_opcode & 0x0F; }
inline bool frame_is_final(unsigned char fin_rsv_opcode) noexcept { return (fin_rsv_opcode & fin_bit) != 0; }

// Bytes of a client frame's header before its mask key: 2, plus the 16-bit or 64-bit length that
// the length codes 126 and 127 announce.
inline std::size_t frame_head_size(unsigned char length_code) noexcept {
  return length_code == 126 ? 4 : length_code == 127 ? 10 : 2;
}

// The bit that marks a message compressed with permessage-deflate, on its first frame only.
constexpr unsigned char rsv1_bit = 0x40;

// What the protocol says of a client frame from its first two bytes (given whether a message is
// open, and whether permessage-deflate was agreed on): the failure it is, or none. No reserved bit
// may be set but RSV1 on the first frame of a text or binary message, and that only with
// permessage-deflate.
std::optional<error> forbidden_frame(unsigned char fin_rsv_opcode, unsigned char length_code, bool message_open,
                                     bool compression_agreed = false) noexcept;

// Big-endian unsigned integer of `count` (2 or 8) bytes.
inline std::uint64_t read_big_endian(const unsigned char* bytes, std::size_t count) noexcept {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < count; ++i)
    value = (value << 8) | bytes[i];
  return value;
}

// True when a frame of `frame_length` payload bytes cannot be taken: it would bring the message
// being assembled (`assembled` bytes so far) over `max_message_size`, or the mask key and
// payload (4 + length bytes) would not fit the size type. Computed without wrap-around, so it
// holds for a 32-bit size type as well.
template <class Size>
bool frame_too_big(std::uint64_t frame_length, Size assembled, Size max_message_size) noexcept {
  constexpr std::uint64_t size_max = std::numeric_limits<Size>::max();
  if (frame_length > size_max - 4)
    return true;
  if (assembled > max_message_size)
    return true;
  return frame_length > static_cast<std::uint64_t>(max_message_size - assembled);
}

// out[i] = in[i] ^ key[i % 4]; `in` and `out` may be the same.
void unmask(const unsigned char* in, std::size_t size, const unsigned char* key, unsigned char* out) noexcept;
inline void unmask(const unsigned char* in, std::size_t size, const std::array<unsigned char, 4>& key,
                   unsigned char* out) noexcept {
  unmask(in, size, key.data(), out);
}
// The key for unmasking a payload from byte `offset` on.
inline std::array<unsigned char, 4> rotated_key(const std::array<unsigned char, 4>& key, std::size_t offset) noexcept {
  return {key[offset % 4], key[(offset + 1) % 4], key[(offset + 2) % 4], key[(offset + 3) % 4]};
}

// Payload of a close frame: the status as unsigned 16-bit big-endian (higher bits dropped),
// then the reason's bytes.
std::string close_payload(int status, const std::string& reason);

} // namespace KorvaWeb
