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
  connections_changed(); // the kept list, too
  if (write_turn)
    write_turn->clear(); // queues whose writing has not started yet
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
  if (!acceptor->is_open()) { // else a socket listening already (one the process was handed) is taken as it is
    acceptor->open(endpoint.protocol());
    acceptor->set_option(boost::asio::socket_base::reuse_address(config.reuse_address));
    acceptor->bind(endpoint);
    acceptor->listen(128);
  }
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
  if (!budget)
    budget = std::make_shared<Budget>(config.memory_budget);
  if (!write_turn)
    write_turn = std::make_shared<WriteTurn>(io_service->get_executor());
  auto connection = std::make_shared<Connection>(handler_runner, config.timeout_idle, *io_service);
  connection->send_queue.start_in(write_turn);
  connection->timeout_close = config.timeout_close;
  connection->timeout_message = config.timeout_message;
  connection->send_queue.high_water = config.send_queue_high_water;
  connection->send_queue.limit = config.send_queue_limit;
  // The kernel keeps twice the size asked for, for its own bookkeeping beside the data.
  connection->send_queue.socket_allowance = 2 * static_cast<std::size_t>(config.socket_buffer_size);
  return connection;
}

template <class socket_type>
bool SocketServerBase<socket_type>::admit(const std::shared_ptr<Connection>& connection) {
  connection->budget = budget;
  if (config.max_connections != 0 && budget->connections() >= config.max_connections)
    return budget->refuse(*connection, max_refusals);
  budget->open(*connection);
  if (budget->limit() != 0)
    connection->send_queue.count_against(*budget, *connection);
  return true;
}

template <class socket_type>
void SocketServerBase<socket_type>::stop() {
  if (io_service)
    io_service->stop();
}

template <class socket_type>
void SocketServerBase<socket_type>::shutdown(int status, const std::string& reason, std::chrono::milliseconds grace) {
  if (!io_service)
    return;
  boost::asio::post(*io_service, [this, status, reason, grace] {
    if (acceptor) {
      boost::system::error_code ignored;
      acceptor->close(ignored); // the pending accept ends as aborted and posts no other
    }
    // A connection whose handshake is still under way gets its close once it has opened.
    stop_close.emplace(status, reason);
    for (const auto& connection : *get_connection_list())
      connection->send_close(status, reason);
    end_when_closed(std::chrono::steady_clock::now() + grace);
  });
}

// Every accepted connection has ended (connections in the middle of their handshake included),
// or the time is up.
template <class socket_type>
void SocketServerBase<socket_type>::end_when_closed(std::chrono::steady_clock::time_point deadline) {
  if (!budget || budget->connections() == 0 || std::chrono::steady_clock::now() >= deadline) {
    io_service->stop();
    return;
  }
  if (!shutdown_timer)
    shutdown_timer.reset(new boost::asio::steady_timer(*io_service));
  shutdown_timer->expires_after(std::chrono::milliseconds(10));
  shutdown_timer->async_wait([this, deadline](const boost::system::error_code& ec) {
    if (!ec)
      end_when_closed(deadline);
  });
}

template <class socket_type>
std::unordered_set<std::shared_ptr<typename SocketServerBase<socket_type>::Connection>>
SocketServerBase<socket_type>::get_connections() {
  const auto list = get_connection_list();
  return std::unordered_set<std::shared_ptr<Connection>>(list->begin(), list->end());
}

// Takes each endpoint's lock in turn, never two at once, and releases it before the next; the list
// is kept only when no connection opened or ended while it was being made.
template <class socket_type>
std::shared_ptr<const typename SocketServerBase<socket_type>::ConnectionList>
SocketServerBase<socket_type>::get_connection_list() {
  std::uint64_t changes = 0;
  {
    std::lock_guard<std::mutex> lock(connection_list_mutex);
    if (connection_list)
      return connection_list;
    changes = connection_changes;
  }
  auto all = std::make_shared<ConnectionList>();
  for (auto& entry : endpoints) {
    std::lock_guard<std::mutex> lock(entry.second.connections_mutex);
    all->insert(all->end(), entry.second.connections.begin(), entry.second.connections.end());
  }
  std::lock_guard<std::mutex> lock(connection_list_mutex);
  if (changes == connection_changes)
    connection_list = all;
  return all;
}

template <class socket_type>
void SocketServerBase<socket_type>::connections_changed() {
  std::shared_ptr<const ConnectionList> outdated; // let go of after the lock
  std::lock_guard<std::mutex> lock(connection_list_mutex);
  ++connection_changes;
  outdated = std::move(connection_list);
}

// --- Reading the socket ------------------------------------------------------------------------
//
// The socket is non-blocking, and each read takes what it holds at once. With `drained` (the last
// read found it empty) the next read waits until the socket becomes readable; otherwise it goes
// ahead at once, because the readiness may have been signalled while nobody waited for it (the
// reader paused, or other work came in between). Either way the read runs in a handler of its
// own, so that a client that keeps its socket full cannot hold the event loop.

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
    if (!connection->count_reading()) {
      next(connection->failure(), false); // the budget cut this connection
      return;
    }
    room = std::min(room, limit);
    boost::system::error_code read_error;
    const std::size_t bytes = connection->socket->read_some(boost::asio::buffer(space, room), read_error);
    if (read_error == boost::asio::error::would_block || read_error == boost::asio::error::try_again) {
      buffer.release(wanted); // nothing came: no storage held while waiting
      connection->count_reading();
      read_more(connection, wanted, limit, true, std::move(next));
      return;
    }
    if (read_error) {
      next(read_error, false);
      return;
    }
    buffer.commit(bytes);
    connection->progress();
    next(read_error, bytes < room);
  });
}

} // namespace KorvaWeb

#include "websocket/impl/closing.hpp"
#include "websocket/impl/read_frames.hpp"
#include "websocket/impl/read_request.hpp"
