#pragma once
// The opening handshake as functions over text: no socket, so they can be tested and fuzzed
// directly. The server reads the request head, parses it with parse_request, and answers with
// make_handshake_response.

#include "websocket/case_insensitive.hpp"
#include "websocket/error.hpp"

#include <cstddef>
#include <istream>
#include <ostream>
#include <string>
#include <string_view>

namespace KorvaWeb {

// A request head that reaches this many bytes without its blank line is dropped: without a cap
// one client could make the service buffer without bound for the whole request time-out.
constexpr std::size_t max_request_head_size = 64 * 1024;
// A request with more header lines than this is dropped: browsers send about 15 and a front-end
// server adds a few, while thousands of tiny lines would cost far more memory and log than bytes.
constexpr std::size_t max_header_fields = 100;
// Beyond the server's limit of connections (impl/admission.hpp): connections that may wait for
// their request heads, and for their 503 answer, at once; newcomers taken on trial while those
// places are taken, and the seconds a trial has for its head; connections that gave way to another
// and may be ending at once.
constexpr std::size_t max_waiting = 16;
constexpr std::size_t max_on_trial = 16;
constexpr long trial_seconds = 1;
constexpr std::size_t max_given_way = 64;
// The answer to a connection beyond the server's limit of connections.
constexpr const char* service_unavailable_response =
    "HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/plain\r\nContent-Length: 20\r\n"
    "Connection: close\r\n\r\ntoo many connections";
// A path longer than this matches no endpoint: the standard library's regular-expression matcher
// recurses once per character and would run out of stack on a long enough path.
constexpr std::size_t max_matched_path_size = 4096;

// Offset just past the first "\r\n\r\n" in data[0, size), or 0 when there is none. `from` is
// where a previous search stopped (the search resumes three bytes before it).
std::size_t find_request_head_end(const char* data, std::size_t size, std::size_t from = 0) noexcept;

// Parses the request line, then the header lines, from the stream. Fails with
// error::malformed_head for a request line without a space, without a space after the path,
// without a '/' after that, or whose protocol token is not exactly "HTTP", and with
// error::too_many_headers for more than max_header_fields header lines; an empty code is success.
// `header` is cleared first; `query_string` is assigned only when the target has a '?' that is
// not the line's last byte (the last such '?' wins).
boost::system::error_code parse_request(std::istream& stream, std::string& method, std::string& path,
                                        std::string& query_string, std::string& http_version,
                                        CaseInsensitiveMultimap& header);

// Reads header lines until a line without ':' (the blank line, or the end of the data). The
// value starts after the colon and one optional blank and loses the line's last byte (the CR);
// a line with nothing after the colon (and the blank) is skipped. Stops after max_header_fields
// + 1 fields, which is enough to tell that there are too many.
CaseInsensitiveMultimap parse_header(std::istream& stream);

// Sec-WebSocket-Accept for a key: Base64(SHA-1(key + GUID)), 28 characters. The key is used
// exactly as sent.
std::string websocket_accept_value(const std::string& key);

// The client's address as a front-end server passes it: the value of X-Real-IP, else of
// X-Forwarded-For (whole, as sent), else empty. The TCP peer is never used: behind a front end on
// the same machine it is always the front end.
std::string client_address(const CaseInsensitiveMultimap& header);

// Appends the 101 response for the request's Sec-WebSocket-Key to `response`. Returns false,
// writing nothing, when the request has no key.
bool make_handshake_response(const CaseInsensitiveMultimap& header, std::ostream& response);
// The same with a Sec-WebSocket-Extensions line after Sec-WebSocket-Accept carrying `extensions`
// (the agreed extensions, see permessage_deflate.hpp); an empty `extensions` adds no line.
bool make_handshake_response(const CaseInsensitiveMultimap& header, std::ostream& response,
                             std::string_view extensions);

} // namespace KorvaWeb
