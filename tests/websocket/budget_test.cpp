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

// ... and once it has been written to all of them, the memory goes back to the system once, not
// once per queue.
TEST(Budget, APayloadSharedByManyQueuesCountsOnce) {
  RecordingServer test(budget_of_300_kib);
  std::vector<std::shared_ptr<Connection>> stalled{test.connection};
  for (int i = 0; i < 4; ++i)
    stalled.push_back(test.open());
  auto broadcast = payload_of(270 * KiB);
  test.server.on_loop([&] {
    for (auto& c : stalled) {
      test.stream(c).set_write_room(0);
      c->send(broadcast);
    }
  });
  EXPECT_TRUE(test.errors.empty());
  EXPECT_LT(test.server.budget->held(), 280 * KiB);
  const std::size_t returns = test.server.budget->memory_returns();
  for (auto& c : stalled)
    test.stream(c).add_write_room(1 << 20);
  test.server.run_until_idle();
  EXPECT_EQ(test.server.budget->memory_returns(), returns + 1);
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

// The message time-out counts only bytes of the message: a client that keeps pinging between the
// fragments of a message it does not go on with is cut all the same; an idle connection is not.
TEST(Budget, AStartedFrameOrMessageThatStopsArrivingIsCutAfterTheMessageTimeOut) {
  using std::chrono::milliseconds;
  RecordingServer test([](MemoryServer& s) { s.config.timeout_message = 1; });
  auto idle = test.open(), pinging = test.open();
  const std::string frame = make_frame(0x81, "half of it");
  test.client_sends(frame.substr(0, frame.size() / 2));
  test.client_sends(make_frame(0x01, "a first fragment"), pinging);
  for (int i = 0; i < 3; ++i) { // 0.6 s apart: each would have put the time-out off
    test.server.advance(milliseconds(600));
    test.client_sends(make_frame(0x89, "still here"), pinging);
  }
  EXPECT_TRUE(failed_with(test, test.connection, KorvaWeb::error::message_stalled));
  EXPECT_TRUE(failed_with(test, pinging, KorvaWeb::error::message_stalled));
  EXPECT_EQ(test.errors.size(), 2u);
  EXPECT_TRUE(test.stream().closed());
  EXPECT_FALSE(test.stream(idle).closed());
}

// At the limit of connections a newcomer comes in when its address holds fewer connections than
// the fullest address, whose oldest connection makes room (on_error, close 1013, on_close); one
// of the fullest address itself is answered 503. Connections without X-Real-IP or X-Forwarded-For
// share the empty address.
TEST(Budget, TheLimitOfConnectionsIsSharedBetweenAddresses) {
  RecordingServer test([](MemoryServer& s) { s.config.max_connections = 3; });
  const std::string b = "X-Real-IP: 10.0.0.2\r\n", c = "X-Forwarded-For: 10.0.0.3\r\n";
  auto second = test.open(), b1 = test.open(b); // "" holds 2, 10.0.0.2 holds 1
  auto answered = [&](const std::shared_ptr<Connection>& k) { return test.stream(k).written().substr(0, 12); };
  struct Newcomer {
    std::string headers;
    const char* answer;           // the start of its answer
    const Connection* making_room; // the connection that makes room for it, if any
  };
  const std::vector<Newcomer> newcomers{
      {"", "HTTP/1.1 503", nullptr},                    // of the fullest address: refused
      {b, "HTTP/1.1 101", test.connection.get()},       // 1 < 2: the oldest of "" goes
      {b, "HTTP/1.1 503", nullptr},                     // 2 is not fewer than 2
      {c, "HTTP/1.1 101", b1.get()},                    // 0 < 2: the oldest of 10.0.0.2 goes
  };
  for (const Newcomer& newcomer : newcomers) {
    const std::size_t errors = test.errors.size(), closes = test.closes.size();
    auto k = test.open(newcomer.headers);
    EXPECT_EQ(answered(k), newcomer.answer) << newcomer.headers;
    if (!newcomer.making_room) {
      EXPECT_EQ(test.errors.size(), errors);
      EXPECT_TRUE(test.stream(k).closed());
      continue;
    }
    ASSERT_EQ(test.errors.size(), errors + 1);
    EXPECT_EQ(test.errors.back().connection, newcomer.making_room);
    EXPECT_EQ(test.errors.back().error, make_error_code(KorvaWeb::error::room_for_other_address));
    ASSERT_EQ(test.closes.size(), closes + 1);
    EXPECT_EQ(test.closes.back(), 1013);
    EXPECT_EQ(test.closed.back(), newcomer.making_room);
  }
  auto frames = test.new_frames(test.connection);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].payload, std::string("\x03\xf5try again later"));
  // Below the limit again once the connections that made room and one more have ended, anyone
  // comes in.
  test.stream(second).push_end();
  test.connection.reset();
  b1.reset();
  second.reset();
  test.server.advance(std::chrono::seconds(5)); // the close time-out cuts those that made room
  EXPECT_EQ(answered(test.open(b)), "HTTP/1.1 101");
}

// Whom the budget cuts when one connection wants room: the connection whose cut frees the most,
// where a payload shared by several queues frees nothing while another holds it; and when no cut
// alone frees a fair share, those that hold the most of what is shared (clients that have not read
// what was sent to all of them) rather than the one asking.
TEST(Budget, MakingRoomCutsWhatFreesTheMostNeverTheReadersOfOneBroadcastForIt) {
  { // three slow readers of one 120 KiB broadcast; three clients each hold half of a 100 KiB frame
    RecordingServer test(budget_of_300_kib);
    std::vector<std::shared_ptr<Connection>> readers{test.connection, test.open(), test.open()}, senders;
    auto broadcast = payload_of(120 * KiB);
    test.server.on_loop([&] {
      for (auto& r : readers) {
        test.stream(r).set_write_room(0);
        r->send(broadcast);
      }
    });
    const std::string frame = make_frame(0x81, std::string(100 * KiB, 's'));
    for (int i = 0; i < 4; ++i) {
      senders.push_back(test.open());
      test.client_sends(frame.substr(0, frame.size() / 2), senders.back());
    }
    EXPECT_FALSE(test.errors.empty()) << "the budget was passed";
    for (const auto& r : readers)
      EXPECT_FALSE(failed_with(test, r, KorvaWeb::error::memory_budget)) << "a reader of the broadcast was cut";
  }
  { // five clients that do not read hold two broadcasts; a client that holds nothing wants 30 KiB
    RecordingServer test(budget_of_300_kib);
    std::vector<std::shared_ptr<Connection>> stalled{test.connection};
    for (int i = 0; i < 4; ++i)
      stalled.push_back(test.open());
    auto wanting = test.open();
    auto first = payload_of(135 * KiB), second = payload_of(135 * KiB);
    test.server.on_loop([&] {
      for (auto& c : stalled) {
        test.stream(c).set_write_room(0);
        c->send(first);
        c->send(second);
      }
      test.stream(wanting).set_write_room(0);
      wanting->send(payload_of(30 * KiB));
    });
    EXPECT_FALSE(failed_with(test, wanting, KorvaWeb::error::memory_budget));
    EXPECT_EQ(test.errors.size(), stalled.size()) << "all those holding the broadcasts go, and only they";
  }
}

// A frame's header reserves nothing: a message's storage grows with the bytes that arrive (and is
// what the budget counts), here for a 16 MiB frame of which 100, then 5,000 bytes came.
TEST(Budget, AMessagesStorageGrowsWithItsBytesNotWithItsHeader) {
  RecordingServer test(budget_of_300_kib);
  const std::string frame = make_frame(0x81, std::string(16 << 20, 'x'));
  std::size_t sent = 0;
  for (std::size_t until : {14 + 100, 14 + 5100}) {
    test.client_sends(frame.substr(sent, until - sent));
    sent = until;
    EXPECT_TRUE(test.errors.empty());
    EXPECT_LE(test.server.budget->held(), 2 * KorvaWeb::ReadBuffer::chunk_size) << sent;
    EXPECT_EQ(test.server.budget->held(), test.connection->held());
  }
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
