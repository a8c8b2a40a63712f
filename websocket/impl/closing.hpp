#pragma once
// The end of a connection as far as the server is concerned: report_close and report_error take
// it out of its endpoint's set and tell the application. Neither touches the socket: frames
// already queued (a close frame among them) are still written. From the report on, the close
// timer (connection_limits.hpp) keeps the connection until it has ended: in order, with a FIN, once its
// client has taken every byte; with a reset once its client has taken nothing for timeout_close
// seconds.

#include "websocket/server.hpp"

namespace KorvaWeb {

// What report_close and report_error share: the close timer starts, and the connection leaves its
// endpoint's set (the lock is held for the removal only, never while a handler runs).
template <class socket_type>
void SocketServerBase<socket_type>::retire(const std::shared_ptr<Connection>& connection, Endpoint& endpoint) {
  if (!connection->reported) {
    // The close timer looks again whenever the queue goes idle, and once when the client sends
    // anything more (its own close, or the end of its stream, most often) instead of waiting for
    // its next look.
    connection->send_queue.when_idle([](const std::shared_ptr<void>& owner) {
      static_cast<Connection*>(owner.get())->limits.look_at_close();
    });
    std::weak_ptr<Connection> weak = connection;
    connection->socket->async_wait(socket_type::wait_read, [weak](const boost::system::error_code& ec) {
      auto closing = weak.lock();
      if (!ec && closing)
        closing->limits.look_at_close();
    });
    connection->limits.start_close_timer(connection->place == Place::given_way);
  }
  connection->reported = true;
  address_shares.remove(*connection, client_address(connection->header));
  {
    std::lock_guard<std::mutex> lock(endpoint.connections_mutex);
    endpoint.connections.erase(connection);
  }
  connections_changed();
}

template <class socket_type>
void SocketServerBase<socket_type>::report_close(const std::shared_ptr<Connection>& connection, Endpoint& endpoint,
                                                 int status, const std::string& reason) {
  retire(connection, endpoint);
  if (endpoint.on_close)
    endpoint.on_close(connection, status, reason);
}

template <class socket_type>
void SocketServerBase<socket_type>::report_error(const std::shared_ptr<Connection>& connection, Endpoint& endpoint,
                                                 const boost::system::error_code& error) {
  retire(connection, endpoint);
  if (endpoint.on_error)
    endpoint.on_error(connection, error);
}

// The reader ends the connection for `failure`: one with a close frame queues it and is reported
// to on_close (a message over the limit, and a connection making room for another address, to
// on_error first); one without (memory the reader could not get) cuts the connection and is
// reported to on_error.
template <class socket_type>
void SocketServerBase<socket_type>::refuse_frame(const std::shared_ptr<Connection>& connection, Endpoint& endpoint,
                                                 error failure) {
  const ClosingFrame closing = closing_frame(failure);
  if (closing.status == 0) {
    connection->cut(failure);
    report_error(connection, endpoint, failure);
    return;
  }
  if (closing.error_first)
    report_error(connection, endpoint, failure);
  connection->send_close(closing.status, closing.reason);
  report_close(connection, endpoint, closing.status, closing.reason);
}

} // namespace KorvaWeb
