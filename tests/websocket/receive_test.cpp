// Receiving: the mask and size checks, fragments, control frames, and what reaches the handlers.

#include "tests/websocket/server_fixture.hpp"

using namespace korva_test;

namespace {

std::string close_bytes(int status, const std::string& reason) {
  std::string payload{static_cast<char>(status >> 8), static_cast<char>(status & 0xFF)};
  payload += reason;
  return std::string{'\x88', static_cast<char>(payload.size())} + payload;
}

TEST(Receive, MessagesOfEveryLengthFormArriveUnmasked) {
  TestServer test;
  auto client = test.open_client();
  std::vector<std::string> payloads{"", "x", std::string(125, 'a'), std::string(126, 'b'), std::string(65535, 'c'),
                                    std::string(65536, 'd'), std::string(300000, 'e')};
  for (auto& p : payloads)
    client->send_text(p);
  client->send_raw(make_frame(0x81, "short in long form", true, 126));
  client->send_raw(make_frame(0x81, "short in longest form", true, 127));
  for (std::size_t i = 0; i < payloads.size(); ++i) {
    Event e = test.events.wait_for("message", i + 1);
    EXPECT_EQ(e.fin_rsv_opcode, 0x81);
    EXPECT_EQ(e.length, payloads[i].size());
    EXPECT_TRUE(e.text == payloads[i]) << "payload " << i;
  }
  EXPECT_EQ(test.events.wait_for("message", 8).text, "short in long form");
  EXPECT_EQ(test.events.wait_for("message", 9).text, "short in longest form");
}

TEST(Receive, UnmaskedFrameIsClosedWith1002) {
  TestServer test;
  auto client = test.open_client();
  client->send_raw(make_frame(0x81, "plain", false));
  Frame close = client->read_frame();
  EXPECT_EQ(close.fin_rsv_opcode, 0x88);
  EXPECT_EQ(std::string({'\x88', '\x20'}) + close.payload, close_bytes(1002, "message from client not masked"));
  Event e = test.events.wait_for("close");
  EXPECT_EQ(e.status, 1002);
  EXPECT_EQ(e.text, "message from client not masked");
  EXPECT_FALSE(e.in_set);
  client->send_text("not read any more");
  EXPECT_TRUE(client->wait_closed()); // nothing holds the connection once the close frame is out
  EXPECT_EQ(test.events.count("error"), 0u);
  EXPECT_EQ(test.events.count("message"), 0u);
}

TEST(Receive, TooBigMessageReportsErrorThenCloses1009) {
  TestServer test([](Server& s) { s.config.max_message_size = 10; });
  auto client = test.open_client();
  client->send_text("0123456789"); // exactly the limit
  EXPECT_EQ(test.events.wait_for("message").length, 10u);
  // Header only: the size check is made before any payload byte is read.
  client->send_raw(std::string("\x81\xFF\x00\x00\x00\x01\x00\x00\x00\x05", 10));
  Frame close = client->read_frame();
  EXPECT_EQ(close.payload, std::string("\x03\xF1") + "message too big");
  Event error = test.events.wait_for("error");
  EXPECT_EQ(error.error, boost::system::error_code(EMSGSIZE, boost::system::generic_category()));
  EXPECT_FALSE(error.in_set); // already out of the set when on_error runs
  Event close_event = test.events.wait_for("close");
  EXPECT_EQ(close_event.status, 1009);
  EXPECT_EQ(close_event.text, "message too big");
  auto kinds = test.events.kinds();
  EXPECT_EQ(kinds, (std::vector<std::string>{"open", "message", "error", "close"}));
}

TEST(Receive, FragmentsCountTowardsTheLimit) {
  TestServer test([](Server& s) { s.config.max_message_size = 10; });
  auto client = test.open_client();
  client->send_raw(make_frame(0x01, "123456"));
  client->send_raw(make_frame(0x89, "1234")); // a ping during the assembly counts as well
  EXPECT_EQ(client->read_frame().fin_rsv_opcode, 0x8A);
  client->send_raw(make_frame(0x80, "12345")); // 6 + 5 > 10
  EXPECT_EQ(client->read_frame().payload, std::string("\x03\xF1") + "message too big");
  EXPECT_EQ(test.events.wait_for("close").status, 1009);
}

TEST(Receive, CloseFramesAreEchoed) {
  struct Row {
    const char* label;
    std::string payload;
    std::string reply_payload;
    int status;
    std::string reason;
  } rows[] = {
      {"empty", "", "", 0, ""}, // answered with an empty close frame, reported as status 0
      {"one byte", "Z", std::string("\x00\x00Z", 3), 0, "Z"},
      {"status only", "\x03\xE8", "\x03\xE8", 1000, ""},
      {"status and reason", "\x03\xE8" "bye", "\x03\xE8" "bye", 1000, "bye"},
  };
  TestServer test;
  std::size_t closes = 0;
  for (auto& row : rows) {
    auto client = test.open_client();
    client->send_raw(make_frame(0x88, row.payload));
    Frame reply = client->read_frame();
    EXPECT_EQ(reply.fin_rsv_opcode, 0x88) << row.label;
    EXPECT_EQ(reply.payload, row.reply_payload) << row.label;
    Event e = test.events.wait_for("close", ++closes);
    EXPECT_EQ(e.status, row.status) << row.label;
    EXPECT_EQ(e.text, row.reason) << row.label;
    EXPECT_TRUE(client->wait_closed()) << row.label; // nothing holds the connection any more
  }
}

TEST(Receive, PingIsAnsweredAndReadingGoesOn) {
  TestServer test;
  auto client = test.open_client();
  client->send_raw(make_frame(0x89, "abc"));
  Frame pong = client->read_frame();
  EXPECT_EQ(pong.fin_rsv_opcode, 0x8A);
  EXPECT_EQ(pong.payload, "abc"); // the ping's data comes back, as clients' keepalives expect
  test.events.wait_for("ping");
  client->send_raw(make_frame(0x89, ""));
  EXPECT_EQ(client->read_exact(2), std::string("\x8A\x00", 2));
  client->send_raw(make_frame(0x8A, "unsolicited"));
  test.events.wait_for("pong");
  client->send_text("still read");
  EXPECT_EQ(test.events.wait_for("message").text, "still read");
}

TEST(Receive, FragmentedMessageIsAssembled) {
  TestServer test;
  auto client = test.open_client();
  client->send_raw(make_frame(0x01, "abc") + make_frame(0x00, "de"));
  client->send_raw(make_frame(0x89, "ping")); // between fragments: answered at once
  Frame pong = client->read_frame();
  EXPECT_EQ(pong.fin_rsv_opcode, 0x8A);
  EXPECT_EQ(pong.payload, "ping");
  client->send_raw(make_frame(0x80, "f"));
  Event e = test.events.wait_for("message");
  EXPECT_EQ(e.fin_rsv_opcode, 0x81);
  EXPECT_EQ(e.length, 6u);
  EXPECT_EQ(e.text, "abcdef");
}

TEST(Receive, SingleFrameMessageDuringAssemblyDropsThePartialOne) {
  TestServer test;
  auto client = test.open_client();
  client->send_raw(make_frame(0x01, "part"));
  client->send_raw(make_frame(0x81, "whole"));
  client->send_raw(make_frame(0x80, "tail"));
  Event whole = test.events.wait_for("message", 1);
  EXPECT_EQ(whole.text, "whole");
  EXPECT_EQ(whole.fin_rsv_opcode, 0x81);
  Event tail = test.events.wait_for("message", 2);
  EXPECT_EQ(tail.text, "tail");
  EXPECT_EQ(tail.fin_rsv_opcode, 0x80);
}

TEST(Receive, ReservedOpcodesRsvBitsAndEmptyMessagesAreDelivered) {
  TestServer test;
  auto client = test.open_client();
  client->send_raw(make_frame(0x83, "reserved"));
  client->send_raw(make_frame(0xC1, "rsv1"));
  client->send_raw(make_frame(0x82, std::string("\x00\xFF", 2)));
  client->send_raw(make_frame(0x81, ""));
  struct Expect {
    unsigned char first;
    std::string text;
  } expected[] = {{0x83, "reserved"}, {0xC1, "rsv1"}, {0x82, std::string("\x00\xFF", 2)}, {0x81, ""}};
  for (std::size_t i = 0; i < 4; ++i) {
    Event e = test.events.wait_for("message", i + 1);
    EXPECT_EQ(e.fin_rsv_opcode, expected[i].first);
    EXPECT_EQ(e.text, expected[i].text);
    EXPECT_EQ(e.length, expected[i].text.size());
  }
}

TEST(Receive, ControlFramesWithoutFinJoinTheAssembly) {
  TestServer test;
  auto client = test.open_client();
  client->send_raw(make_frame(0x09, "p")); // ping, FIN clear: starts an assembly, still answered
  Frame pong = client->read_frame();
  EXPECT_EQ(pong.fin_rsv_opcode, 0x0A);
  client->send_raw(make_frame(0x80, "q"));
  Event e = test.events.wait_for("message");
  EXPECT_EQ(e.fin_rsv_opcode, 0x89);
  EXPECT_EQ(e.text, "pq");
}

TEST(Receive, PeerVanishingMidFrameReportsEndOfStream) {
  TestServer test;
  auto client = test.open_client();
  client->send_raw(std::string("\x81\x85\x01\x02", 4)); // header and half a mask key
  client->shutdown_write();
  Event e = test.events.wait_for("error");
  EXPECT_EQ(e.error, boost::asio::error::eof);
  EXPECT_EQ(std::string(e.error.category().name()) + ":" + std::to_string(e.error.value()), "asio.misc:2");
  EXPECT_EQ(e.error.message(), "End of file");
  EXPECT_TRUE(client->wait_closed()); // no close frame: the socket just goes
  EXPECT_EQ(test.events.count("close"), 0u);
}

TEST(Receive, ResetConnectionReportsAnError) {
  TestServer test;
  auto client = test.open_client();
  client->close(true);
  Event e = test.events.wait_for("error");
  EXPECT_TRUE(e.error);
  EXPECT_TRUE(test.server.get_connections().empty());
}

TEST(Receive, InterleavedSplitsOfOneStreamGiveTheSameMessages) {
  // The same bytes, cut at every point of the first frames, must give the same messages.
  const std::string stream = make_frame(0x01, "ab") + make_frame(0x80, "cd") + make_frame(0x81, std::string(200, 'z'));
  TestServer test;
  std::size_t messages = 0;
  for (std::size_t split = 1; split < 40; split += 3) {
    auto client = test.open_client();
    client->send_raw(stream.substr(0, split));
    client->silent_for(2ms);
    client->send_raw(stream.substr(split));
    EXPECT_EQ(test.events.wait_for("message", ++messages).text, "abcd") << split;
    EXPECT_EQ(test.events.wait_for("message", ++messages).text, std::string(200, 'z')) << split;
  }
}

} // namespace
