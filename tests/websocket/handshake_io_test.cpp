// The opening handshake over a real socket: what is answered, what is dropped without a byte.

#include "tests/websocket/server_fixture.hpp"
#include "websocket/handshake.hpp"

using namespace korva_test;

namespace {

const std::string expected_response = std::string("HTTP/1.1 101 Web Socket Protocol Handshake\r\n"
                                                  "Upgrade: websocket\r\n"
                                                  "Connection: Upgrade\r\n"
                                                  "Sec-WebSocket-Accept: ") +
                                      sample_accept + "\r\n\r\n";

TEST(Handshake, AnswersWithTheExactResponseAndFillsTheRequestFields) {
  TestServer test;
  TestClient client(test.port());
  client.send_raw("POST /api/?id=7 HTTP/1.1\r\nsec-websocket-key: ignored\r\nSec-WebSocket-Key: " +
                  std::string(sample_key) + "\r\nX-Real-IP: 10.1.2.3\r\n\r\n");
  EXPECT_EQ(client.read_exact(139), expected_response);
  Event open = test.events.wait_for("open");
  EXPECT_TRUE(open.in_set); // enrolled before on_open runs
  auto server_side = open.connection.lock();
  ASSERT_TRUE(server_side);
  auto& c = *server_side;
  EXPECT_EQ(c.method, "POST");
  EXPECT_EQ(c.path, "/api/");
  EXPECT_EQ(c.query_string, "id=7");
  EXPECT_EQ(c.http_version, "1.1");
  EXPECT_EQ(c.header.find("x-real-ip")->second, "10.1.2.3");
  EXPECT_EQ(c.remote_endpoint.port(), client.local_port());
  EXPECT_EQ(c.remote_endpoint.address().to_string(), "127.0.0.1");
  EXPECT_TRUE(client.silent_for(50ms)); // nothing more than the 139 bytes
}

TEST(Handshake, DropsBadRequestsWithoutAByte) {
  const std::string key = "Sec-WebSocket-Key: " + std::string(sample_key) + "\r\n";
  struct Row {
    const char* label;
    std::string request;
  } rows[] = {
      {"no key", "GET /api HTTP/1.1\r\nHost: x\r\n\r\n"},
      {"key name with a blank", "GET /api HTTP/1.1\r\nSec-WebSocket-Key : abc\r\n\r\n"},
      {"not HTTP", "GET /api FTP/1.1\r\n" + key + "\r\n"},
      {"no space after path", "GET /api\r\n" + key + "\r\n"},
      {"unmatched path /api/x", "GET /api/x HTTP/1.1\r\n" + key + "\r\n"},
      {"unmatched path /API", "GET /API HTTP/1.1\r\n" + key + "\r\n"},
      {"unmatched path /apix", "GET /apix HTTP/1.1\r\n" + key + "\r\n"},
      {"garbage", std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\r\n\r\n", 13)},
      {"101 header lines", [&] {
         std::string request = "GET /api HTTP/1.1\r\n" + key;
         for (int i = 0; i < 100; ++i)
           request += std::to_string(i) + ":1\r\n";
         return request + "\r\n";
       }()},
  };
  TestServer test;
  for (auto& row : rows) {
    TestClient client(test.port());
    client.send_raw(row.request);
    EXPECT_TRUE(client.wait_closed()) << row.label;
  }
  EXPECT_TRUE(test.events.all().empty()); // no handler ran for any of them
  // The server goes on serving.
  auto good = test.open_client();
  EXPECT_TRUE(good->connected());
}

TEST(Handshake, RequestSplitIntoPiecesIsAnswered) {
  TestServer test;
  const std::string request = upgrade_request();
  for (std::size_t split : {std::size_t(1), request.size() / 2, request.size() - 1}) {
    TestClient client(test.port());
    client.send_raw(request.substr(0, split));
    EXPECT_TRUE(client.silent_for(20ms));
    client.send_raw(request.substr(split));
    EXPECT_EQ(client.read_exact(139), expected_response) << "split at " << split;
  }
}

TEST(Handshake, HeadOverTheCapIsDropped) {
  TestServer test([](Server& s) { s.config.timeout_request = 30; });
  TestClient client(test.port());
  client.send_raw("GET /api HTTP/1.1\r\nSec-WebSocket-Key: " + std::string(sample_key) + "\r\n");
  std::string filler = "X-Filler: " + std::string(1000, 'a') + "\r\n";
  for (int i = 0; i < 70; ++i) // about 70 KiB, no blank line
    client.send_raw(filler);
  EXPECT_TRUE(client.wait_closed(5s)); // long before the 30-second time-out
  EXPECT_TRUE(test.events.all().empty());

  // A head just under the cap is still answered.
  TestClient big(test.port());
  std::string head = "GET /api HTTP/1.1\r\nSec-WebSocket-Key: " + std::string(sample_key) + "\r\n";
  while (head.size() + filler.size() + 2 < KorvaWeb::max_request_head_size)
    head += filler;
  big.send_raw(head + "\r\n");
  EXPECT_EQ(big.read_exact(139), expected_response);
  // The head's storage does not stay with the connection once it has been answered.
  EXPECT_EQ(test.events.wait_for("open").buffer_capacity, 0u);

  // A head of many tiny header lines is dropped however small it is; 100 lines are answered.
  for (int lines : {100, 8000}) {
    TestClient client(test.port());
    std::string request = "GET /api HTTP/1.1\r\nSec-WebSocket-Key: " + std::string(sample_key) + "\r\n";
    for (int i = 1; i < lines; ++i)
      request += std::to_string(i) + ":1\r\n";
    client.send_raw(request + "\r\n");
    if (lines == 100)
      EXPECT_EQ(client.read_exact(139), expected_response);
    else
      EXPECT_TRUE(client.wait_closed(5s));
  }
}

TEST(Handshake, PathTooLongForThePatternMatcherMatchesNothing) {
  // The standard library's matcher recurses once per character: a pattern that runs over the
  // whole path overflows the stack on a long path. Such paths are dropped without being matched.
  TestServer test([](Server& s) { s.endpoints["^/.*$"]; });
  TestClient client(test.port());
  client.send_raw(upgrade_request("/" + std::string(60000, 'a')));
  EXPECT_TRUE(client.wait_closed(5s));
  TestClient short_enough(test.port());
  short_enough.send_raw(upgrade_request("/" + std::string(4000, 'a')));
  EXPECT_EQ(short_enough.read_exact(139), expected_response);
}

TEST(Handshake, SilentClientIsClosedByTheRequestTimeout) {
  TestServer test([](Server& s) { s.config.timeout_request = 1; });
  TestClient silent(test.port());
  TestClient partial(test.port());
  partial.send_raw("GET /api HTTP/1.1\r\n"); // never sends the blank line
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(silent.wait_closed(5s));
  EXPECT_TRUE(partial.wait_closed(5s));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 900ms);
  EXPECT_TRUE(test.events.all().empty());
}

TEST(Handshake, NoRequestTimeoutWhenItIsZero) {
  TestServer test([](Server& s) { s.config.timeout_request = 0; });
  TestClient silent(test.port());
  EXPECT_TRUE(silent.silent_for(1500ms));
  silent.send_raw(upgrade_request());
  EXPECT_EQ(silent.read_exact(139), expected_response);
}

TEST(Handshake, FrameInTheSameSegmentIsHandledAtOnce) {
  TestServer test;
  TestClient client(test.port());
  client.send_raw(upgrade_request() + make_frame(0x81, "first") + make_frame(0x81, "second"));
  EXPECT_EQ(client.read_exact(139), expected_response);
  EXPECT_EQ(test.events.wait_for("message", 1).text, "first");
  EXPECT_EQ(test.events.wait_for("message", 2).text, "second");
}

TEST(Handshake, HeaderLinesLeftBehindAreReadAsFrameBytes) {
  TestServer test;
  TestClient client(test.port());
  // The line without ':' ends the header block; "\x81\x80" + mask key behind it is a frame.
  client.send_raw("GET /api HTTP/1.1\r\nSec-WebSocket-Key: " + std::string(sample_key) +
                  "\r\nno colon\r\n\r\n");
  EXPECT_EQ(client.read_exact(139), expected_response);
  // "\r\n\r\n" left in the buffer: 0x0D 0x0A is an unmasked frame header -> close 1002.
  Frame close = client.read_frame();
  EXPECT_EQ(close.fin_rsv_opcode, 0x88);
  EXPECT_EQ(close.payload, std::string("\x03\xEA") + "message from client not masked");
}

} // namespace
