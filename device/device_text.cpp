#include "device/device_text.hpp"

#include <cstdint>
#include <cstring>

namespace korva {

namespace {

// The length of the character that starts at `at` when it is well-formed; otherwise 0, with
// `maximal` set to the length of the longest start of a character there (at least 1), which is
// replaced as one.
std::size_t character_at(const unsigned char* at, const unsigned char* end, std::size_t& maximal) noexcept {
  const unsigned char lead = *at;
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xBF; // the range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0)
      low = 0xA0; // no overlong forms
    else if (lead == 0xED)
      high = 0x9F; // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0)
      low = 0x90;
    else if (lead == 0xF4)
      high = 0x8F; // nothing above U+10FFFF
  } else {
    maximal = 1; // a continuation byte, or a byte that never starts a character
    return 0;
  }
  std::size_t taken = 1;
  for (; taken < length && at + taken < end; ++taken) {
    const unsigned char c = at[taken];
    if (taken == 1 ? (c < low || c > high) : (c & 0xC0) != 0x80)
      break;
  }
  if (taken == length)
    return length;
  maximal = taken;
  return 0;
}

// The length of the valid UTF-8 that `text` starts with.
std::size_t valid_prefix(const unsigned char* begin, const unsigned char* end) noexcept {
  const unsigned char* at = begin;
  while (at < end) {
    while (end - at >= 8) {
      std::uint64_t word;
      std::memcpy(&word, at, 8);
      if (word & 0x8080808080808080ull)
        break;
      at += 8;
    }
    if (at == end)
      break;
    if (*at < 0x80) {
      ++at;
      continue;
    }
    std::size_t maximal = 0;
    const std::size_t length = character_at(at, end, maximal);
    if (length == 0)
      break;
    at += length;
  }
  return static_cast<std::size_t>(at - begin);
}

} // namespace

bool valid_utf8(const std::string& text) noexcept {
  const auto* begin = reinterpret_cast<const unsigned char*>(text.data());
  return valid_prefix(begin, begin + text.size()) == text.size();
}

std::size_t make_valid_utf8(std::string& text) {
  const auto* begin = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = begin + text.size();
  std::size_t valid = valid_prefix(begin, end);
  if (valid == text.size())
    return 0;
  std::string repaired;
  repaired.reserve(text.size() + 16);
  std::size_t replaced = 0;
  const unsigned char* at = begin;
  for (;;) {
    repaired.append(reinterpret_cast<const char*>(at), valid);
    at += valid;
    if (at == end)
      break;
    std::size_t maximal = 1;
    character_at(at, end, maximal);
    repaired.append("\xEF\xBF\xBD");
    ++replaced;
    at += maximal;
    valid = valid_prefix(at, end);
  }
  text.swap(repaired);
  return replaced;
}

} // namespace korva
