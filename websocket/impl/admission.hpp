#pragma once
// A new connection and the limit of connections: admit() counts it when it is accepted, or marks
// it to wait for its handshake when the limit is reached; let_in() then decides, by the client's
// address, whether another address makes room for it (impl/read_request.hpp answers it 503
// otherwise). The open connections by address are kept in address_shares, entered by report_open
// and taken out by retire().

#include "websocket/handshake.hpp"
#include "websocket/server.hpp"

#include <boost/asio/write.hpp>

#include <cstring>

namespace KorvaWeb {

template <class socket_type>
std::shared_ptr<typename SocketServerBase<socket_type>::Connection> SocketServerBase<socket_type>::new_connection() {
  if (!budget)
    budget = std::make_shared<Budget>(config.memory_budget);
  if (!write_turn)
    write_turn = std::make_shared<WriteTurn>(io_service->get_executor());
  if (!handover)
    handover = std::make_shared<Handover<Connection>>(io_service->get_executor(), config.handover_reserve,
                                                      handler_runner, on_broadcasts_dropped);
  auto connection = std::make_shared<Connection>(handler_runner, config.timeout_idle, *io_service);
  connection->send_queue.start_in(write_turn);
  connection->timeout_close = config.timeout_close;
  connection->timeout_message = config.timeout_message;
  connection->send_queue.frames.high_water = config.send_queue_high_water;
  connection->send_queue.frames.limit = config.send_queue_limit;
  // The kernel keeps twice the size asked for, and may take one more segment of up to 64 KiB.
  if (config.send_buffer_size > 0)
    connection->send_queue.frames.sent_allowance = 2 * static_cast<std::size_t>(config.send_buffer_size) + 64 * 1024;
  return connection;
}

// Beyond the limit, connections that made room for another address and are still ending count
// too: at most max_refusals of those and as many waiting for their handshake, so that the sockets
// stay bounded however fast clients come.
template <class socket_type>
bool SocketServerBase<socket_type>::admit(const std::shared_ptr<Connection>& connection) {
  connection->budget = budget;
  if (config.max_connections != 0 && budget->connections() >= config.max_connections) {
    if (budget->connections() >= config.max_connections + max_refusals)
      return false;
    return budget->refuse(*connection, max_refusals);
  }
  budget->open(*connection);
  if (budget->limit() != 0)
    connection->send_queue.frames.count_against(*budget, *connection);
  return true;
}

// Called once the request head is in: a connection accepted at the limit comes in when its
// address holds fewer connections than the address holding the most. The oldest connection of
// that address then makes room: on_error hears error::room_for_other_address, the client gets
// close 1013 "try again later", and on_close follows, as for a message too big. False: the
// newcomer is to be answered 503.
template <class socket_type>
bool SocketServerBase<socket_type>::let_in(const std::shared_ptr<Connection>& connection) {
  if (!connection->refused())
    return true;
  const auto room = address_shares.to_make_room_for(client_address(connection->header));
  if (!room.connection)
    return false;
  auto making_room = room.connection->shared_from_this();
  refuse_frame(making_room, *room.endpoint, error::room_for_other_address);
  budget->admit_refused(*connection);
  if (budget->limit() != 0)
    connection->send_queue.frames.count_against(*budget, *connection);
  return true;
}

// "503 Service Unavailable", then the socket is closed (a front end passes the answer on, where a
// dropped connection would leave its browser waiting).
template <class socket_type>
void SocketServerBase<socket_type>::answer_unavailable(const std::shared_ptr<Connection>& connection) {
  connection->set_timeout(config.timeout_request);
  boost::asio::async_write(*connection->socket,
                           boost::asio::buffer(service_unavailable_response, std::strlen(service_unavailable_response)),
                           [connection](const boost::system::error_code&, std::size_t) {
                             auto guard = connection->handler_runner->acquire();
                             if (!guard)
                               return;
                             connection->cancel_timeout();
                             connection->close_socket();
                           });
}

} // namespace KorvaWeb
