// Broadcasts handed over to a loop that is not run (as one held up inside a handler), over the
// in-memory stream: beyond the reserve, drop_oldest drops the oldest of its kind and wait waits for
// the loop; what is kept goes out in the order it was handed over.

#include "tests/support/deflate_client.hpp"
#include "tests/support/process.hpp"
#include "tests/support/recording_server.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace korva_test;
using KorvaWeb::WhenFull;

namespace {

using Connection = RecordingServer::Connection;
// Each piece: a payload of 100 bytes to two connections.
constexpr std::size_t piece_cost = 100 + KorvaWeb::Handover<Connection>::piece_overhead + 2 * sizeof(std::shared_ptr<Connection>);
std::vector<std::uint64_t> reports;

std::vector<std::string> names(const std::vector<WrittenFrame>& frames) {
  std::vector<std::string> result;
  for (const WrittenFrame& frame : frames)
    result.push_back(frame.payload.substr(0, frame.payload.find('.')));
  return result;
}

TEST(Handover, BeyondTheReserveTheOldestDroppableGoOrTheCallerWaitsAndTheRestGoOutInOrder) {
  RecordingServer test([](MemoryServer& s) {
    s.config.handover_reserve = 3 * piece_cost;
    s.on_broadcasts_dropped = [](std::uint64_t dropped) { reports.push_back(dropped); };
  });
  auto other = test.open();
  const auto list = test.server.get_connection_list();
  auto hand_over = [&](std::string name, WhenFull when_full, std::size_t size = 100) {
    std::string text(size, '.');
    test.server.broadcast(list, std::make_shared<KorvaWeb::SendStream>(text.replace(0, name.size(), name)),
                          test.record(name), when_full);
  };
  hand_over("d1", WhenFull::drop_oldest);
  hand_over("d2", WhenFull::drop_oldest);
  hand_over("w1", WhenFull::wait);
  hand_over("d3", WhenFull::drop_oldest);
  EXPECT_EQ(test.server.handover->held(), 3 * piece_cost);
  std::atomic<bool> done{false};
  std::thread monitor([&] {
    hand_over("w2", WhenFull::wait);
    done = true;
  });
  ASSERT_TRUE(eventually([&] { return test.server.handover->waiting() == 1; }));
  EXPECT_TRUE(reports.empty() && test.new_frames().empty());
  EXPECT_TRUE(eventually([&] {
    test.server.run_until_idle();
    return done.load();
  }));
  monitor.join();
  test.server.run_until_idle();
  // A piece larger than the reserve goes when nothing else is held; one that may be dropped is
  // dropped itself when only pieces that wait fill the reserve.
  hand_over("large", WhenFull::wait, 4 * piece_cost);
  test.server.run_until_idle();
  for (const char* name : {"w3", "w4", "w5"})
    hand_over(name, WhenFull::wait);
  hand_over("d6", WhenFull::drop_oldest);
  test.server.run_until_idle();
  for (const auto& c : {test.connection, other})
    EXPECT_EQ(names(test.new_frames(c)), (std::vector<std::string>{"d2", "w1", "d3", "w2", "large", "w3", "w4", "w5"}));
  EXPECT_EQ(test.calls.size(), 16u) << "a dropped piece's callback is never called";
  EXPECT_EQ(reports, (std::vector<std::uint64_t>{1, 1})) << "once the loop has caught up after them";
}

// A broadcast to connections that agreed on permessage-deflate is compressed once for all of them:
// their queues share one compressed payload (which the budget counts once); a connection that did
// not agree gets the text as it is.
TEST(Handover, ABroadcastIsCompressedOnceForTheConnectionsThatAgreed) {
  RecordingServer test(+[](MemoryServer& s) { s.config.permessage_deflate = true; });
  std::vector<std::shared_ptr<Connection>> agreed;
  for (int i = 0; i < 3; ++i)
    agreed.push_back(test.open("Sec-WebSocket-Extensions: permessage-deflate\r\n"));
  for (const auto& c : agreed)
    test.stream(c).set_write_room(0);
  test.stream().set_write_room(0);
  std::string text = R"({"notification":"value_changed","values":[)";
  while (text.size() < 4000)
    text += R"({"group":0,"id":1,"index":0,"value":21.5},)";
  text += "{}]}";
  test.server.broadcast(test.server.get_connection_list(), std::make_shared<KorvaWeb::SendStream>(text), nullptr,
                        WhenFull::wait);
  test.server.run_until_idle();
  const auto* shared = agreed[0]->send_queue.frames.front()->payload.get();
  for (const auto& c : agreed)
    EXPECT_EQ(c->send_queue.frames.front()->payload.get(), shared);
  EXPECT_LT(shared->size(), text.size() / 4);
  EXPECT_EQ(test.connection->send_queue.frames.front()->payload->text(), text);
  for (const auto& c : agreed) {
    test.stream(c).add_write_room(1 << 20);
    test.server.run_until_idle();
    const auto frames = test.new_frames(c);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].fin_rsv_opcode, 0xC1);
    EXPECT_EQ(inflated(frames[0].payload), text);
  }
}

} // namespace
