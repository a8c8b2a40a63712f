// The load generator's side of permessage-deflate: the answers it reads, and the server's messages
// inflated with and without context takeover (our server never keeps its context; other servers
// measured beside it do).

#include "bench/ws_client.hpp"
#include "bench/ws_deflate.hpp"

#include <gtest/gtest.h>

#include <string>

using namespace korva_bench;

namespace {

TEST(BenchDeflate, TableOfAnswers) {
  struct Row {
    const char* label;
    const char* value;
    bool agreed;
    bool no_context_takeover;
    int server_bits, client_bits;
  } rows[] = {
      {"ours", "permessage-deflate; server_no_context_takeover; client_no_context_takeover; client_max_window_bits=12",
       true, true, 15, 12},
      {"context kept, windows unnamed", "permessage-deflate", true, false, 15, 15},
      {"quoted value, blanks", " permessage-deflate ;server_max_window_bits=\"10\" ", true, false, 10, 15},
      {"another extension", "x-webkit-deflate-frame", false, false, 0, 0},
      {"unknown parameter", "permessage-deflate; mux", false, false, 0, 0},
      {"window above 15", "permessage-deflate; client_max_window_bits=16", false, false, 0, 0},
      {"window without value", "permessage-deflate; client_max_window_bits", false, false, 0, 0},
      {"value on a flag", "permessage-deflate; server_no_context_takeover=1", false, false, 0, 0},
  };
  for (const Row& row : rows) {
    const auto answer = parse_deflate_answer(row.value);
    ASSERT_EQ(answer.has_value(), row.agreed) << row.label;
    if (!answer)
      continue;
    EXPECT_EQ(answer->server_no_context_takeover, row.no_context_takeover) << row.label;
    EXPECT_EQ(answer->server_max_window_bits, row.server_bits) << row.label;
    EXPECT_EQ(answer->client_max_window_bits, row.client_bits) << row.label;
  }
}

// Two messages from a stream that keeps its window: the second is a reference to the first.
TEST(BenchDeflate, InflatesWithTheServersContextOnlyWhereItIsKept) {
  const std::string text = "{\"notification\":\"value_changed\",\"group\":0,\"id\":1,\"index\":0,\"value\":23.5}";
  z_stream stream{};
  ASSERT_EQ(deflateInit2(&stream, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
  std::string messages[2];
  for (auto& message : messages) {
    message.resize(256);
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    stream.avail_in = static_cast<uInt>(text.size());
    stream.next_out = reinterpret_cast<Bytef*>(&message[0]);
    stream.avail_out = static_cast<uInt>(message.size());
    ASSERT_EQ(deflate(&stream, Z_SYNC_FLUSH), Z_OK);
    message.resize(message.size() - stream.avail_out - 4);
  }
  deflateEnd(&stream);
  ASSERT_LT(messages[1].size(), messages[0].size());

  MessageInflater kept(15, true), reset(15, false);
  for (const auto& message : messages)
    EXPECT_EQ(kept.inflate(message.data(), message.size()), text);
  EXPECT_EQ(reset.inflate(messages[0].data(), messages[0].size()), text);
  EXPECT_THROW(reset.inflate(messages[1].data(), messages[1].size()), BenchError);
}

} // namespace
