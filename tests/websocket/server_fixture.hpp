#pragma once
// A real KorvaWeb::SocketServer on an ephemeral loopback port, run on its own thread, whose
// endpoint handlers record what happens so that tests can wait for events instead of time.

#include "tests/support/library_server.hpp"
#include "tests/support/process.hpp"
#include "tests/support/test_client.hpp"
#include "websocket/server.hpp"

#include <gtest/gtest.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace korva_test {

using Server = KorvaWeb::SocketServer;
using ConnectionPtr = std::shared_ptr<Server::Connection>;

struct Event {
  Event() = default;
  Event(std::string kind, const ConnectionPtr& connection) : kind(std::move(kind)), connection(connection) {}

  std::string kind; // "open", "message", "close", "error", "ping", "pong"
  // Weak, so that recording an event does not keep the connection (and its socket) alive.
  std::weak_ptr<Server::Connection> connection;
  unsigned char fin_rsv_opcode = 0;
  std::size_t length = 0;
  std::string text;  // message content or close reason
  int status = 0;    // close status
  boost::system::error_code error;
  bool in_set = false; // was the connection still in the endpoint's set when the handler ran
  std::chrono::steady_clock::time_point when = std::chrono::steady_clock::now(); // in the handler
  std::size_t buffer_capacity = 0; // at "open": what the input buffer holds on to after the handshake
};

class EventLog {
public:
  void add(Event event) {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(std::move(event));
    changed_.notify_all();
  }
  // Waits until `count` events of `kind` have been recorded; returns the count-th one.
  Event wait_for(const std::string& kind, std::size_t count = 1, std::chrono::milliseconds limit = 10s) {
    std::unique_lock<std::mutex> lock(mutex_);
    Event found;
    bool ok = changed_.wait_for(lock, limit, [&] {
      std::size_t seen = 0;
      for (auto& e : events_)
        if (e.kind == kind && ++seen == count) {
          found = e;
          return true;
        }
      return false;
    });
    if (!ok)
      ADD_FAILURE() << "no " << count << "th '" << kind << "' event";
    return found;
  }
  std::vector<Event> all() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }
  std::vector<std::string> kinds() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> result;
    for (auto& e : events_)
      result.push_back(e.kind);
    return result;
  }
  void clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.clear();
  }
  std::size_t count(const std::string& kind) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::size_t n = 0;
    for (auto& e : events_)
      n += e.kind == kind;
    return n;
  }

private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Event> events_;
};

// A library server whose handlers record every event.
class TestServer : public LibraryServer {
public:
  // `configure` may change the config and endpoints before the server starts.
  explicit TestServer(const std::function<void(Server&)>& configure = nullptr) {
    auto in_set = [this](const ConnectionPtr& c) {
      std::lock_guard<std::mutex> lock(endpoint.connections_mutex);
      return endpoint.connections.count(c) == 1;
    };
    endpoint.on_open = [this, in_set](ConnectionPtr c) {
      Event e{"open", c};
      e.in_set = in_set(c);
      e.buffer_capacity = c->input_buffer.capacity();
      events.add(e);
    };
    endpoint.on_message = [this, in_set](ConnectionPtr c, std::shared_ptr<Server::Message> m) {
      Event e{"message", c};
      e.fin_rsv_opcode = m->fin_rsv_opcode;
      e.length = m->length;
      e.text = m->content();
      e.in_set = in_set(c);
      if (on_message)
        on_message(c, e.text);
      events.add(e);
    };
    endpoint.on_close = [this, in_set](ConnectionPtr c, int status, const std::string& reason) {
      Event e{"close", c};
      e.status = status;
      e.text = reason;
      e.in_set = in_set(c);
      events.add(e);
    };
    endpoint.on_error = [this, in_set](ConnectionPtr c, const boost::system::error_code& ec) {
      Event e{"error", c};
      e.error = ec;
      e.in_set = in_set(c);
      events.add(e);
    };
    endpoint.on_ping = [this](ConnectionPtr c) { events.add(Event{"ping", c}); };
    endpoint.on_pong = [this](ConnectionPtr c) { events.add(Event{"pong", c}); };
    if (configure)
      configure(server);
    start();
  }
  // The loop stops before the handlers' captures (events, on_message) go.
  ~TestServer() { stop(); }

  // A client that has completed the handshake, and the server side of its connection.
  std::unique_ptr<TestClient> open_client(ConnectionPtr* connection = nullptr, int receive_buffer = 0) {
    auto client = std::make_unique<TestClient>(port(), "127.0.0.1", receive_buffer);
    EXPECT_TRUE(client->handshake());
    Event e = events.wait_for("open", ++opened_);
    if (connection)
      *connection = e.connection.lock();
    return client;
  }

  EventLog events;
  // Called inside on_message with the connection and the message text.
  std::function<void(const ConnectionPtr&, const std::string&)> on_message;

private:
  std::size_t opened_ = 0;
};

} // namespace korva_test
