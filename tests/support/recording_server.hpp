#pragma once
// The library's tests of a connection over the in-memory stream: a server whose handlers record
// what they see, and clients that have completed the opening handshake. Link korva_test_support.

#include "tests/support/memory_server.hpp"
#include "tests/support/test_client.hpp"

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace korva_test {

// A memory server whose endpoint "^/api$" records what its handlers see, with clients that have
// completed the opening handshake; the first is `connection`. Its on_message answers nothing
// unless `on_message` is set.
class RecordingServer {
public:
  using Connection = MemoryServer::Connection;
  struct Error {
    const Connection* connection;
    boost::system::error_code error;
  };
  struct Received {
    const Connection* connection;
    std::string text;
    unsigned char fin_rsv_opcode;
    std::size_t length;
  };

  explicit RecordingServer(void (*configure)(MemoryServer&) = nullptr) {
    auto& endpoint = server.endpoints["^/api$"];
    endpoint.on_ping = [this](std::shared_ptr<Connection>) { ++pings; };
    endpoint.on_error = [this](std::shared_ptr<Connection> c, const boost::system::error_code& ec) {
      errors.push_back({c.get(), ec});
    };
    endpoint.on_close = [this](std::shared_ptr<Connection> c, int status, const std::string&) {
      closes.push_back(status);
      closed.push_back(c.get());
    };
    endpoint.on_message = [this](std::shared_ptr<Connection> c, std::shared_ptr<KorvaWeb::Message> m) {
      messages.push_back({c.get(), m->content(), m->fin_rsv_opcode, m->length});
      if (on_message)
        on_message(c, messages.back().text);
    };
    if (configure)
      configure(server);
    connection = open();
  }
  // The clients go (while the handlers' records are still there).
  ~RecordingServer() {
    connection.reset();
    server.close_connections();
  }
  RecordingServer(const RecordingServer&) = delete;
  RecordingServer& operator=(const RecordingServer&) = delete;

  // Another client: connected, its upgrade request (with `extra_headers`) sent and answered.
  std::shared_ptr<Connection> open(const std::string& extra_headers = "") {
    auto opened = server.connect();
    const std::string request = upgrade_request("/api", extra_headers);
    opened->socket->push(request.data(), request.size());
    server.run_until_idle();
    read_at[opened.get()] = opened->socket->written().find("\r\n\r\n") + 4;
    return opened;
  }

  MemoryStream& stream(const std::shared_ptr<Connection>& c = nullptr) { return *(c ? c : connection)->socket; }
  // What the client sends, then the loop runs until nothing is ready.
  void client_sends(const std::string& bytes, const std::shared_ptr<Connection>& c = nullptr) {
    stream(c).push(bytes.data(), bytes.size());
    server.run_until_idle();
  }
  // Frames the server has written to the client since the last call.
  std::vector<WrittenFrame> new_frames(const std::shared_ptr<Connection>& c = nullptr) {
    return written_frames(stream(c).written(), read_at[(c ? c : connection).get()]);
  }
  // Records "<name>:ok" or "<name>:<error value>" when a frame's callback is called.
  KorvaWeb::SendCallback record(const std::string& name) {
    return [this, name](const boost::system::error_code& ec) {
      calls.push_back(name + ":" + (ec ? std::to_string(ec.value()) : "ok"));
    };
  }

  MemoryServer server;
  std::shared_ptr<Connection> connection;
  std::map<const Connection*, std::size_t> read_at;
  int pings = 0;
  std::vector<Error> errors;
  std::vector<int> closes;
  std::vector<const Connection*> closed; // in the order of closes
  std::vector<Received> messages;
  std::vector<std::string> calls;
  std::function<void(const std::shared_ptr<Connection>&, const std::string&)> on_message;
};

} // namespace korva_test
