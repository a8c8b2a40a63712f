// permessage-deflate without sockets: the offers and our answers, the 101 response that carries
// one, and what the two stages share.

#include "websocket/deflate_stage.hpp"
#include "websocket/handshake.hpp"
#include "websocket/inflate_stage.hpp"
#include "websocket/permessage_deflate.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
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

std::string json(std::size_t size) {
  std::string text;
  for (int id = 0; text.size() < size; ++id)
    text += "{\"group\":1,\"id\":" + std::to_string(id) + ",\"value\":" + std::to_string(id * 7 % 100) + "},";
  text.resize(size);
  return text;
}

const unsigned char* bytes(const std::string& text) { return reinterpret_cast<const unsigned char*>(text.data()); }

// Pieces and limits against zlib's own result are the fuzz target's (tests/fuzz/inflate_fuzz.cpp);
// here, what it cannot see: two connections sharing the loop's streams, and the budget saying no.
TEST(InflateStage, MessagesOfTwoConnectionsShareTheLoopsStreams) {
  Compressor compressor(15);
  std::string first, second;
  ASSERT_TRUE(compressor.compress(json(40000), first));
  ASSERT_TRUE(compressor.compress(json(3000) + "x", second));
  Decompressors loop;
  InflateStage spanning, whole;
  Message one(0xC1, 0), two(0xC2, 0);
  auto allow = [](std::size_t) { return true; };
  // The first message's first half: its state moves out of the loop's stream into its own.
  InflateResult result =
      spanning.inflate(loop, 15, bytes(first), first.size() / 2, false, one, 1 << 20, nullptr, allow);
  EXPECT_EQ(result.status, InflateStatus::need_input);
  EXPECT_TRUE(spanning.in_message());
  EXPECT_GT(spanning.holding(), 32u * 1024); // zlib's state and a 32 KiB window
  // Meanwhile another connection's message, whole, through the loop's stream.
  result = whole.inflate(loop, 15, bytes(second), second.size(), true, two, 1 << 20, nullptr, allow);
  EXPECT_EQ(result.status, InflateStatus::finished);
  EXPECT_FALSE(whole.in_message());
  EXPECT_EQ(two.fin_rsv_opcode, 0x82);
  EXPECT_EQ(two.content(), json(3000) + "x");
  // Then the rest of the first.
  result = spanning.inflate(loop, 15, bytes(first) + first.size() / 2, first.size() - first.size() / 2, true, one,
                            1 << 20, nullptr, allow);
  EXPECT_EQ(result.status, InflateStatus::finished);
  EXPECT_EQ(spanning.holding(), 0u);
  EXPECT_EQ(one.length, 40000u);
  EXPECT_EQ(one.content(), json(40000));
}

TEST(InflateStage, StopsBeforeGrowingWhereTheBudgetSaysNo) {
  Compressor compressor(15);
  std::string bomb; // 8 MiB of one letter, in about 8 KiB
  ASSERT_TRUE(compressor.compress(std::string(8 << 20, 'a'), bomb));
  Decompressors loop;
  for (bool last : {true, false}) {
    InflateStage stage;
    Message message(0xC1, 0);
    const std::size_t first_capacity = message.capacity();
    std::size_t allowed = 0;
    auto check = [&allowed](std::size_t growth) {
      if (allowed + growth > 64 * 1024)
        return false;
      allowed += growth;
      return true;
    };
    const InflateResult result =
        stage.inflate(loop, 15, bytes(bomb), bomb.size(), last, message, 16 << 20, nullptr, check);
    EXPECT_EQ(result.status, InflateStatus::refused);
    EXPECT_EQ(message.capacity() - first_capacity, allowed); // it grew by what was allowed only
    EXPECT_EQ(stage.holding(), 0u);
  }
}

TEST(DeflateStage, CompressesEachSharedPayloadOncePerWindow) {
  DeflateStage stage;
  auto small = std::make_shared<SendStream>(json(compress_min_size - 1));
  auto large = std::make_shared<SendStream>(json(compress_max_size + 1));
  std::string random(1000, '\0');
  for (char& c : random)
    c = static_cast<char>(std::rand());
  auto noise = std::make_shared<SendStream>(random);
  EXPECT_EQ(stage.compressed(small, 15), nullptr);
  EXPECT_EQ(stage.compressed(large, 15), nullptr);
  EXPECT_EQ(stage.compressed(noise, 15), nullptr); // did not pay
  EXPECT_GT(stage.bytes(), 0u);

  auto payload = std::make_shared<SendStream>(json(4096));
  auto for_15 = stage.compressed(payload, 15);
  ASSERT_NE(for_15, nullptr);
  EXPECT_LT(for_15->size(), payload->size());
  EXPECT_EQ(stage.compressed(payload, 15), for_15); // the same shared result for every recipient
  auto for_9 = stage.compressed(payload, 9);
  ASSERT_NE(for_9, nullptr);
  EXPECT_NE(for_9, for_15);
  Decompressors loop;
  InflateStage inflate;
  Message message(0xC1, 0);
  auto allow = [](std::size_t) { return true; };
  const InflateResult result =
      inflate.inflate(loop, 9, bytes(for_9->text()), for_9->size(), true, message, 1 << 20, nullptr, allow);
  EXPECT_EQ(result.status, InflateStatus::finished);
  EXPECT_EQ(message.content(), payload->text());
  // Once no queue holds the result, the payload is compressed anew.
  const std::string bytes = for_15->text();
  for_15.reset();
  auto again = stage.compressed(payload, 15);
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(again->text(), bytes);
}

} // namespace
