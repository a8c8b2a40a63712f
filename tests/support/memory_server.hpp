#pragma once
// The server's real connection code over the in-memory stream (tests/support/memory_stream.hpp),
// driven from one thread: the test pushes what a client sends, runs the event loop until nothing
// is ready, and reads back what the server wrote. Used by the library's tests and by the frame
// fuzzer. A binary that includes this instantiates the server for the stream once:
//   namespace KorvaWeb { template class SocketServerBase<korva_test::MemoryStream>; }

#include "tests/support/client_frame.hpp"
#include "tests/support/memory_stream.hpp"
#include "websocket/impl/server_base.hpp"

#include <boost/asio/post.hpp>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace korva_test {

class MemoryServer : public KorvaWeb::SocketServerBase<MemoryStream> {
public:
  MemoryServer() { io_service = std::make_shared<boost::asio::io_context>(1); }
  void accept() override {} // connections are made by connect()

  // A new connection whose opening handshake the server starts to read, on the event loop.
  std::shared_ptr<Connection> connect() {
    auto connection = new_connection();
    connected_.push_back(connection);
    boost::asio::post(*io_service, [this, connection] {
      if (admit(connection))
        read_request(connection);
    });
    return connection;
  }

  // Closes every connection connect() made that is still there, and runs what that sets off: a wait
  // still pending on a stream would keep its connection alive for good (the stream holds the
  // wait's handler, and the connection holds the stream).
  void close_connections() {
    for (const auto& weak : connected_)
      if (auto open_connection = weak.lock())
        boost::asio::post(*io_service, [open_connection] { open_connection->close_socket(); });
    connected_.clear();
    run_until_idle();
  }

  // Runs every ready handler until none is left (a bounded number of rounds).
  void run_until_idle() {
    for (int round = 0; round < 1000000; ++round) {
      if (io_service->stopped())
        io_service->restart();
      if (io_service->poll() == 0)
        break;
    }
  }

  // Moves the connections' clock on by `by`, then runs the time-outs that expired and everything
  // they set off. (The event loop's own timer learns of the new time only when a timer is set
  // that expires before every other, so one is set that has always expired, and waited for.)
  void advance(ManualClock::duration by) {
    ManualClock::advance(by);
    ManualTimer now(*io_service);
    now.expires_at(ManualClock::time_point());
    bool expired = false;
    now.async_wait([&expired](const boost::system::error_code&) { expired = true; });
    if (io_service->stopped())
      io_service->restart();
    while (!expired)
      io_service->run_one();
    run_until_idle();
  }

  // Runs `task` on the event loop and waits for it (the loop's state is touched only there).
  template <class Task>
  void on_loop(Task task) {
    boost::asio::post(*io_service, std::move(task));
    run_until_idle();
  }

private:
  std::vector<std::weak_ptr<Connection>> connected_;
};

} // namespace korva_test
