// permessage-deflate without sockets: the offers and our answers, and the 101 response that
// carries one.

#include "websocket/handshake.hpp"
#include "websocket/permessage_deflate.hpp"

#include <gtest/gtest.h>

#include <sstream>
#include <vector>

using namespace KorvaWeb;

namespace {

const std::string agreed = "permessage-deflate; server_no_context_takeover; client_no_context_takeover";

TEST(DeflateOffer, TableOfOffersAndAnswers) {
  struct Row {
    const char* label;
    std::vector<std::string> lines; // Sec-WebSocket-Extensions lines in the request's order
    std::string answer;             // empty: declined
  } rows[] = {
      {"Chromium, Node ws, Python websockets", {"permessage-deflate; client_max_window_bits"},
       agreed + "; client_max_window_bits=12"},
      {"Firefox", {"permessage-deflate"}, agreed},
      {"every parameter", {"permessage-deflate; server_no_context_takeover; client_no_context_takeover; "
                           "server_max_window_bits=10; client_max_window_bits=9"},
       agreed + "; server_max_window_bits=10; client_max_window_bits=9"},
      {"client window 8 kept", {"permessage-deflate; client_max_window_bits=8, x"},
       agreed + "; client_max_window_bits=8"},
      {"client window above ours", {"permessage-deflate;client_max_window_bits=15"},
       agreed + "; client_max_window_bits=12"},
      {"quoted values, escapes, blanks", {" permessage-deflate ;\tserver_max_window_bits = \"1\\5\" , foo"},
       agreed + "; server_max_window_bits=15"},
      {"empty elements", {", ,permessage-deflate,"}, agreed},
      {"first acceptable offer", {"x-webkit-deflate-frame, permessage-deflate; server_max_window_bits=8, "
                                  "permessage-deflate; server_max_window_bits=9"},
       agreed + "; server_max_window_bits=9"},
      {"lines in the request's order", {"permessage-deflate; server_max_window_bits=11", "permessage-deflate"},
       agreed + "; server_max_window_bits=11"},
      {"a malformed line offers nothing", {"permessage-deflate; server_max_window_bits=11;", "permessage-deflate"},
       agreed},
      {"server window 8", {"permessage-deflate; server_max_window_bits=8"}, ""},
      {"server window without value", {"permessage-deflate; server_max_window_bits"}, ""},
      {"leading zero", {"permessage-deflate; client_max_window_bits=09"}, ""},
      {"above 15", {"permessage-deflate; server_max_window_bits=16"}, ""},
      {"empty quoted value", {"permessage-deflate; client_max_window_bits=\"\""}, ""},
      {"value on a flag", {"permessage-deflate; client_no_context_takeover=1"}, ""},
      {"repeated parameter", {"permessage-deflate; server_no_context_takeover; server_no_context_takeover"}, ""},
      {"unknown parameter", {"permessage-deflate; mux"}, ""},
      {"other extensions only", {"x-webkit-deflate-frame", "mux"}, ""},
      {"name in another case", {"Permessage-Deflate"}, ""},
      {"unterminated quote", {"permessage-deflate; server_max_window_bits=\"10"}, ""},
      {"control byte in a quote", {"permessage-deflate; server_max_window_bits=\"1\x01\""}, ""},
      {"no offer", {}, ""},
  };
  for (const Row& row : rows) {
    CaseInsensitiveMultimap header{{"Sec-WebSocket-Key", "dGhlIHNhbXBsZSBub25jZQ=="}};
    for (const std::string& line : row.lines)
      header.emplace("sec-websocket-extensions", line);
    const auto agreement = negotiate_deflate(header);
    EXPECT_EQ(agreement ? deflate_answer(*agreement) : "", row.answer) << row.label;

    // The answer line follows the accept value; without an agreement the response is unchanged.
    std::ostringstream with, without;
    ASSERT_TRUE(make_handshake_response(header, with, agreement ? deflate_answer(*agreement) : ""));
    ASSERT_TRUE(make_handshake_response(header, without));
    const std::string head = "HTTP/1.1 101 Web Socket Protocol Handshake\r\nUpgrade: websocket\r\nConnection: "
                             "Upgrade\r\nSec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n";
    EXPECT_EQ(without.str(), head + "\r\n");
    EXPECT_EQ(with.str(), head + (agreement ? "Sec-WebSocket-Extensions: " + row.answer + "\r\n" : "") + "\r\n")
        << row.label;
  }
}

} // namespace
