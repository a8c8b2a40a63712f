// The send queue's bounds and failures, and sends from other threads, over the in-memory stream:
// a client that stops reading is a stream without write room, so every state of the queue can be
// reached and looked at without a network or a wait for the kernel.

#include "tests/support/recording_server.hpp"

#include <gtest/gtest.h>

#include <boost/asio/executor_work_guard.hpp>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>

using namespace korva_test;

namespace {

using Connection = MemoryServer::Connection;

std::shared_ptr<KorvaWeb::SendStream> payload_of(std::size_t size, char fill = 'p') {
  return std::make_shared<KorvaWeb::SendStream>(std::string(size, fill));
}

using OpenConnection = RecordingServer;

TEST(SendQueue, ReaderWaitsAboveTheHighWaterMarkAndResumesWhenTheClientReads) {
  OpenConnection test([](MemoryServer& s) { s.config.send_queue_high_water = 1000; });
  test.stream().set_write_room(0); // the client stops reading
  test.server.on_loop([&] { test.connection->send(payload_of(2000)); });
  ASSERT_GT(test.connection->send_queue.bytes(), 1000u);
  // The client goes on sending: the reader takes no frame, and once it has stopped it reads no
  // more bytes either, so that TCP holds the client back.
  const std::string ping = make_frame(0x89, "p");
  for (int i = 0; i < 2; ++i) {
    test.stream().push(ping.data(), ping.size());
    test.server.run_until_idle();
  }
  EXPECT_EQ(test.pings, 0) << "the reader took a frame from a client it should have held back";
  EXPECT_EQ(test.stream().unread(), ping.size());

  test.stream().add_write_room(1 << 20); // it reads again: the queue drains, the reader goes on
  test.server.run_until_idle();
  EXPECT_EQ(test.pings, 2);
  auto frames = test.new_frames();
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[0].payload.size(), 2000u);
  EXPECT_EQ(frames[1].fin_rsv_opcode, 0x8A);
  EXPECT_EQ(test.connection->send_queue.bytes(), 0u);
}

TEST(SendQueue, QueueLimitCutsTheConnectionAndTellsEachCallbackOnceInOrder) {
  OpenConnection test([](MemoryServer& s) { s.config.send_queue_limit = 10000; });
  test.stream().set_write_room(0);
  test.server.on_loop([&] {
    test.connection->send(payload_of(4000), test.record("being written"));
    test.connection->send(payload_of(4000), test.record("waiting"));
    test.connection->send(payload_of(4000), test.record("over the limit"));
  });
  const int enobufs = ENOBUFS;
  // The frame being written learns why its write ended; the one waiting behind it is dropped
  // without its callback; the refused one is told, after send() returned.
  EXPECT_EQ(test.calls, (std::vector<std::string>{"being written:" + std::to_string(enobufs),
                                                  "over the limit:" + std::to_string(enobufs)}));
  ASSERT_EQ(test.errors.size(), 1u);
  EXPECT_EQ(test.errors[0].error, boost::system::error_code(ENOBUFS, boost::system::generic_category()));
  EXPECT_TRUE(test.stream().closed());
  EXPECT_EQ(test.connection->send_queue.bytes(), 0u);
  test.server.on_loop([&] { test.connection->send(payload_of(10), test.record("after the cut")); });
  EXPECT_EQ(test.calls.back(), "after the cut:" + std::to_string(enobufs));
  EXPECT_EQ(test.calls.size(), 3u);
  EXPECT_EQ(test.errors.size(), 1u);
}

// A write that the kernel fails with ENOBUFS (the code the queue limit is reported with) is told
// to its frame's callback, and is no cut of the server's: only the queue's own limit cuts.
TEST(SendQueue, AKernelENOBUFSIsNoQueueLimitCut) {
  OpenConnection test([](MemoryServer& s) { s.config.send_queue_limit = 10000; });
  test.stream().fail_writes_with(boost::system::error_code(ENOBUFS, boost::system::generic_category()));
  test.server.on_loop([&] { test.connection->send(payload_of(10), test.record("failed")); });
  test.server.on_loop([&] { test.connection->send(payload_of(10), test.record("after")); });
  const int enobufs = ENOBUFS;
  EXPECT_EQ(test.calls, (std::vector<std::string>{"failed:" + std::to_string(enobufs), "after:" + std::to_string(enobufs)}));
  EXPECT_FALSE(test.connection->cut_reason());
  EXPECT_TRUE(test.errors.empty());
}

// A callback that throws leaves the event loop to whoever runs it; run again, the loop goes on
// writing: the thrower's later frames and every other connection's.
TEST(SendQueue, AThrowingCallbackStallsNoQueue) {
  OpenConnection test;
  auto other = test.open();
  boost::asio::post(*test.server.io_service, [&] {
    test.connection->send(payload_of(1), [](const boost::system::error_code&) { throw std::runtime_error("thrown"); });
    test.connection->send(payload_of(2), test.record("behind it"));
    other->send(payload_of(3), test.record("other"));
  });
  bool thrown = false;
  for (int round = 0; round < 3; ++round) {
    try {
      test.server.run_until_idle();
    } catch (const std::runtime_error&) {
      thrown = true;
    }
  }
  EXPECT_TRUE(thrown);
  std::sort(test.calls.begin(), test.calls.end());
  EXPECT_EQ(test.calls, (std::vector<std::string>{"behind it:ok", "other:ok"}));
  test.server.on_loop([&] { other->send(payload_of(4), test.record("later")); });
  EXPECT_EQ(test.calls.back(), "later:ok");
  EXPECT_EQ(test.new_frames().size(), 2u);
  EXPECT_EQ(test.new_frames(other).size(), 2u);
}

TEST(SendQueue, CloseTimerCutsAConnectionWhoseQueueNeverDrains) {
  OpenConnection test([](MemoryServer& s) { s.config.timeout_close = 1; });
  test.stream().set_write_room(0);
  test.server.on_loop([&] { test.connection->send(payload_of(100), test.record("stuck")); });
  const std::string close = make_close_frame(1000, "bye");
  test.stream().push(close.data(), close.size());
  test.server.run_until_idle();
  ASSERT_EQ(test.closes, (std::vector<int>{1000}));
  std::weak_ptr<Connection> weak = test.connection;
  test.connection.reset();
  // The close timer is the only thing left: it cuts the connection once its second is over, and
  // the last holder (the stuck write) then lets go of it.
  test.server.advance(std::chrono::milliseconds(900));
  EXPECT_FALSE(weak.expired()) << "cut before its time";
  test.server.advance(std::chrono::milliseconds(100));
  EXPECT_TRUE(weak.expired());
  EXPECT_EQ(test.calls, (std::vector<std::string>{"stuck:" + std::to_string(ECANCELED)}));
}

// A reported connection ends in order, with every byte queued for it (its close frame last, where
// one was queued) and then a FIN, however slowly its client takes them; it is reset only when its
// client takes nothing for a whole close time-out, or when one of the server's limits cuts it.
TEST(SendQueue, AReportedConnectionEndsInOrderUnlessItsClientStopsTaking) {
  struct Row {
    const char* client;
    std::size_t takes_per_step; // bytes the client reads every 900 ms
    bool ends_its_stream;       // instead of sending a close frame
    bool over_limit;            // a frame then takes its queue over the limit
    bool in_order;
  };
  const Row rows[] = {
      {"reads slowly after its close", 700, false, false, true},
      {"ends its stream and reads slowly", 700, true, false, true},
      {"reads nothing after its close", 0, false, false, false},
      {"is sent more than its queue limit after its close", 700, false, true, false},
  };
  for (const Row& row : rows) {
    OpenConnection test([](MemoryServer& s) {
      s.config.timeout_close = 1;
      s.config.send_queue_limit = 20000;
    });
    MemoryStream& stream = test.stream();
    const auto ending = stream.ending();
    stream.set_write_room(0);
    test.server.on_loop([&] { test.connection->send(payload_of(5000)); });
    if (row.ends_its_stream) {
      stream.push_end();
      test.server.run_until_idle();
    } else {
      test.client_sends(make_close_frame(1000, "bye"));
    }
    if (row.over_limit)
      test.server.on_loop([&] { test.connection->send(payload_of(20000)); });
    std::weak_ptr<Connection> weak = test.connection;
    test.connection.reset();
    for (int step = 0; step < 20 && !weak.expired(); ++step) { // 5000 bytes take over 7 s
      stream.add_write_room(row.takes_per_step);
      test.server.advance(std::chrono::milliseconds(900));
    }
    EXPECT_TRUE(weak.expired()) << row.client;
    EXPECT_EQ(ending->reset, !row.in_order) << row.client;
    EXPECT_EQ(ending->in_order, row.in_order) << row.client;
    if (!row.in_order)
      continue;
    std::size_t at = ending->written.find("\r\n\r\n") + 4;
    const auto frames = written_frames(ending->written, at);
    ASSERT_EQ(frames.size(), row.ends_its_stream ? 1u : 2u) << row.client;
    EXPECT_EQ(frames[0].payload.size(), 5000u) << row.client;
    EXPECT_EQ(at, ending->written.size()) << row.client;
    if (!row.ends_its_stream) {
      EXPECT_EQ(frames[1].fin_rsv_opcode, 0x88) << row.client;
    }
  }
}

TEST(SendQueue, SendsFromAnotherThreadWhileTheLoopWritesArriveWholeAndInOrder) {
  OpenConnection test;
  test.stream().set_write_limit(7); // every frame takes several writes, most of them asynchronous
  auto work = boost::asio::make_work_guard(*test.server.io_service);
  test.server.io_service->restart();
  std::thread loop([&] { test.server.io_service->run(); });
  constexpr int frames = 300;
  std::atomic<int> called{0};
  std::promise<void> all_called;
  for (int i = 0; i < frames; ++i)
    test.connection->send(payload_of(i % 200, static_cast<char>('a' + i % 26)),
                          [&](const boost::system::error_code& ec) {
                            EXPECT_FALSE(ec);
                            if (++called == frames)
                              all_called.set_value();
                          });
  EXPECT_EQ(all_called.get_future().wait_for(std::chrono::seconds(30)), std::future_status::ready);
  work.reset();
  test.server.io_service->stop();
  loop.join();
  auto written = test.new_frames();
  ASSERT_EQ(written.size(), static_cast<std::size_t>(frames));
  for (int i = 0; i < frames; ++i)
    EXPECT_EQ(written[i].payload, std::string(i % 200, static_cast<char>('a' + i % 26))) << "frame " << i;
}

} // namespace
