#pragma once
// The permessage-deflate offer of a client's upgrade request, and our answer to it (RFC 7692), as
// functions over the parsed header: no socket, so they can be tested and fuzzed directly.
//
// What we accept: every message stands alone in both directions. The answer always carries
// server_no_context_takeover and client_no_context_takeover, so neither side keeps a compressor's
// or decompressor's history between messages, and the server needs no stream per connection. The
// handshake calls negotiate_deflate() on the request header and, with an agreement, writes
// deflate_answer() as the value of one Sec-WebSocket-Extensions line after Sec-WebSocket-Accept
// (make_handshake_response); without one, the response is the same as when nothing was offered.
// The connection keeps only the DeflateAgreement (two bytes).
//
// Offers are considered in the order of the request's Sec-WebSocket-Extensions lines, then left
// to right; the first acceptable permessage-deflate offer is taken. An offer is declined, and the
// next one considered, when a parameter is unknown, repeated, or has a value it may not have: a
// missing or extra value, a number outside 8 to 15 or with a leading zero, or
// server_max_window_bits=8, which zlib's raw deflate cannot produce (it would use 9). A line that
// is not a well-formed extension list offers nothing.

#include "websocket/case_insensitive.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace KorvaWeb {

// One extension of a Sec-WebSocket-Extensions list: its name and parameters in the order given,
// values unescaped from a quoted string where they were quoted.
struct ExtensionOffer {
  struct Parameter {
    std::string name;
    std::optional<std::string> value; // none: the parameter was given without "="
  };
  std::string name;
  std::vector<Parameter> parameters;
};

// Parses one header value as an extension list (RFC 6455 section 9.1 over RFC 7230's list rule):
// extensions separated by ",", each a token followed by ";"-separated parameters, each a token
// with an optional "=" and a token or quoted-string value (backslash escapes), optional blanks
// and tabs around every separator, empty list elements skipped. Appends the extensions to
// `offers` and returns true; returns false, appending nothing, when the value does not parse.
bool parse_extension_list(std::string_view value, std::vector<ExtensionOffer>& offers);

// The window sizes a connection agreed on, as base-2 logarithms; 0 where the answer names no
// value for that direction.
struct DeflateAgreement {
  std::uint8_t server_max_window_bits = 0; // the offer's, echoed in the answer
  std::uint8_t client_max_window_bits = 0; // named in the answer, since the offer named it

  // The window our compressor uses: 9 to 15.
  int compress_window_bits() const noexcept { return server_max_window_bits ? server_max_window_bits : 15; }
  // The window our decompressor needs for the client's messages: 9 to 15. A client held to 8 is
  // inflated with 9, which reads every stream a window of 256 bytes produces, and also those of a
  // zlib-based client that, like zlib, turns 8 into 9.
  int inflate_window_bits() const noexcept {
    return client_max_window_bits == 0 ? 15 : client_max_window_bits < 9 ? 9 : client_max_window_bits;
  }
};

// The largest window we ask a client to compress with when its offer lets us choose (it names
// client_max_window_bits, with no value or a larger one). A client's messages are requests of a
// few hundred bytes, which a 4 KiB window compresses as well as 32 KiB; and the inflate state a
// connection holds while its message spans several turns of the event loop is the window plus
// about 7 KiB.
constexpr int client_window_bits = 12;

// The first acceptable permessage-deflate offer of the request, or none.
std::optional<DeflateAgreement> negotiate_deflate(const CaseInsensitiveMultimap& header);

// The value of the Sec-WebSocket-Extensions answer line for an agreement, e.g.
// "permessage-deflate; server_no_context_takeover; client_no_context_takeover;
// client_max_window_bits=12".
std::string deflate_answer(const DeflateAgreement& agreement);

} // namespace KorvaWeb
