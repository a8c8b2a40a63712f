// Fuzz target: the opening handshake over arbitrary bytes. The bytes go through the search for the
// end of the request head, the request-line and header parsing, the key lookup and the building of
// the 101 response, and each result is checked against what a well-formed parse must give.

#include "tests/fuzz/fuzz_check.hpp"
#include "websocket/handshake.hpp"

#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

using namespace KorvaWeb;

namespace {

void check_head_end_search(const std::string& text) {
  std::size_t end = find_request_head_end(text.data(), text.size());
  std::size_t expected = text.find("\r\n\r\n");
  FUZZ_CHECK(end == (expected == std::string::npos ? 0 : expected + 4));
  // Resuming a search where an earlier one stopped (the head arrives in pieces) finds the same end.
  for (std::size_t piece : {std::size_t(1), std::size_t(3), std::size_t(7), std::size_t(512)}) {
    std::size_t searched = 0, found = 0;
    for (std::size_t size = 0; size < text.size() && found == 0;) {
      size = std::min(text.size(), size + piece);
      found = find_request_head_end(text.data(), size, searched);
      searched = size;
    }
    FUZZ_CHECK(found == end);
  }
}

void check_header(const CaseInsensitiveMultimap& header) {
  CaseInsensitiveHash hash;
  CaseInsensitiveEqual equal;
  for (const auto& field : header) {
    FUZZ_CHECK(field.first.find(':') == std::string::npos);
    FUZZ_CHECK(field.first.find('\n') == std::string::npos);
    FUZZ_CHECK(field.second.find('\n') == std::string::npos);
    std::string lowered = field.first;
    for (char& c : lowered)
      c = static_cast<char>(lower_ascii(static_cast<unsigned char>(c)));
    FUZZ_CHECK(equal(lowered, field.first));
    FUZZ_CHECK(hash(lowered) == hash(field.first));
    FUZZ_CHECK(header.find(lowered) != header.end());
  }
}

void check_response(const CaseInsensitiveMultimap& header) {
  std::ostringstream response;
  bool answered = make_handshake_response(header, response);
  auto key = header.find("sec-websocket-key");
  FUZZ_CHECK(answered == (key != header.end()));
  if (!answered) {
    FUZZ_CHECK(response.str().empty());
    return;
  }
  const std::string accept = websocket_accept_value(key->second);
  FUZZ_CHECK(accept.size() == 28 && accept[27] == '=');
  const std::string expected = "HTTP/1.1 101 Web Socket Protocol Handshake\r\n"
                               "Upgrade: websocket\r\n"
                               "Connection: Upgrade\r\n"
                               "Sec-WebSocket-Accept: " +
                               accept + "\r\n\r\n";
  FUZZ_CHECK(response.str() == expected);
  FUZZ_CHECK(expected.size() == 139);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  check_head_end_search(text);

  std::istringstream stream(text);
  std::string method, path, query_string, http_version;
  CaseInsensitiveMultimap header;
  header.emplace("stale", "value");
  if (!parse_request(stream, method, path, query_string, http_version, header)) {
    const std::string line = text.substr(0, text.find('\n'));
    FUZZ_CHECK(method.find(' ') == std::string::npos);
    FUZZ_CHECK(line.compare(0, method.size() + 1, method + " ") == 0);
    FUZZ_CHECK(path.find(' ') == std::string::npos);
    FUZZ_CHECK(query_string.find(' ') == std::string::npos);
    FUZZ_CHECK(line.find(" HTTP/") != std::string::npos);
    for (const auto& field : header) // nothing survives from before the parse
      FUZZ_CHECK(text.find(field.first + ":") != std::string::npos);
    check_header(header);
    check_response(header);
  }

  // The header block alone, as the parser meets it after any request line.
  std::istringstream header_stream(text);
  CaseInsensitiveMultimap block = parse_header(header_stream);
  check_header(block);
  check_response(block);
  return 0;
}
