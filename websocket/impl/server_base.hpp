#pragma once
// Definitions of SocketServerBase's operations. Included by server.cpp, which instantiates them
// for TCP sockets, and by test doubles that instantiate them for other stream types. This file
// holds the server's lifecycle (start, stop, an orderly shutdown); the connection's road is in
//   impl/admission.hpp        a new connection and the limit of connections
//   impl/read_request.hpp     the opening handshake
//   impl/read_socket.hpp      reading a socket
//   impl/read_frames.hpp      the frame reader's loop
//   impl/dispatch_frame.hpp   acting on a frame: a message, a ping, a pong, a close
//   impl/closing.hpp          the end of a connection: report_close, report_error
//   impl/connection_list.hpp  snapshots of the open connections for other threads, and broadcasts
//
// Every completion handler holds its connection through a shared_ptr and first takes the
// handler_runner guard, returning at once if it is refused.
//
// One connection's road:
//   accept -> admit -> read_request (request timer) -> answer_handshake (request timer) ->
//   report_open -> read_frame -> FrameReader::take -> act_on_frame -> ... (more frames, or a read
//   and back) ... -> report_close (close frame, refused frame, room made for another address) or
//   report_error (read failure, a cut) -> close timer
//
// The whole road runs on the one event-loop thread, as do the send queue's tasks; other threads
// only take snapshots (get_connections, get_connection_list) and call a connection's send().

#include "websocket/handshake.hpp"
#include "websocket/server.hpp"
#include "websocket/tcp_socket.hpp"

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
  if (handover)
    handover->close(); // broadcasts not taken yet, and threads waiting to hand one over
  if (budget)
    budget->on_quiet(nullptr);
  quiet_timer.reset(); // timers go before their event loop
  shutdown_timer.reset();
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
  // Accepted sockets take the buffer sizes over from the listener from the start (their window).
  detail::set_buffer_sizes(*acceptor, config);
  bound_port_ = acceptor->local_endpoint().port();

  accept();

  if (!owns_io_service)
    return;
  threads.clear();
  if (config.thread_pool_size > 0)
    io_service->run();
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
  if (!budget || budget->connections() + budget->evicted() == 0 || std::chrono::steady_clock::now() >= deadline) {
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

} // namespace KorvaWeb

#include "websocket/impl/admission.hpp"
#include "websocket/impl/closing.hpp"
#include "websocket/impl/connection_list.hpp"
#include "websocket/impl/read_frames.hpp"
#include "websocket/impl/read_request.hpp"
#include "websocket/impl/read_socket.hpp"
