#include "websocket/permessage_deflate.hpp"

#include <algorithm>

namespace KorvaWeb {

namespace {

bool is_token_char(char c) noexcept {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
    return true;
  switch (c) {
  case '!': case '#': case '$': case '%': case '&': case '\'': case '*': case '+':
  case '-': case '.': case '^': case '_': case '`': case '|': case '~':
    return true;
  default:
    return false;
  }
}

// A reader over one header value; every function that fails leaves the position undefined (the
// whole value is then refused).
class ListReader {
public:
  explicit ListReader(std::string_view text) : text_(text) {}

  bool at_end() const noexcept { return at_ == text_.size(); }
  char peek() const noexcept { return text_[at_]; }
  void skip_blanks() noexcept {
    while (!at_end() && (peek() == ' ' || peek() == '\t'))
      ++at_;
  }
  bool take(char c) noexcept {
    if (at_end() || peek() != c)
      return false;
    ++at_;
    return true;
  }
  bool token(std::string& out) {
    const std::size_t start = at_;
    while (!at_end() && is_token_char(peek()))
      ++at_;
    out.assign(text_.substr(start, at_ - start));
    return at_ != start;
  }
  // A quoted-string, unescaped: blanks, visible ASCII and bytes above 0x7F; a backslash takes the
  // next such byte as it is.
  bool quoted(std::string& out) {
    out.clear();
    if (!take('"'))
      return false;
    while (!at_end()) {
      char c = text_[at_++];
      if (c == '"')
        return true;
      if (c == '\\') {
        if (at_end())
          return false;
        c = text_[at_++];
      }
      const auto byte = static_cast<unsigned char>(c);
      if ((byte < 0x20 && c != '\t') || byte == 0x7F)
        return false;
      out.push_back(c);
    }
    return false;
  }

private:
  std::string_view text_;
  std::size_t at_ = 0;
};

bool parse_extension(ListReader& reader, ExtensionOffer& extension) {
  if (!reader.token(extension.name))
    return false;
  for (;;) {
    reader.skip_blanks();
    if (!reader.take(';'))
      return true;
    reader.skip_blanks();
    ExtensionOffer::Parameter parameter;
    if (!reader.token(parameter.name))
      return false;
    reader.skip_blanks();
    if (reader.take('=')) {
      reader.skip_blanks();
      std::string value;
      if (!(reader.at_end() ? false : reader.peek() == '"' ? reader.quoted(value) : reader.token(value)))
        return false;
      parameter.value = std::move(value);
    }
    extension.parameters.push_back(std::move(parameter));
  }
}

// A window size as RFC 7692 writes it: 8 to 15, no leading zero (nor sign or blank).
std::optional<std::uint8_t> window_bits(const std::string& value) {
  if (value.size() == 1 && value[0] >= '8' && value[0] <= '9')
    return static_cast<std::uint8_t>(value[0] - '0');
  if (value.size() == 2 && value[0] == '1' && value[1] >= '0' && value[1] <= '5')
    return static_cast<std::uint8_t>(10 + value[1] - '0');
  return std::nullopt;
}

// The agreement for one permessage-deflate offer, or none when it is declined.
std::optional<DeflateAgreement> agree(const ExtensionOffer& offer) {
  bool server_no_takeover = false, client_no_takeover = false, server_bits = false, client_bits = false;
  DeflateAgreement agreement;
  for (const ExtensionOffer::Parameter& parameter : offer.parameters) {
    if (parameter.name == "server_no_context_takeover" || parameter.name == "client_no_context_takeover") {
      bool& seen = parameter.name[0] == 's' ? server_no_takeover : client_no_takeover;
      if (seen || parameter.value)
        return std::nullopt;
      seen = true;
    } else if (parameter.name == "server_max_window_bits") {
      if (server_bits || !parameter.value)
        return std::nullopt;
      const auto bits = window_bits(*parameter.value);
      if (!bits || *bits < 9)
        return std::nullopt;
      server_bits = true;
      agreement.server_max_window_bits = *bits;
    } else if (parameter.name == "client_max_window_bits") {
      if (client_bits)
        return std::nullopt;
      std::uint8_t offered = 15;
      if (parameter.value) {
        const auto bits = window_bits(*parameter.value);
        if (!bits)
          return std::nullopt;
        offered = *bits;
      }
      client_bits = true;
      agreement.client_max_window_bits = static_cast<std::uint8_t>(std::min<int>(offered, client_window_bits));
    } else {
      return std::nullopt;
    }
  }
  return agreement;
}

} // namespace

bool parse_extension_list(std::string_view value, std::vector<ExtensionOffer>& offers) {
  std::vector<ExtensionOffer> parsed;
  ListReader reader(value);
  for (;;) {
    reader.skip_blanks();
    if (reader.at_end())
      break;
    if (reader.take(',')) // an empty element
      continue;
    ExtensionOffer extension;
    if (!parse_extension(reader, extension))
      return false;
    parsed.push_back(std::move(extension));
    reader.skip_blanks();
    if (!reader.at_end() && !reader.take(','))
      return false;
  }
  offers.insert(offers.end(), std::make_move_iterator(parsed.begin()), std::make_move_iterator(parsed.end()));
  return true;
}

std::optional<DeflateAgreement> negotiate_deflate(const CaseInsensitiveMultimap& header) {
  // Equal names are kept newest first: the request's order is the range's reversed.
  const auto lines = header.equal_range("Sec-WebSocket-Extensions");
  std::vector<std::string_view> values;
  for (auto line = lines.first; line != lines.second; ++line)
    values.push_back(line->second);
  std::vector<ExtensionOffer> offers;
  for (auto value = values.rbegin(); value != values.rend(); ++value) {
    offers.clear();
    if (!parse_extension_list(*value, offers))
      continue;
    for (const ExtensionOffer& offer : offers) {
      if (offer.name != "permessage-deflate")
        continue;
      if (auto agreement = agree(offer))
        return agreement;
    }
  }
  return std::nullopt;
}

std::string deflate_answer(const DeflateAgreement& agreement) {
  std::string answer = "permessage-deflate; server_no_context_takeover; client_no_context_takeover";
  if (agreement.server_max_window_bits)
    answer += "; server_max_window_bits=" + std::to_string(agreement.server_max_window_bits);
  if (agreement.client_max_window_bits)
    answer += "; client_max_window_bits=" + std::to_string(agreement.client_max_window_bits);
  return answer;
}

} // namespace KorvaWeb
