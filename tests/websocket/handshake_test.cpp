// The handshake's text functions, without sockets.

#include "websocket/handshake.hpp"
#include "websocket/sha1.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <sstream>

using namespace KorvaWeb;

namespace {

struct Parsed {
  boost::system::error_code refused;
  bool ok;
  std::string method, path, query_string, http_version;
  CaseInsensitiveMultimap header;
  std::string rest; // what the parse left in the stream
};

Parsed parse(const std::string& text) {
  std::istringstream stream(text);
  Parsed p;
  p.refused = parse_request(stream, p.method, p.path, p.query_string, p.http_version, p.header);
  p.ok = !p.refused;
  std::ostringstream rest;
  rest << stream.rdbuf();
  p.rest = rest.str();
  return p;
}

TEST(RequestLine, SplitsPathAndQuery) {
  struct Row {
    const char* line;
    const char* path;
    const char* query;
  } rows[] = {
      {"GET /api HTTP/1.1\r\n", "/api", ""},
      {"GET /api/ HTTP/1.1\r\n", "/api/", ""},
      {"GET /api?id=1 HTTP/1.1\r\n", "/api", "id=1"},
      {"GET /a?b?c HTTP/1.1\r\n", "/a?b", "c"},   // the last '?' wins
      {"GET /api? HTTP/1.1\r\n", "/api", ""},     // '?' before the blank: empty query
      {"GET ?x HTTP/1.1\r\n", "", "x"},
  };
  for (auto& row : rows) {
    Parsed p = parse(std::string(row.line) + "\r\n");
    ASSERT_TRUE(p.ok) << row.line;
    EXPECT_EQ(p.method, "GET") << row.line;
    EXPECT_EQ(p.path, row.path) << row.line;
    EXPECT_EQ(p.query_string, row.query) << row.line;
    EXPECT_EQ(p.http_version, "1.1") << row.line;
  }
}

TEST(RequestLine, RejectsMalformedLines) {
  const char* rows[] = {
      "GET\r\n",                 // no space
      "GET /api\r\n",            // no space after the path
      "GET /api HTTP\r\n",       // no '/' after the path
      "GET /api http/1.1\r\n",   // protocol token in lower case
      "GET /api XHTTP/1.1\r\n",  // protocol token not exactly HTTP
      "GET /api?\r\n",           // '?' is the last byte, and no space follows
      "",                        // nothing at all
  };
  for (auto row : rows)
    EXPECT_EQ(parse(std::string(row) + "\r\n").refused, error::malformed_head) << row;
  // A well-formed line with more header lines than the server takes has a failure of its own.
  std::string many = "GET /api HTTP/1.1\r\n";
  for (std::size_t i = 0; i <= max_header_fields; ++i)
    many += "h" + std::to_string(i) + ": v\r\n";
  EXPECT_EQ(parse(many + "\r\n").refused, error::too_many_headers);
}

TEST(RequestLine, VersionLosesTheLastByteOfTheLine) {
  EXPECT_EQ(parse("GET /api HTTP/1.1\r\n\r\n").http_version, "1.1");
  EXPECT_EQ(parse("GET /api HTTP/1.1\n\r\n").http_version, "1."); // bare line feed
  EXPECT_EQ(parse("GET /api HTTP/\n").http_version, "");
  EXPECT_EQ(parse("POST /api HTTP/1.1\r\n\r\n").method, "POST");
}

TEST(RequestLine, ClearsHeaderAndLeavesQueryUnassignedWithoutQuestionMark) {
  std::istringstream stream("GET /api HTTP/1.1\r\n\r\n");
  std::string method, path, query = "old", version;
  CaseInsensitiveMultimap header{{"Stale", "1"}};
  ASSERT_FALSE(parse_request(stream, method, path, query, version, header));
  EXPECT_EQ(query, "old");
  EXPECT_TRUE(header.empty());
}

TEST(HeaderLines, ValuesAndSkippedLines) {
  Parsed p = parse("GET /api HTTP/1.1\r\n"
                   "Host: device\r\n"
                   "Empty:\r\n"          // stored with an empty value
                   "EmptyBlank: \r\n"    // likewise
                   "Bare:\n"             // bare line feed: skipped
                   "BareBlank: \n"       // likewise
                   "Two:  x\r\n"         // only one blank is skipped
                   "Tab:\tx\r\n"
                   "Spaced : y\r\n"      // name keeps its trailing blank
                   "Colons: a:b\r\n"
                   "\r\n");
  ASSERT_TRUE(p.ok);
  auto value = [&](const char* name) {
    auto it = p.header.find(name);
    return it == p.header.end() ? std::string("<absent>") : it->second;
  };
  EXPECT_EQ(value("Host"), "device");
  EXPECT_EQ(value("Empty"), "");
  EXPECT_EQ(value("EmptyBlank"), "");
  EXPECT_EQ(value("Bare"), "<absent>");
  EXPECT_EQ(value("BareBlank"), "<absent>");
  EXPECT_EQ(value("Two"), " x");
  EXPECT_EQ(value("Tab"), "\tx");
  EXPECT_EQ(value("Spaced"), "<absent>");
  EXPECT_EQ(value("Spaced "), "y");
  EXPECT_EQ(value("Colons"), "a:b");
  EXPECT_EQ(p.rest, "");
}

TEST(HeaderLines, LineWithoutColonEndsTheBlockAndLeavesTheRest) {
  Parsed p = parse("GET /api HTTP/1.1\r\nA: 1\r\nno colon here\r\nB: 2\r\n\r\n\x81\x80");
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.header.size(), 1u);
  EXPECT_EQ(p.rest, "B: 2\r\n\r\n\x81\x80");
}

TEST(HeaderMap, CaseInsensitiveAndNewestFirst) {
  Parsed p = parse("GET /api HTTP/1.1\r\nX-Real-IP: 1.1.1.1\r\nx-real-ip: 2.2.2.2\r\nX-REAL-IP: 3.3.3.3\r\n\r\n");
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.header.find("X-Real-Ip")->second, "3.3.3.3");
  auto range = p.header.equal_range("x-real-ip");
  std::vector<std::string> order;
  for (auto it = range.first; it != range.second; ++it)
    order.push_back(it->second);
  EXPECT_EQ(order, (std::vector<std::string>{"3.3.3.3", "2.2.2.2", "1.1.1.1"}));
}

TEST(HeaderMap, HashFollowsTheFixedFormula) {
  CaseInsensitiveHash hash;
  EXPECT_EQ(hash(""), 0u);
  // h = 0 ^ ('a' + 0x9E3779B9) for a one-byte name, whatever its case.
  EXPECT_EQ(hash("a"), std::size_t(0x61u + 0x9E3779B9u));
  EXPECT_EQ(hash("A"), hash("a"));
  EXPECT_EQ(hash("Sec-WebSocket-Key"), hash("sec-websocket-key"));
  // Bytes above 0x7F enter as negative values widened to 32 bits.
  EXPECT_EQ(hash("\xff"), std::size_t(std::uint32_t(0xFFFFFFFFu + 0x9E3779B9u)));
  CaseInsensitiveEqual equal;
  EXPECT_TRUE(equal("Upgrade", "uPGRADE"));
  EXPECT_FALSE(equal("Upgrade", "Upgrade "));
  EXPECT_FALSE(equal("[", "{")); // only A to Z are lowered
}

TEST(AcceptValue, DigestAndEncodingMatchTheirStandardVectors) {
  // SHA-1 at the padding's edges (55, 56 and 64 bytes need one, two and two final blocks).
  struct {
    std::string text;
    const char* digest;
  } digests[] = {
      {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
      {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
      {std::string(55, 'a'), "c1c8bbdc22796e28c0e15163d20899b65621d65a"},
      {std::string(64, 'a'), "0098ba824b5c16427bd7a1122a5a442a25ec644d"},
      {std::string(1000, 'a'), "291e9a6c66994949b57ba5e650361e98fc36b1ba"},
  };
  for (const auto& row : digests) {
    std::string hex;
    for (std::uint8_t byte : KorvaWeb::sha1(row.text))
      hex += "0123456789abcdef"[byte >> 4], hex += "0123456789abcdef"[byte & 15];
    EXPECT_EQ(hex, row.digest) << row.text.size() << " bytes";
  }
  for (const char* text : {"", "f", "fo", "foo", "foob", "fooba", "foobar"}) {
    static const std::map<std::string, std::string> encoded{{"", ""},         {"f", "Zg=="},     {"fo", "Zm8="},
                                                            {"foo", "Zm9v"},   {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="},
                                                            {"foobar", "Zm9vYmFy"}};
    EXPECT_EQ(KorvaWeb::base64(reinterpret_cast<const std::uint8_t*>(text), std::strlen(text)), encoded.at(text));
  }
}

TEST(AcceptValue, MatchesTheWorkedExampleOfTheProtocol) {
  EXPECT_EQ(websocket_accept_value("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
  EXPECT_EQ(websocket_accept_value("").size(), 28u);
  // The key enters exactly as sent: a leading blank changes the value.
  EXPECT_NE(websocket_accept_value(" dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
}

TEST(HandshakeResponse, ExactBytesForTheLastKey) {
  CaseInsensitiveMultimap header;
  std::ostringstream none;
  EXPECT_FALSE(make_handshake_response(header, none));
  EXPECT_EQ(none.str(), "");

  header.emplace("sec-websocket-key", "first");
  header.emplace("Sec-WebSocket-Key", "dGhlIHNhbXBsZSBub25jZQ==");
  std::ostringstream response;
  ASSERT_TRUE(make_handshake_response(header, response));
  EXPECT_EQ(response.str(), "HTTP/1.1 101 Web Socket Protocol Handshake\r\n"
                            "Upgrade: websocket\r\n"
                            "Connection: Upgrade\r\n"
                            "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n"
                            "\r\n");
  EXPECT_EQ(response.str().size(), 139u);
}

TEST(RequestHead, FoundAtEverySplitPoint) {
  const std::string head = "GET /api HTTP/1.1\r\nHost: x\r\n\r\n";
  const std::string data = head + "\x81\x80";
  for (std::size_t split = 0; split <= data.size(); ++split) {
    // First search over the first `split` bytes, then resume over all of them.
    std::size_t first = find_request_head_end(data.data(), split, 0);
    std::size_t found = first ? first : find_request_head_end(data.data(), data.size(), split);
    EXPECT_EQ(found, head.size()) << "split at " << split;
  }
  EXPECT_EQ(find_request_head_end("\r\n\r", 3), 0u);
  EXPECT_EQ(find_request_head_end("\r\n\r\n", 4), 4u);
}

} // namespace
