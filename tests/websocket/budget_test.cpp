// What the server as a whole may hold, over the in-memory stream: the memory budget and whom it
// cuts, the message time-out, the limit of connections, a paused reader's buffer and fair turns.
// Budgets here are a few hundred KiB, so that every rule shows with small messages.

#include "tests/support/recording_server.hpp"

#include <gtest/gtest.h>

#include <algorithm>

using namespace korva_test;

namespace {

using Connection = RecordingServer::Connection;
constexpr std::size_t KiB = 1024;

std::shared_ptr<KorvaWeb::SendStream> payload_of(std::size_t size) {
  return std::make_shared<KorvaWeb::SendStream>(std::string(size, 'p'));
}

bool failed_with(const RecordingServer& test, const std::shared_ptr<Connection>& c, KorvaWeb::error failure) {
  return std::any_of(test.errors.begin(), test.errors.end(), [&](const RecordingServer::Error& e) {
    return e.connection == c.get() && e.error == failure;
  });
}

void budget_of_300_kib(MemoryServer& s) { s.config.memory_budget = 300 * KiB; }

TEST(Budget, APushThatWouldPassTheBudgetCutsTheBiggestHolderAndNoOneElse) {
  RecordingServer test(budget_of_300_kib);
  auto small = test.open(), reader = test.open();
  test.stream().set_write_room(0); // the first client and `small` do not read
  test.stream(small).set_write_room(0);
  test.server.on_loop([&] {
    test.connection->send(payload_of(200 * KiB), test.record("big"));
    small->send(payload_of(20 * KiB), test.record("small"));
    reader->send(payload_of(100 * KiB), test.record("reader"));
  });
  EXPECT_TRUE(failed_with(test, test.connection, KorvaWeb::error::memory_budget));
  EXPECT_EQ(test.errors.size(), 1u) << "only the biggest holder is cut";
  std::sort(test.calls.begin(), test.calls.end());
  EXPECT_EQ(test.calls, (std::vector<std::string>{
                            "big:" + std::to_string(make_error_code(KorvaWeb::error::memory_budget).value()),
                            "reader:ok"}));
  EXPECT_LE(test.server.budget->held(), 300 * KiB);
}

TEST(Budget, AMessageThatWouldPassTheBudgetCutsTheBiggestHolderOrItselfWhenItIsTheBiggest) {
  RecordingServer test(budget_of_300_kib);
  auto sender = test.open();
  test.stream().set_write_room(0);
  test.server.on_loop([&] { test.connection->send(payload_of(200 * KiB)); });
  // 150 KiB received on top of 200 KiB queued: the stalled queue holds the most and goes.
  test.client_sends(make_frame(0x81, std::string(150 * KiB, 'm')), sender);
  EXPECT_TRUE(failed_with(test, test.connection, KorvaWeb::error::memory_budget));
  ASSERT_EQ(test.messages.size(), 1u);
  EXPECT_EQ(test.messages[0].text.size(), 150 * KiB);
  // A message bigger than the whole budget: its sender holds the most, and is cut itself.
  auto greedy = test.open();
  test.client_sends(make_frame(0x81, std::string(400 * KiB, 'g')), greedy);
  EXPECT_TRUE(failed_with(test, greedy, KorvaWeb::error::memory_budget));
  EXPECT_EQ(test.messages.size(), 1u);
  EXPECT_FALSE(failed_with(test, sender, KorvaWeb::error::memory_budget));
  EXPECT_EQ(test.server.budget->held(), 0u);
}

TEST(Budget, APayloadSharedByManyQueuesCountsOnce) {
  RecordingServer test(budget_of_300_kib);
  std::vector<std::shared_ptr<Connection>> stalled{test.connection};
  for (int i = 0; i < 4; ++i)
    stalled.push_back(test.open());
  auto broadcast = payload_of(200 * KiB);
  test.server.on_loop([&] {
    for (auto& c : stalled) {
      test.stream(c).set_write_room(0);
      c->send(broadcast);
    }
  });
  EXPECT_TRUE(test.errors.empty());
  EXPECT_LT(test.server.budget->held(), 210 * KiB);
}

// A queue takes a payload when the budget is full, and making room cuts the payload's only other
// holder: the payload is then counted for the queue left holding it, and given back once written.
TEST(Budget, APayloadWhoseOtherHoldersAreCutCountsForTheQueueThatKeepsIt) {
  RecordingServer test(budget_of_300_kib);
  auto filler = test.open(), reader = test.open();
  test.stream().set_write_room(0);
  test.stream(filler).set_write_room(0);
  test.stream(reader).set_write_room(0);
  const std::size_t frame = 10 + KorvaWeb::frame_overhead; // a frame's cost beyond its payload
  auto shared = payload_of(200 * KiB);
  test.server.on_loop([&] {
    test.connection->send(shared); // the biggest holder, and the payload's only one
    filler->send(payload_of(300 * KiB - frame / 2 - 2 * frame - 200 * KiB)); // the budget all but full
    reader->send(shared);
  });
  EXPECT_TRUE(failed_with(test, test.connection, KorvaWeb::error::memory_budget));
  EXPECT_EQ(test.errors.size(), 1u);
  EXPECT_EQ(test.server.budget->held(), filler->held() + reader->held());
  test.stream(reader).add_write_room(1 << 20);
  test.server.run_until_idle();
  EXPECT_EQ(test.server.budget->held(), filler->held());
}

TEST(Budget, AStartedFrameThatStopsArrivingIsCutAfterTheMessageTimeOutAnIdleConnectionIsNot) {
  RecordingServer test([](MemoryServer& s) { s.config.timeout_message = 1; });
  auto idle = test.open();
  const std::string frame = make_frame(0x81, "half of it");
  test.client_sends(frame.substr(0, frame.size() / 2));
  test.server.io_service->restart();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (test.errors.empty() && std::chrono::steady_clock::now() < deadline)
    test.server.io_service->run_one_for(std::chrono::milliseconds(100));
  test.server.run_until_idle();
  EXPECT_TRUE(failed_with(test, test.connection, KorvaWeb::error::message_stalled));
  EXPECT_EQ(test.errors.size(), 1u);
  EXPECT_TRUE(test.stream().closed());
  EXPECT_FALSE(test.stream(idle).closed());
}

TEST(Budget, BeyondTheLimitOfConnectionsTheUpgradeIsAnswered503) {
  RecordingServer test([](MemoryServer& s) { s.config.max_connections = 2; });
  auto second = test.open();
  auto third = test.open();
  EXPECT_EQ(test.stream(third).written().rfind("HTTP/1.1 503 Service Unavailable\r\n", 0), 0u)
      << test.stream(third).written();
  EXPECT_TRUE(test.stream(third).closed());
  test.stream(second).push_end(); // once one has gone, the next is let in
  test.server.run_until_idle();
  second.reset();
  test.server.run_until_idle();
  auto fourth = test.open();
  EXPECT_EQ(test.stream(fourth).written().compare(0, 12, "HTTP/1.1 101"), 0);
}

TEST(Budget, APausedReaderHoldsOnlyTheBytesItHasNotTakenYet) {
  RecordingServer test([](MemoryServer& s) { s.config.send_queue_high_water = 1000; });
  test.stream().set_write_room(0);
  test.server.on_loop([&] { test.connection->send(payload_of(2000)); });
  test.client_sends(make_frame(0x81, "one") + make_frame(0x81, "two")); // read, then held back
  EXPECT_EQ(test.connection->input_buffer.capacity(), test.connection->input_buffer.size());
  EXPECT_LT(test.connection->input_buffer.size(), 20u);
}

TEST(Budget, AClientsBurstOfMessagesTakesTurnsWithTheOthers) {
  RecordingServer test;
  auto other = test.open();
  std::string burst;
  for (int i = 0; i < 5; ++i)
    burst += make_frame(0x81, "burst " + std::to_string(i));
  test.stream().push(burst.data(), burst.size());
  test.client_sends(make_frame(0x81, "other"), other);
  ASSERT_EQ(test.messages.size(), 6u);
  std::size_t other_at = 0;
  while (test.messages[other_at].text != "other")
    ++other_at;
  EXPECT_LT(other_at, 3u) << "the other client waited for the whole burst";
}

} // namespace
