// Sending: frame bytes, the queue's order and callbacks, failures, sends from several threads.

#include "tests/support/client_frame.hpp"
#include "tests/websocket/server_fixture.hpp"

#include <atomic>
#include <future>
#include <thread>

using namespace korva_test;

namespace {

std::shared_ptr<Server::SendStream> stream_of(const std::string& text) {
  auto stream = std::make_shared<Server::SendStream>();
  *stream << text;
  return stream;
}

// Records "<text>:ok" or "<text>:error" for each send callback, in the order they are called.
class CallbackLog {
public:
  KorvaWeb::SendCallback record(const std::string& text) {
    return [this, text](const boost::system::error_code& ec) {
      std::lock_guard<std::mutex> lock(mutex_);
      calls_.push_back(text + (ec ? ":error" : ":ok"));
    };
  }
  bool wait_for(std::size_t count) {
    return eventually([&] { return calls().size() >= count; });
  }
  std::vector<std::string> calls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }

private:
  std::mutex mutex_;
  std::vector<std::string> calls_;
};

// Keeps the connection's event loop busy until released, so that frames sent meanwhile are all
// queued before the first of them is written.
class LoopHold {
public:
  explicit LoopHold(const ConnectionPtr& connection) {
    auto released = release_.get_future().share();
    boost::asio::post(connection->executor, [released] { released.wait(); });
  }
  ~LoopHold() { release(); }
  void release() {
    if (!released_) {
      released_ = true;
      release_.set_value();
    }
  }

private:
  std::promise<void> release_;
  bool released_ = false;
};

TEST(Send, HeaderFormsOnTheWire) {
  TestServer test;
  ConnectionPtr connection;
  auto client = test.open_client(&connection);
  struct Row {
    std::size_t size;
    std::string header;
  } rows[] = {
      {0, std::string("\x81\x00", 2)},
      {125, "\x81\x7D"},
      {126, std::string("\x81\x7E\x00\x7E", 4)},
      {65535, "\x81\x7E\xFF\xFF"},
      {65536, std::string("\x81\x7F\x00\x00\x00\x00\x00\x01\x00\x00", 10)},
  };
  for (auto& row : rows) {
    connection->send(stream_of(std::string(row.size, 'p')));
    EXPECT_EQ(client->read_exact(row.header.size()), row.header) << row.size;
    EXPECT_EQ(client->read_exact(row.size), std::string(row.size, 'p')) << row.size;
  }
}

TEST(Send, QueuedFramesGoOutInOrderWithOneCallbackEach) {
  TestServer test;
  ConnectionPtr connection;
  auto client = test.open_client(&connection);
  CallbackLog log;
  for (const char* text : {"one", "two", "three"})
    connection->send(stream_of(text), log.record(text));
  for (const char* text : {"one", "two", "three"}) {
    Frame f = client->read_frame();
    EXPECT_EQ(f.fin_rsv_opcode, 0x81);
    EXPECT_EQ(f.payload, text);
  }
  ASSERT_TRUE(log.wait_for(3));
  EXPECT_EQ(log.calls(), (std::vector<std::string>{"one:ok", "two:ok", "three:ok"}));
}

TEST(Send, FailedWriteTellsOnlyTheFrontCallbackAndEmptiesTheQueue) {
  TestServer test;
  ConnectionPtr connection;
  auto client = test.open_client(&connection);
  // Every write fails from now on. Closed on the event loop, as the server's own closes are: the
  // loop may be inside a read of this socket.
  std::promise<void> closed;
  boost::asio::post(connection->executor, [&] {
    connection->close_socket();
    closed.set_value();
  });
  closed.get_future().wait();
  CallbackLog log;
  {
    LoopHold hold(connection); // all three are queued before the first write fails
    for (const char* text : {"one", "two", "three"})
      connection->send(stream_of(text), log.record(text));
  }
  ASSERT_TRUE(log.wait_for(1));
  // A frame sent after the failure fails too: its own callback is told the error.
  connection->send(stream_of("four"), log.record("four"));
  ASSERT_TRUE(log.wait_for(2));
  EXPECT_EQ(log.calls(), (std::vector<std::string>{"one:error", "four:error"}));
}

TEST(Send, SendsFromSeveralThreadsArriveWholeAndInPerThreadOrder) {
  TestServer test;
  ConnectionPtr connection;
  auto client = test.open_client(&connection);
  constexpr int threads = 4, per_thread = 200;
  std::atomic<int> callbacks{0};
  std::vector<std::thread> senders;
  for (int t = 0; t < threads; ++t)
    senders.emplace_back([&, t] {
      for (int i = 0; i < per_thread; ++i) {
        // Sizes cross the length forms so that headers differ between threads.
        std::string text = std::to_string(t) + ":" + std::to_string(i) + ":" + std::string((i * 97) % 700, 'x');
        connection->send(stream_of(text), [&](const boost::system::error_code& ec) {
          if (!ec)
            ++callbacks;
        });
      }
    });
  for (auto& s : senders)
    s.join();
  std::vector<int> next(threads, 0);
  for (int n = 0; n < threads * per_thread; ++n) {
    Frame f = client->read_frame();
    ASSERT_TRUE(f.ok) << "frame " << n;
    int t = std::stoi(f.payload);
    int i = std::stoi(f.payload.substr(f.payload.find(':') + 1));
    EXPECT_EQ(i, next[t]++) << "thread " << t;
    EXPECT_EQ(f.payload.size(), f.payload.find(':', 2) + 1 + (i * 97) % 700);
  }
  EXPECT_TRUE(eventually([&] { return callbacks == threads * per_thread; }));
}

TEST(Send, SendFromInsideACallbackIsQueuedBehind) {
  TestServer test;
  ConnectionPtr connection, other;
  auto client = test.open_client(&connection);
  auto other_client = test.open_client(&other);
  {
    LoopHold hold(connection); // both frames are queued before the first one is written
    connection->send(stream_of("first"), [connection, other](const boost::system::error_code&) {
      connection->send(stream_of("from callback"));
      // An idle queue made busy while the writes of a turn are being started starts too.
      other->send(stream_of("to the other"));
    });
    connection->send(stream_of("second"));
  }
  EXPECT_EQ(client->read_frame().payload, "first");
  EXPECT_EQ(client->read_frame().payload, "second");
  EXPECT_EQ(client->read_frame().payload, "from callback");
  EXPECT_EQ(other_client->read_frame().payload, "to the other");
}

TEST(Send, QueuedFramesOfADestroyedConnectionAreDroppedSilently) {
  // A connection that was never opened: its socket is not connected, nothing can be written.
  boost::asio::io_context io;
  auto runner = std::make_shared<KorvaWeb::ScopeRunner>();
  bool called = false;
  {
    auto connection = std::make_shared<Server::Connection>(runner, 0, io);
    connection->send(stream_of("never"), [&](const boost::system::error_code&) { called = true; });
  } // the enqueue task still holds it
  io.restart();
  io.poll();  // the task enqueues and starts a write that fails on the closed socket ...
  io.poll();
  EXPECT_TRUE(called); // ... whose callback is told
  called = false;
  {
    auto connection = std::make_shared<Server::Connection>(runner, 0, io);
    connection->send(stream_of("never"), [&](const boost::system::error_code&) { called = true; });
  }
  // Destroyed with the task before it ran: the frame is dropped without its callback.
  // (The io_context's destructor destroys the pending task.)
  EXPECT_FALSE(called);
}

TEST(Close, SendCloseQueuesAtMostOneCloseFrame) {
  TestServer test;
  ConnectionPtr connection;
  auto client = test.open_client(&connection);
  bool second_called = false;
  connection->send_close(1000);
  connection->send_close(1001, "again", [&](const boost::system::error_code&) { second_called = true; });
  connection->send(stream_of("after close")); // data after a close frame still goes out
  Frame close = client->read_frame();
  EXPECT_EQ(close.fin_rsv_opcode, 0x88);
  EXPECT_EQ(close.payload, std::string("\x03\xE8", 2));
  EXPECT_EQ(client->read_frame().payload, "after close");
  EXPECT_FALSE(second_called);
}

TEST(Close, IdleTimeoutSendsOneCloseAndWaitsForTheClient) {
  TestServer test([](Server& s) { s.config.timeout_idle = 1; });
  ConnectionPtr connection;
  auto client = test.open_client(&connection);
  Frame close = client->read_frame(5s);
  EXPECT_EQ(close.fin_rsv_opcode, 0x88);
  EXPECT_EQ(std::string({'\x88', static_cast<char>(close.payload.size())}) + close.payload,
            std::string("\x88\x0E\x03\xE8") + "idle timeout");
  EXPECT_EQ(test.server.get_connections().size(), 1u); // still open until the client answers
  connection.reset();
  client->send_raw(make_close_frame(1000, ""));
  Event e = test.events.wait_for("close");
  EXPECT_EQ(e.status, 1000);
  EXPECT_EQ(e.text, "");
  EXPECT_TRUE(client->wait_closed()); // no second close frame, then the socket goes
}

TEST(Close, ACloseThatNeverFinishesEndsAfterTheCloseTimeOut) {
  // The client asks to close and then never reads: the frames queued for it can never be
  // written, yet its socket is closed timeout_close seconds after the close was reported, with a
  // reset, so that the kernel does not keep what it could not send.
  TestServer test([](Server& s) { s.config.timeout_close = 1; });
  ConnectionPtr connection;
  auto client = test.open_client(&connection, 4096);
  const std::string block(64 * 1024, 'q');
  for (int i = 0; i < 256; ++i) // 16 MiB: far more than the socket buffers take
    connection->send(stream_of(block));
  std::weak_ptr<Server::Connection> weak = connection;
  connection.reset();
  ASSERT_TRUE(client->send_raw(make_close_frame(1000, "bye")));
  const auto reported = test.events.wait_for("close").when; // inside on_close, after the timer started
  EXPECT_TRUE(eventually([&] { return weak.expired(); }, 10s)) << "the connection outlived its close time-out";
  EXPECT_GE(std::chrono::steady_clock::now() - reported, 900ms); // the time-out, not an early cut
  EXPECT_EQ(orphans_holding_data(test.port()), 0) << "the closed socket still holds what it could not send";
}

// A client that asks for a large reply and closes at once, then reads it slowly, gets every byte,
// the close frame, and then the end of the stream, never a reset: each byte it takes starts the
// close time-out again, and the socket is closed only once it has taken the last one.
TEST(Close, AClientThatReadsSlowlyAfterItsCloseGetsEveryByteAndAnEndOfStream) {
  TestServer test([](Server& s) { s.config.timeout_close = 1; });
  test.on_message = [](const ConnectionPtr& c, const std::string& text) { c->send(stream_of(text)); };
  auto client = test.open_client(nullptr, 16 * 1024);
  const std::string request(1 << 20, 'r');
  ASSERT_TRUE(client->send_raw(make_frame(0x81, request) + make_close_frame(1000, "done")));
  test.events.wait_for("close");
  std::string received;
  bool closed = false;
  const auto began = std::chrono::steady_clock::now();
  while (!closed && std::chrono::steady_clock::now() - began < 20s) { // about 300 KB/s: over 3 s
    client->read_available(16 * 1024, closed, &received);
    std::this_thread::sleep_for(50ms);
  }
  EXPECT_TRUE(closed);
  EXPECT_FALSE(client->was_reset()) << "reset after " << received.size() << " bytes";
  std::size_t at = 0;
  const auto frames = written_frames(received, at);
  ASSERT_EQ(frames.size(), 2u) << received.size() << " bytes";
  EXPECT_EQ(frames[0].payload, request);
  EXPECT_EQ(frames[1].payload, std::string("\x03\xE8") + "done");
  EXPECT_EQ(at, received.size());
}

// What the kernel holds of the bytes sent to a client counts against the budget: frames its socket
// took whole count while the client has not read them, and no more once it has (the kernel is
// asked when a queue goes idle after a fair amount was written).
TEST(Close, WhatTheKernelHoldsOfSentBytesCountsAgainstTheBudget) {
  TestServer test([](Server& s) {
    s.config.memory_budget = 8 << 20;
    s.config.send_buffer_size = 64 * 1024;
  });
  ConnectionPtr connection;
  auto client = test.open_client(&connection, 4096); // a small window: the rest stays with the server
  const std::string block(40 * 1024, 'k');
  for (int i = 0; i < 2; ++i)
    connection->send(stream_of(block));
  EXPECT_TRUE(eventually([&] { return test.server.budget->held() >= block.size(); }))
      << "held " << test.server.budget->held();
  client->set_receive_buffer(256 * 1024);
  for (int i = 0; i < 2; ++i)
    EXPECT_EQ(client->read_frame().payload.size(), block.size());
  // Read at once: when its queue goes idle, the kernel is asked. (A busy machine may ask before the
  // client has read: the next block's idle queue asks again.)
  bool measured_after_reading = false;
  for (int round = 0; round < 20 && !measured_after_reading; ++round) {
    connection->send(stream_of(block));
    EXPECT_EQ(client->read_frame().payload.size(), block.size());
    measured_after_reading = eventually([&] { return test.server.budget->held() < block.size(); }, 500ms);
  }
  EXPECT_TRUE(measured_after_reading) << "held " << test.server.budget->held();
}

TEST(Close, CloseFromInsideOnMessage) {
  TestServer test;
  test.on_message = [](const ConnectionPtr& c, const std::string& text) {
    if (text == "bye")
      c->send_close(1000, "asked");
  };
  auto client = test.open_client();
  client->send_text("bye");
  Frame close = client->read_frame();
  EXPECT_EQ(close.payload, std::string("\x03\xE8") + "asked");
  client->send_raw(make_close_frame(1000, "ok"));
  Event e = test.events.wait_for("close");
  EXPECT_EQ(e.text, "ok");
  EXPECT_TRUE(client->wait_closed());
}

} // namespace
