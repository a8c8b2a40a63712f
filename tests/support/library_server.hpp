#pragma once
// A KorvaWeb::SocketServer on an ephemeral loopback port, run on its own thread for tests of the
// code that sits on top of the server. Link korva_websocket to use it.

#include "tests/support/process.hpp"
#include "tests/support/test_client.hpp"
#include "websocket/server.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

namespace korva_test {

class LibraryServer {
public:
  using Connection = KorvaWeb::SocketServer::Connection;

  LibraryServer() : endpoint(server.endpoints["^/api/?$"]) {
    server.config.address = "127.0.0.1";
    server.config.port = 0;
  }
  ~LibraryServer() { stop(); }
  LibraryServer(const LibraryServer&) = delete;
  LibraryServer& operator=(const LibraryServer&) = delete;

  // Install handlers on `endpoint` before this.
  void start() {
    thread = std::thread([this] { server.start(); });
    if (!eventually([this] { return server.bound_port() != 0; }))
      ADD_FAILURE() << "the server did not start listening";
  }

  void stop() {
    server.stop();
    if (thread.joinable())
      thread.join();
  }

  unsigned short port() const { return server.bound_port(); }

  // A client that has completed the opening handshake and been enrolled by the server.
  std::unique_ptr<TestClient> connect(const std::string& target = "/api", const std::string& extra_headers = "") {
    auto client = std::make_unique<TestClient>(port());
    EXPECT_TRUE(client->handshake(target, extra_headers));
    connection_of(*client);
    return client;
  }

  // The server's side of `client`, found by the client's port; waits for the enrolment.
  std::shared_ptr<Connection> connection_of(const TestClient& client) {
    std::shared_ptr<Connection> found;
    eventually([&] {
      for (const auto& connection : server.get_connections())
        if (connection->remote_endpoint.port() == client.local_port())
          found = connection;
      return found != nullptr;
    });
    if (!found)
      ADD_FAILURE() << "no open connection for client port " << client.local_port();
    return found;
  }

  KorvaWeb::SocketServer server;
  KorvaWeb::SocketServer::Endpoint& endpoint;
  std::thread thread; // runs the event loop
};

// Sends what is written to `stream` into its own buffer while it lives. The buffer may be read
// with text() while other threads write through `stream`.
class CapturedStream {
public:
  explicit CapturedStream(std::ostream& stream) : stream_(stream), saved_(stream.rdbuf(&buffer_)) {}
  ~CapturedStream() { stream_.rdbuf(saved_); }
  CapturedStream(const CapturedStream&) = delete;
  CapturedStream& operator=(const CapturedStream&) = delete;
  std::string text() const { return buffer_.text(); }

private:
  class Buffer : public std::streambuf {
  public:
    std::string text() const {
      std::lock_guard<std::mutex> lock(mutex_);
      return text_;
    }

  protected:
    std::streamsize xsputn(const char* bytes, std::streamsize count) override {
      std::lock_guard<std::mutex> lock(mutex_);
      text_.append(bytes, static_cast<std::size_t>(count));
      return count;
    }
    int_type overflow(int_type c) override {
      if (traits_type::eq_int_type(c, traits_type::eof()))
        return traits_type::not_eof(c);
      std::lock_guard<std::mutex> lock(mutex_);
      text_.push_back(traits_type::to_char_type(c));
      return c;
    }

  private:
    mutable std::mutex mutex_;
    std::string text_;
  };

  std::ostream& stream_;
  Buffer buffer_;
  std::streambuf* saved_;
};

// A masked ping frame with an empty payload: the server answers it with a pong only after it has
// handled every frame sent before it, so the pong marks "everything before has been dealt with".
inline std::string ping_frame() { return make_frame(0x89, ""); }

} // namespace korva_test
