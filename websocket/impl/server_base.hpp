#pragma once
// Definitions of SocketServerBase's operations. Included by server.cpp, which instantiates them
// for TCP sockets, and by test doubles that instantiate them for other stream types. This file
// holds the server's lifecycle and the reading of a socket; the connection's road is in
//   impl/read_request.hpp  the opening handshake
//   impl/read_frames.hpp   frames, and the answers the reader itself sends (pong, close)
//   impl/closing.hpp       the end of a connection: report_close, report_error
//
// Every completion handler holds its connection through a shared_ptr and first takes the
// handler_runner guard, returning at once if it is refused.
//
// One connection's road:
//   accept -> read_request (request timer) -> answer_handshake (request timer) -> report_open
//   -> read_frame -> take_frame -> dispatch_frame -> ... (more frames, or read_more and back)
//   ... -> report_close (close frame, unmasked frame, too big) or report_error (read failure,
//   send queue over its limit) -> close timer
//
// The whole road runs on the one event-loop thread, as do the send queue's tasks; other threads
// only take snapshots (get_connections, get_connection_list) and call a connection's send().

#include "websocket/handshake.hpp"
#include "websocket/server.hpp"

#include <boost/asio/ip/address.hpp>
#include <boost/system/system_error.hpp>

#include <algorithm>
#include <cerrno>
#include <stdexcept>

namespace KorvaWeb {

template <class socket_type>
SocketServerBase<socket_type>::~SocketServerBase() {
  handler_runner.reset();
  threads.clear();
  acceptor.reset();
  // Connections still in the endpoints' sets own sockets and timers made on the event loop; they
  // go before the loop does, so that none of them is destroyed after it.
  for (auto& entry : endpoints) {
    std::lock_guard<std::mutex> lock(entry.second.connections_mutex);
    entry.second.connections.clear();
  }
  io_service.reset();
}

template <class socket_type>
void SocketServerBase<socket_type>::start() {
  if (config.thread_pool_size > 1)
    throw std::invalid_argument("thread_pool_size " + std::to_string(config.thread_pool_size) +
                                ": the server runs its event loop on one thread; use 1 (or 0 to run "
                                "a loop of your own)");
  if (!io_service) {
    io_service = std::make_shared<boost::asio::io_context>(1); // run by one thread
    owns_io_service = true;
  }
  if (io_service->stopped())
    io_service->restart();

  boost::asio::ip::tcp::endpoint endpoint;
  if (!config.address.empty())
    endpoint = boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address(config.address), config.port);
  else
    endpoint = boost::asio::ip::tcp::endpoint(boost::asio::ip::tcp::v4(), config.port);

  if (!acceptor)
    acceptor.reset(new boost::asio::ip::tcp::acceptor(*io_service));
  acceptor->open(endpoint.protocol());
  acceptor->set_option(boost::asio::socket_base::reuse_address(config.reuse_address));
  acceptor->bind(endpoint);
  acceptor->listen(128);
  bound_port_ = acceptor->local_endpoint().port();

  accept();

  if (!owns_io_service)
    return;
  threads.clear();
  if (config.thread_pool_size > 0)
    io_service->run();
}

template <class socket_type>
std::shared_ptr<typename SocketServerBase<socket_type>::Connection> SocketServerBase<socket_type>::new_connection() {
  auto connection = std::make_shared<Connection>(handler_runner, config.timeout_idle, *io_service);
  connection->timeout_close = config.timeout_close;
  connection->send_queue.high_water = config.send_queue_high_water;
  connection->send_queue.limit = config.send_queue_limit;
  return connection;
}

template <class socket_type>
void SocketServerBase<socket_type>::stop() {
  if (io_service)
    io_service->stop();
}

template <class socket_type>
std::unordered_set<std::shared_ptr<typename SocketServerBase<socket_type>::Connection>>
SocketServerBase<socket_type>::get_connections() {
  const auto list = get_connection_list();
  return std::unordered_set<std::shared_ptr<Connection>>(list.begin(), list.end());
}

// Takes each endpoint's lock in turn, never two at once, and releases it before the next.
template <class socket_type>
std::vector<std::shared_ptr<typename SocketServerBase<socket_type>::Connection>>
SocketServerBase<socket_type>::get_connection_list() {
  std::vector<std::shared_ptr<Connection>> all;
  for (auto& entry : endpoints) {
    std::lock_guard<std::mutex> lock(entry.second.connections_mutex);
    all.insert(all.end(), entry.second.connections.begin(), entry.second.connections.end());
  }
  return all;
}

// --- Reading the socket ------------------------------------------------------------------------
//
// The socket is non-blocking. A read takes everything it holds, up to the room that the input
// buffer offers (a chunk, or what the frame being read still needs, at most `limit` bytes), and
// then calls next(error, drained). `drained` says that the socket had nothing more: the next read
// then waits for the socket to become readable before it reads. Otherwise the next read goes
// ahead at once, because the readiness may have been signalled while nobody waited for it (the
// reader paused, or other work came in between); it is posted, so that a client that keeps its
// socket full cannot hold the event loop.

template <class socket_type>
template <class Next>
void SocketServerBase<socket_type>::read_more(const std::shared_ptr<Connection>& connection, std::size_t wanted,
                                              std::size_t limit, bool drained, Next next) {
  auto read = [this, connection, wanted, limit, next = std::move(next)](const boost::system::error_code& ec) mutable {
    auto guard = connection->handler_runner->acquire();
    if (!guard)
      return;
    if (ec) {
      next(ec, false);
      return;
    }
    read_available(connection, wanted, limit, std::move(next));
  };
  if (drained)
    connection->socket->async_wait(socket_type::wait_read, std::move(read));
  else
    boost::asio::post(connection->socket->get_executor(),
                      [read = std::move(read)]() mutable { read(boost::system::error_code()); });
}

template <class socket_type>
template <class Next>
void SocketServerBase<socket_type>::read_available(const std::shared_ptr<Connection>& connection, std::size_t wanted,
                                                   std::size_t limit, Next next) {
  std::size_t room = 0;
  unsigned char* space = connection->input_buffer.prepare(wanted, room);
  room = std::min(room, limit);
  boost::system::error_code ec;
  std::size_t bytes = connection->socket->read_some(boost::asio::buffer(space, room), ec);
  if (ec == boost::asio::error::would_block || ec == boost::asio::error::try_again) {
    connection->input_buffer.release(wanted); // nothing came: no storage held while waiting
    read_more(connection, wanted, limit, true, std::move(next));
    return;
  }
  if (ec) {
    next(ec, false);
    return;
  }
  connection->input_buffer.commit(bytes);
  next(ec, bytes < room);
}

} // namespace KorvaWeb

#include "websocket/impl/closing.hpp"
#include "websocket/impl/read_frames.hpp"
#include "websocket/impl/read_request.hpp"
