#include "device/log_safe.hpp"

namespace korva {

namespace {

bool is_control(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte == 0x7f;
}

bool is_continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// How many leading bytes of `value` to keep under `limit`: a cut right before a continuation
// byte moves back to the start of its sequence (at most three bytes, the longest run of
// continuation bytes in UTF-8; a longer run is not UTF-8 and is cut where the limit falls).
std::size_t kept_size(std::string_view value, std::size_t limit) {
  if (value.size() <= limit)
    return value.size();
  for (std::size_t keep = limit; keep + 3 >= limit; --keep) {
    if (!is_continuation(value[keep]))
      return keep;
    if (keep == 0)
      break;
  }
  return limit;
}

void append_escape(std::string& text, char c) {
  static const char hex[] = "0123456789abcdef";
  switch (c) {
  case '\n':
    text += "\\n";
    break;
  case '\r':
    text += "\\r";
    break;
  case '\t':
    text += "\\t";
    break;
  default:
    text += "\\x";
    text.push_back(hex[static_cast<unsigned char>(c) >> 4]);
    text.push_back(hex[static_cast<unsigned char>(c) & 0x0F]);
  }
}

} // namespace

std::string log_safe(std::string_view value, std::size_t limit) {
  const std::size_t keep = kept_size(value, limit);
  std::string text;
  text.reserve(keep);
  // Runs of ordinary bytes are copied whole; an ordinary value is one run.
  for (std::size_t at = 0; at < keep;) {
    std::size_t end = at;
    while (end < keep && !is_control(value[end]))
      ++end;
    text.append(value.data() + at, end - at);
    if (end < keep)
      append_escape(text, value[end++]);
    at = end;
  }
  if (keep < value.size())
    text.append("...[cut ").append(std::to_string(value.size() - keep)).append(" bytes]");
  return text;
}

} // namespace korva
