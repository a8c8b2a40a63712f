// What the server as a whole may hold, over the in-memory stream: the memory budget and whom it
// cuts, the message time-out, the limit of connections, a paused reader's buffer and fair turns.
// Budgets here are a few hundred KiB, so that every rule shows with small messages.

#include "tests/support/deflate_client.hpp"
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

// After a flood the memory goes back once more when the total has stayed low for a few seconds:
// what was freed after the last halving went back to the allocator only.
TEST(Budget, AfterAFloodTheMemoryGoesBackOnceTheTotalHasStayedLowAWhile) {
  RecordingServer test([](MemoryServer& s) { s.config.memory_budget = 8 << 20; });
  test.stream().set_write_room(0);
  test.server.on_loop([&] {
    for (int i = 0; i < 5; ++i)
      test.connection->send(payload_of(1 << 20));
  });
  test.stream().add_write_room(1 << 30);
  test.server.run_until_idle();
  ASSERT_EQ(test.server.budget->held(), 0u);
  const std::size_t returns = test.server.budget->memory_returns();
  test.server.advance(KorvaWeb::Budget::quiet_after - std::chrono::milliseconds(100));
  EXPECT_EQ(test.server.budget->memory_returns(), returns);
  test.server.advance(std::chrono::milliseconds(100));
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
  EXPECT_EQ(test.server.budget->held(), filler->limits.held() + reader->limits.held());
  test.stream(reader).add_write_room(1 << 20);
  test.server.run_until_idle();
  EXPECT_EQ(test.server.budget->held(), filler->limits.held());
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

// At the limit of connections a newcomer whose request head is in comes in when an address holds
// at least two more connections than the newcomer's own: that address's oldest connection gives
// way (on_error, close 1013, on_close) and stops counting at once. Otherwise it is answered 503,
// so that addresses holding one connection each (forged X-Real-IP values, say) never push each
// other out. Connections without X-Real-IP or X-Forwarded-For share the empty address, and heads
// that are not complete yet share "no address yet".
TEST(Budget, TheLimitOfConnectionsIsSharedBetweenAddresses) {
  RecordingServer test([](MemoryServer& s) { s.config.max_connections = 3; });
  const std::string b = "X-Real-IP: 10.0.0.2\r\n", c = "X-Forwarded-For: 10.0.0.3\r\n",
                    d = "X-Real-IP: 10.0.0.4\r\n";
  auto second = test.open(), b1 = test.open(b); // "" holds 2, 10.0.0.2 holds 1
  test.stream().set_write_room(2);               // the first reads two bytes at a time
  const auto first_ending = test.stream().ending();
  auto answered = [&](const std::shared_ptr<Connection>& k) { return test.stream(k).written().substr(0, 12); };
  struct Newcomer {
    std::string headers;
    const char* answer;           // the start of its answer
    const Connection* giving_way; // the connection that gives way to it, if any
  };
  const std::vector<Newcomer> newcomers{
      {"", "HTTP/1.1 503", nullptr},              // of the fullest address
      {b, "HTTP/1.1 503", nullptr},               // 2 is not two more than 1
      {c, "HTTP/1.1 101", test.connection.get()}, // 2 is two more than 0: the oldest of "" goes
      {d, "HTTP/1.1 503", nullptr},               // every address holds one: nobody goes
      {b, "HTTP/1.1 503", nullptr},
  };
  for (const Newcomer& newcomer : newcomers) {
    const std::size_t errors = test.errors.size(), closes = test.closes.size();
    auto k = test.open(newcomer.headers);
    EXPECT_EQ(answered(k), newcomer.answer) << newcomer.headers;
    if (!newcomer.giving_way) {
      EXPECT_EQ(test.errors.size(), errors);
      EXPECT_TRUE(test.stream(k).closed());
      continue;
    }
    ASSERT_EQ(test.errors.size(), errors + 1);
    EXPECT_EQ(test.errors.back().connection, newcomer.giving_way);
    EXPECT_EQ(test.errors.back().error, make_error_code(KorvaWeb::error::room_for_other_address));
    ASSERT_EQ(test.closes.size(), closes + 1);
    EXPECT_EQ(test.closes.back(), 1013);
    EXPECT_EQ(test.closed.back(), newcomer.giving_way);
    EXPECT_EQ(test.server.budget->connections(), 3u); // the one that gave way counts no more
  }
  // The one that gave way ends within the close time-out whatever its client does: here it reads
  // two bytes a second, too slowly for its close frame, and is reset.
  MemoryStream& first = test.stream();
  std::weak_ptr<Connection> gave_way = test.connection;
  test.connection.reset();
  for (int second_of_it = 0; second_of_it < 5; ++second_of_it) {
    EXPECT_FALSE(gave_way.expired()) << second_of_it;
    first.add_write_room(2);
    test.server.advance(std::chrono::seconds(1));
  }
  EXPECT_TRUE(gave_way.expired());
  EXPECT_TRUE(first_ending->reset);
  EXPECT_NE(first_ending->written.find("\x88\x11\x03\xf5try"), std::string::npos);
  test.stream(second).push_end(); // below the limit again once it has ended: anyone comes in
  second.reset();
  test.server.run_until_idle();
  EXPECT_EQ(answered(test.open(b)), "HTTP/1.1 101");
}

// Beyond the limit, heads that are not complete yet share "no address yet": those that hold every
// place give way to a complete head like an address that holds too many, and those waiting beyond
// the limit for their heads (when every waiting place is taken) let in a newcomer on trial whose
// head comes at once, so that heads dripped in slowly keep nobody out. Connections that gave way
// and are still ending are bounded in number too: beyond it, the oldest is reset.
TEST(Budget, WhatWaitsBeyondTheLimitIsBoundedAndKeepsNobodyOut) {
  RecordingServer test([](MemoryServer& s) { s.config.max_connections = 3; });
  const std::string console = "X-Real-IP: 10.0.0.9\r\n";
  auto dripping = [&] {
    auto k = test.server.connect();
    const std::string part = upgrade_request("/api").substr(0, 20);
    k->socket->push(part.data(), part.size());
    test.server.run_until_idle();
    return k;
  };
  { // the places under the limit held by heads still to come: the oldest gives way
    std::vector<std::shared_ptr<Connection>> drips;
    test.connection.reset();
    test.server.run_until_idle();
    for (int i = 0; i < 3; ++i)
      drips.push_back(dripping());
    auto k = test.open(console);
    EXPECT_EQ(test.stream(k).written().substr(0, 12), "HTTP/1.1 101");
    EXPECT_TRUE(drips[0]->socket->closed());
    EXPECT_FALSE(drips[1]->socket->closed());
  }
  { // every place held by open connections, every waiting place by a head still to come
    RecordingServer full([](MemoryServer& s) { s.config.max_connections = 2; });
    auto other = full.open();
    std::vector<std::shared_ptr<Connection>> waiting;
    for (std::size_t i = 0; i < KorvaWeb::max_waiting; ++i) {
      auto k = full.server.connect();
      const std::string part = upgrade_request("/api").substr(0, 20);
      k->socket->push(part.data(), part.size());
      waiting.push_back(k);
    }
    full.server.run_until_idle();
    auto k = full.open(console); // on trial: "" holds 2, two more than 10.0.0.9
    EXPECT_EQ(full.stream(k).written().substr(0, 12), "HTTP/1.1 101");
    auto refused = full.open(console); // on trial: 10.0.0.9 and "" hold 1 each now
    EXPECT_EQ(full.stream(refused).written().substr(0, 12), "HTTP/1.1 503");
    EXPECT_TRUE(waiting[0]->socket->closed()) << "its waiting place went to the trial's 503";
    EXPECT_FALSE(waiting[1]->socket->closed());
  }
  { // one address holds every place and reads nothing; as many newcomers as may be ending, and one
    const std::size_t places = 2 * KorvaWeb::max_given_way + 4;
    RecordingServer many([](MemoryServer& s) { s.config.max_connections = 2 * KorvaWeb::max_given_way + 4; });
    many.stream().set_write_room(0);
    std::vector<std::shared_ptr<Connection>> held;
    for (std::size_t i = 1; i < places; ++i) {
      held.push_back(many.open());
      many.stream(held.back()).set_write_room(0);
    }
    for (std::size_t i = 0; i <= KorvaWeb::max_given_way; ++i)
      EXPECT_EQ(many.stream(many.open("X-Real-IP: 10.1.0." + std::to_string(i) + "\r\n")).written().substr(0, 12),
                "HTTP/1.1 101");
    EXPECT_EQ(many.errors.size(), KorvaWeb::max_given_way + 1);
    EXPECT_TRUE(many.stream().closed()) << "the oldest that gave way is still ending";
    EXPECT_FALSE(many.stream(held[0]).closed());
  }
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
  { // eight clients hold 20 KiB each of a 100 KiB frame and send nothing more; an ordinary client
    // then sends a larger frame at once: the stalled frames go first, however little each holds
    RecordingServer test(budget_of_300_kib);
    std::vector<std::shared_ptr<Connection>> dripping;
    const std::string frame = make_frame(0x81, std::string(100 * KiB, 'd'));
    for (int i = 0; i < 8; ++i) {
      dripping.push_back(test.open());
      test.client_sends(frame.substr(0, 20 * KiB), dripping.back());
    }
    test.server.advance(std::chrono::seconds(6)); // nothing more of them for the last few seconds
    test.client_sends(make_frame(0x81, std::string(120 * KiB, 'o')));
    ASSERT_EQ(test.messages.size(), 1u) << "the ordinary client's message was not taken";
    EXPECT_FALSE(failed_with(test, test.connection, KorvaWeb::error::memory_budget));
    EXPECT_FALSE(test.errors.empty());
    for (const auto& error : test.errors)
      EXPECT_NE(error.connection, test.connection.get());
  }
  { // a compression bomb: 16 KiB that inflate to 16 MiB, beside readers that each hold 50 KiB: it
    // costs its sender its connection, and nobody else anything
    RecordingServer test(+[](MemoryServer& s) {
      budget_of_300_kib(s);
      s.config.permessage_deflate = true;
    });
    std::vector<std::shared_ptr<Connection>> readers{test.connection, test.open(), test.open()};
    test.server.on_loop([&] {
      for (auto& r : readers) {
        test.stream(r).set_write_room(0);
        r->send(payload_of(50 * KiB));
      }
    });
    auto bomber = test.open("Sec-WebSocket-Extensions: permessage-deflate\r\n");
    test.client_sends(make_frame(0xC1, deflated(std::string(16 << 20, 'b'))), bomber);
    EXPECT_TRUE(failed_with(test, bomber, KorvaWeb::error::memory_budget));
    EXPECT_EQ(test.errors.size(), 1u);
    EXPECT_LE(test.server.budget->held(), 300 * KiB);
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
    EXPECT_EQ(test.server.budget->held(), test.connection->limits.held());
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
