#include "device/device_text.hpp"

#include "websocket/utf8.hpp"

#include <algorithm>

namespace korva {

namespace {

using KorvaWeb::Utf8Validator;

// Text is checked a piece at a time at the validator's own speed; only the piece in which it
// fails is gone through again, a byte at a time, to find where.
constexpr std::size_t piece_size = 256;

bool is_continuation(unsigned char c) noexcept { return (c & 0xC0) == 0x80; }

// The length of the valid UTF-8 that [begin, end) starts with: it ends where a character ends.
std::size_t valid_prefix(const unsigned char* begin, const unsigned char* end) noexcept {
  const unsigned char* at = begin; // where a character starts, with only valid UTF-8 before it
  while (at < end) {
    const std::size_t size = std::min<std::size_t>(piece_size, static_cast<std::size_t>(end - at));
    Utf8Validator validator;
    if (validator.feed(at, size)) {
      if (validator.complete()) {
        at += size;
        continue;
      }
      // The piece ends inside a character (its lead byte at most three bytes back), which
      // starts the next piece, or ends the text cut off.
      const unsigned char* lead = at + size - 1;
      while (is_continuation(*lead))
        --lead;
      if (at + size == end)
        return static_cast<std::size_t>(lead - begin);
      at = lead;
      continue;
    }
    Utf8Validator byte_wise;
    for (const unsigned char* next = at; next < end && byte_wise.feed(next, 1);) {
      ++next;
      if (byte_wise.complete())
        at = next;
    }
    break;
  }
  return static_cast<std::size_t>(at - begin);
}

// The length of the longest start of a character at `at`, where the valid text ends: the bytes
// that one U+FFFD replaces (at least 1).
std::size_t maximal_part(const unsigned char* at, const unsigned char* end) noexcept {
  Utf8Validator validator;
  std::size_t taken = 0;
  while (at + taken < end && validator.feed(at + taken, 1))
    ++taken;
  return std::max<std::size_t>(taken, 1);
}

} // namespace

bool valid_utf8(const std::string& text) noexcept {
  return Utf8Validator::valid(reinterpret_cast<const unsigned char*>(text.data()), text.size());
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
    repaired.append("\xEF\xBF\xBD");
    ++replaced;
    at += maximal_part(at, end);
    valid = valid_prefix(at, end);
  }
  text.swap(repaired);
  return replaced;
}

} // namespace korva
