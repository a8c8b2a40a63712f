#pragma once
// Reading a connection's socket. The socket is non-blocking, and each read takes what it holds at
// once. With `drained` (the last read found it empty) the next read waits until the socket becomes
// readable; otherwise it goes ahead at once, because the readiness may have been signalled while
// nobody waited for it (the reader paused, or other work came in between). Either way the read
// runs in a handler of its own, so that a client that keeps its socket full cannot hold the event
// loop.

#include "websocket/server.hpp"

#include <boost/asio/post.hpp>

#include <algorithm>

namespace KorvaWeb {

template <class socket_type>
template <class Step>
void SocketServerBase<socket_type>::when_readable(const std::shared_ptr<Connection>& connection, bool drained,
                                                  Step step) {
  auto read = [connection, step = std::move(step)](const boost::system::error_code& ec) mutable {
    auto guard = connection->handler_runner->acquire();
    if (guard)
      step(ec);
  };
  if (drained)
    connection->socket->async_wait(socket_type::wait_read, std::move(read));
  else
    boost::asio::post(connection->executor, [read = std::move(read)]() mutable { read(boost::system::error_code()); });
}

// Reads into the input buffer what the socket holds, up to the room the buffer offers (a chunk,
// or what the frame being read still needs, at most `limit` bytes), then calls next(error,
// drained). The buffer's storage counts against the memory budget; a buffer that nothing came
// into holds none while the reader waits.
template <class socket_type>
template <class Next>
void SocketServerBase<socket_type>::read_more(const std::shared_ptr<Connection>& connection, std::size_t wanted,
                                              std::size_t limit, bool drained, Next next) {
  when_readable(connection, drained, [this, connection, wanted, limit, next = std::move(next)](
                                         const boost::system::error_code& ec) mutable {
    if (ec) {
      next(ec, false);
      return;
    }
    auto& buffer = connection->input_buffer;
    std::size_t room = 0;
    unsigned char* space = buffer.prepare(wanted, room);
    if (!connection->limits.grow()) {
      next(make_error_code(*connection->cut_reason()), false); // the budget cut this connection
      return;
    }
    room = std::min(room, limit);
    boost::system::error_code read_error;
    const std::size_t bytes = connection->socket->read_some(boost::asio::buffer(space, room), read_error);
    if (read_error == boost::asio::error::would_block || read_error == boost::asio::error::try_again) {
      buffer.release_unused(wanted); // nothing came: no storage held while waiting
      connection->limits.settle();
      read_more(connection, wanted, limit, true, std::move(next));
      return;
    }
    if (read_error) {
      next(read_error, false);
      return;
    }
    buffer.commit(bytes);
    next(read_error, bytes < room);
  });
}

} // namespace KorvaWeb
