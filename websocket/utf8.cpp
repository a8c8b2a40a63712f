#include "websocket/utf8.hpp"

#include <cstring>

namespace KorvaWeb {

Utf8Validator::State Utf8Validator::after_lead(unsigned char c) noexcept {
  if (c < 0x80)
    return accept;
  if (c < 0xC2)
    return reject; // a continuation byte, or the lead of an overlong two-byte form
  if (c < 0xE0)
    return one_more;
  if (c == 0xE0)
    return after_e0;
  if (c == 0xED)
    return after_ed;
  if (c < 0xF0)
    return two_more;
  if (c == 0xF0)
    return after_f0;
  if (c < 0xF4)
    return three_more;
  if (c == 0xF4)
    return after_f4;
  return reject;
}

bool Utf8Validator::feed(const unsigned char* data, std::size_t size) noexcept {
  State state = state_;
  std::size_t i = 0;
  while (i < size && state != reject) {
    if (state == accept) {
      // Plain ASCII goes sixteen bytes at a time: requests are mostly JSON in ASCII.
      while (i + 16 <= size) {
        std::uint64_t words[2];
        std::memcpy(words, data + i, 16);
        if ((words[0] | words[1]) & 0x8080808080808080ull)
          break;
        i += 16;
      }
      while (i + 8 <= size) {
        std::uint64_t word;
        std::memcpy(&word, data + i, 8);
        if (word & 0x8080808080808080ull)
          break;
        i += 8;
      }
      if (i == size)
        break;
      state = after_lead(data[i++]);
      continue;
    }
    const unsigned char c = data[i++];
    switch (state) {
    case one_more:
      state = (c & 0xC0) == 0x80 ? accept : reject;
      break;
    case two_more:
      state = (c & 0xC0) == 0x80 ? one_more : reject;
      break;
    case three_more:
      state = (c & 0xC0) == 0x80 ? two_more : reject;
      break;
    case after_e0:
      state = c >= 0xA0 && c <= 0xBF ? one_more : reject;
      break;
    case after_ed:
      state = c >= 0x80 && c <= 0x9F ? one_more : reject;
      break;
    case after_f0:
      state = c >= 0x90 && c <= 0xBF ? two_more : reject;
      break;
    case after_f4:
      state = c >= 0x80 && c <= 0x8F ? two_more : reject;
      break;
    default:
      state = reject;
    }
  }
  state_ = state;
  return state_ != reject;
}

} // namespace KorvaWeb
