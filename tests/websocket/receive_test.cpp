// Receiving: the mask and size checks, what the protocol forbids, fragments, control frames, and
// what reaches the handlers.

#include "tests/support/deflate_client.hpp"
#include "tests/support/recording_server.hpp"
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
      {"status only", "\x03\xE8", "\x03\xE8", 1000, ""},
      {"status and reason", "\x03\xE8" "bye", "\x03\xE8" "bye", 1000, "bye"},
      {"a private code and a UTF-8 reason", "\x0F\x9F" "\xC3\xA9t\xC3\xA9", "\x0F\x9F" "\xC3\xA9t\xC3\xA9", 3999,
       "\xC3\xA9t\xC3\xA9"},
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

TEST(Receive, BinaryAndEmptyMessagesAreDelivered) {
  TestServer test;
  auto client = test.open_client();
  client->send_raw(make_frame(0x82, std::string("\x00\xFF", 2))); // binary: no UTF-8 asked for
  client->send_raw(make_frame(0x81, ""));
  struct Expect {
    unsigned char first;
    std::string text;
  } expected[] = {{0x82, std::string("\x00\xFF", 2)}, {0x81, ""}};
  for (std::size_t i = 0; i < 2; ++i) {
    Event e = test.events.wait_for("message", i + 1);
    EXPECT_EQ(e.fin_rsv_opcode, expected[i].first);
    EXPECT_EQ(e.text, expected[i].text);
    EXPECT_EQ(e.length, expected[i].text.size());
  }
}

// Frames the protocol forbids, each on a connection of its own (over the in-memory stream): the
// server answers with the close frame the row names and reads no further, its handlers see the
// close, and nothing of the frame reaches on_message. Every row is also sent a byte at a time,
// so that a frame is judged as soon as the bytes that decide arrive: for the rows marked so, before
// the frame's last byte has come. The rows marked `deflate` come on a connection that agreed on
// permessage-deflate, with messages of at most 64 KiB.
TEST(Receive, FramesTheProtocolForbidsFailTheConnection) {
  const std::string open_text = make_frame(0x01, R"({"command":"echo",)");
  const std::string open_compressed = make_frame(0x41, deflated(R"({"command":"echo",)").substr(0, 5));
  auto close_frame = [](int code, const std::string& reason) {
    return make_frame(0x88, std::string{static_cast<char>(code >> 8), static_cast<char>(code & 0xFF)} + reason);
  };
  struct Row {
    const char* label;
    std::string bytes;
    int status;
    const char* reason;
    bool before_its_end = false;
    bool deflate = false;
  } rows[] = {
      {"ping of 126 bytes", make_frame(0x89, std::string(126, 'p')), 1002, "control frame too long"},
      {"pong of 126 bytes", make_frame(0x8A, std::string(126, 'p')), 1002, "control frame too long"},
      {"close of 126 bytes", close_frame(1000, std::string(124, 'r')), 1002, "control frame too long"},
      {"ping without FIN in a message", open_text + make_frame(0x09, "AB"), 1002, "fragmented control frame"},
      {"close without FIN in a message", open_text + make_frame(0x08, "\x03\xE8"), 1002, "fragmented control frame"},
      {"RSV1", make_frame(0xC1, "{}"), 1002, "reserved bits set"},
      {"RSV2", make_frame(0xA1, "{}"), 1002, "reserved bits set"},
      {"RSV3", make_frame(0x91, "{}"), 1002, "reserved bits set"},
      {"opcode 3", make_frame(0x83, "{}"), 1002, "reserved opcode"},
      {"opcode 0xB", make_frame(0x8B, "{}"), 1002, "reserved opcode"},
      {"opcode 0xF", make_frame(0x8F, "{}"), 1002, "reserved opcode"},
      {"continuation with no message open", make_frame(0x80, "{}"), 1002, "continuation frame without a message"},
      {"text while a message is open", open_text + make_frame(0x81, "{}"), 1002,
       "new message before the last one ended"},
      {"binary while a message is open", open_text + make_frame(0x02, "{}"), 1002,
       "new message before the last one ended"},
      {"close of one byte", make_frame(0x88, "\x03"), 1002, "close frame with a one-byte payload"},
      {"close code 0", close_frame(0, ""), 1002, "invalid close code"},
      {"close code 999", close_frame(999, ""), 1002, "invalid close code"},
      {"close code 1004", close_frame(1004, ""), 1002, "invalid close code"},
      {"close code 1005", close_frame(1005, ""), 1002, "invalid close code"},
      {"close code 1006", close_frame(1006, ""), 1002, "invalid close code"},
      {"close code 1015", close_frame(1015, ""), 1002, "invalid close code"},
      {"close code 2999", close_frame(2999, ""), 1002, "invalid close code"},
      {"close code 5000", close_frame(5000, ""), 1002, "invalid close code"},
      {"invalid UTF-8 in a text message", make_frame(0x81, "{\"x\":\"\xFF\"}"), 1007, "invalid UTF-8", true},
      {"a surrogate", make_frame(0x81, "\xED\xA0\x80"), 1007, "invalid UTF-8", true},
      {"an overlong form", make_frame(0x81, "\xC0\xAF"), 1007, "invalid UTF-8", true},
      {"a character cut at the message's end", make_frame(0x81, "ok \xE2\x82"), 1007, "invalid UTF-8"},
      {"invalid UTF-8 across fragments", make_frame(0x01, "\xE2\x82") + make_frame(0x80, "\x28"), 1007, "invalid UTF-8"},
      {"invalid UTF-8 20,000 bytes into a frame over 16 KiB",
       make_frame(0x81, std::string(20000, 'a') + "\xC3(" + std::string(20000, 'b')), 1007, "invalid UTF-8", true},
      {"invalid UTF-8 in a close reason", close_frame(1000, "\xFF\xFE"), 1007, "invalid UTF-8"},
      {"RSV1 on a continuation", open_compressed + make_frame(0xC0, "x"), 1002, "reserved bits set", false, true},
      {"RSV1 on a ping", make_frame(0xC9, "x"), 1002, "reserved bits set", false, true},
      {"RSV2 on a text frame", make_frame(0xA1, "{}"), 1002, "reserved bits set", false, true},
      {"bytes that do not inflate", make_frame(0xC1, "\xFF\xFF\xFF"), 1007, "invalid compressed data", true, true},
      {"data after the final block", make_frame(0xC1, std::string("\x03\x00\x00", 3)), 1007, "invalid compressed data", false, true},
      {"inflated text that is not UTF-8", make_frame(0xC1, deflated("ok \xC0\xAF")), 1007, "invalid UTF-8", false, true},
      {"a few bytes that inflate past the limit", make_frame(0xC1, deflated(std::string(1 << 20, '0'))), 1009,
       "message too big", true, true},
  };
  for (const Row& row : rows) {
    for (std::size_t piece : {row.bytes.size(), std::size_t(1)}) {
      RecordingServer test(row.deflate ? +[](MemoryServer& s) {
        s.config.permessage_deflate = true;
        s.config.max_message_size = 64 * 1024;
      } : nullptr);
      if (row.deflate)
        test.connection = test.open("Sec-WebSocket-Extensions: permessage-deflate\r\n");
      std::size_t at = 0;
      for (; at < row.bytes.size() && test.closes.empty(); at += piece)
        test.client_sends(row.bytes.substr(at, piece));
      if (piece == 1 && row.before_its_end) {
        EXPECT_LT(at, row.bytes.size()) << row.label << ": judged only once the frame was all there";
      }
      auto frames = test.new_frames();
      ASSERT_FALSE(frames.empty()) << row.label;
      const std::string expected =
          std::string{static_cast<char>(row.status >> 8), static_cast<char>(row.status & 0xFF)} + row.reason;
      EXPECT_EQ(frames.back().fin_rsv_opcode, 0x88) << row.label;
      EXPECT_EQ(frames.back().payload, expected) << row.label;
      EXPECT_EQ(test.closes, (std::vector<int>{row.status})) << row.label;
      EXPECT_TRUE(test.messages.empty()) << row.label;
      EXPECT_EQ(frames.size(), 1u) << row.label << ": something was answered before the close";
    }
  }
}

TEST(Receive, WhatTheProtocolAllowsStillPasses) {
  RecordingServer test;
  test.client_sends(make_frame(0x89, std::string(125, 'p')) +                     // the longest ping
                    make_frame(0x01, "caf\xC3") + make_frame(0x00, "\xA9 \xF0\x9F") + // a character
                    make_frame(0x89, "") + make_frame(0x80, "\x98\x80") +           // split thrice
                    make_frame(0x82, "\xFF\xFE"));                                // binary is not text
  auto frames = test.new_frames();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].payload, std::string(125, 'p'));
  EXPECT_EQ(frames[1].fin_rsv_opcode, 0x8A);
  ASSERT_EQ(test.messages.size(), 2u);
  EXPECT_EQ(test.messages[0].text, "caf\xC3\xA9 \xF0\x9F\x98\x80");
  EXPECT_EQ(test.messages[1].text, "\xFF\xFE");
  EXPECT_TRUE(test.closes.empty());
}

// With permessage-deflate agreed on, a compressed message (RSV1 on its first frame) reaches
// on_message inflated, as a message of its inflated length without RSV1, in one frame or several
// (a ping between them answered at once), empty, or large enough to be inflated over several turns
// of the event loop; answers of 256 bytes and more go out compressed.
TEST(Receive, CompressedMessagesArriveInflatedAndAnswersGoOutCompressed) {
  RecordingServer test(+[](MemoryServer& s) { s.config.permessage_deflate = true; });
  test.on_message = [](const std::shared_ptr<RecordingServer::Connection>& c, const std::string& text) {
    c->send(std::make_shared<KorvaWeb::SendStream>(text));
  };
  test.connection = test.open("Sec-WebSocket-Extensions: permessage-deflate; client_max_window_bits\r\n");
  const std::string json = R"({"command":"echo","values":[)" + std::string(300, '7') + "]}";
  const std::string large = std::string(3 << 20, 'l'), compressed = deflated(json);
  test.client_sends(make_frame(0xC1, deflated("{}")) + make_frame(0x41, compressed.substr(0, 7)) +
                    make_frame(0x89, "p") + make_frame(0x00, compressed.substr(7, 9)) +
                    make_frame(0x80, compressed.substr(16)) + make_frame(0xC1, "") + make_frame(0xC2, deflated(large)));
  ASSERT_EQ(test.messages.size(), 4u);
  const std::vector<std::pair<std::string, unsigned char>> expected{
      {"{}", 0x81}, {json, 0x81}, {"", 0x81}, {large, 0x82}};
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(test.messages[i].text, expected[i].first) << i;
    EXPECT_EQ(test.messages[i].fin_rsv_opcode, expected[i].second) << i;
    EXPECT_EQ(test.messages[i].length, expected[i].first.size()) << i;
  }
  const auto frames = test.new_frames();
  ASSERT_EQ(frames.size(), 5u); // the four answers, and the pong before the second
  EXPECT_EQ(frames[0].fin_rsv_opcode, 0x81) << "a two-byte answer compressed";
  EXPECT_EQ(frames[1].fin_rsv_opcode, 0x8A);
  EXPECT_EQ(frames[2].fin_rsv_opcode, 0xC1);
  EXPECT_EQ(inflated(frames[2].payload), json);
  EXPECT_EQ(frames[4].fin_rsv_opcode, 0x81) << "a binary message answered as text by this handler";
  EXPECT_EQ(frames[4].payload.size(), large.size()) << "over the compressed range: sent as it is";
  EXPECT_TRUE(test.closes.empty());
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
