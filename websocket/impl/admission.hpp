#pragma once
// A new connection and the limit of connections (config.max_connections).
//
//   under the limit    admit() gives the connection its place at once; it counts among the
//                      connections from its accept to its end, its handshake included, under the
//                      "no address yet" key of address_shares until its request head is in
//   at the limit       it waits for its request head beyond the limit (at most max_waiting);
//                      once they are all taken and one of them still has its head to come, a
//                      newcomer is taken on trial (at most max_on_trial, the oldest making room
//                      for a newer one), with trial_seconds for its head
//   head complete      let_in() decides by the client's address: when an address (or the "no
//                      address yet" key) holds at least two more connections than the newcomer's,
//                      its oldest gives way and the newcomer takes its place; otherwise the
//                      newcomer is answered 503, in its waiting place (one on trial takes the
//                      place of the oldest head still waiting, which is dropped)
//   giving way         an open connection gets close 1013 "try again later" (on_error, then
//                      on_close, as for a message too big), one still in its handshake is closed;
//                      either stops counting among the connections at once, and ends within
//                      timeout_close seconds whatever its client does. At most max_given_way of
//                      them are ending at once: beyond that the oldest is reset.
//
// So the sockets stay bounded however clients come (max_connections + max_waiting + max_on_trial
// + max_given_way), and clients that hold one connection each never push each other out.

#include "websocket/handshake.hpp"
#include "websocket/server.hpp"

#include <boost/asio/write.hpp>

#include <cstring>

namespace KorvaWeb {

namespace detail {
// Live connections in `list`, the gone ones dropped (a weak reference keeps the storage of a
// connection made with make_shared).
template <class Connection>
std::size_t live(std::deque<std::weak_ptr<Connection>>& list) {
  for (auto entry = list.begin(); entry != list.end();)
    entry = entry->expired() ? list.erase(entry) : std::next(entry);
  return list.size();
}
} // namespace detail

template <class socket_type>
std::shared_ptr<typename SocketServerBase<socket_type>::Connection> SocketServerBase<socket_type>::new_connection() {
  if (!budget) {
    budget = std::make_shared<Budget>(config.memory_budget, // stalled: slower than the message time-out
                                      config.timeout_message != 0 ? config.timeout_message : 5);
    // After a flood, a few quiet seconds send the freed memory back to the system.
    budget->on_quiet([this] {
      try {
        if (!quiet_timer)
          quiet_timer.reset(new QuietTimer(io_service->get_executor()));
        quiet_timer->expires_after(Budget::quiet_after);
        quiet_timer->async_wait([budget = budget](const boost::system::error_code& ec) {
          if (!ec)
            budget->return_if_quiet();
        });
      } catch (...) {
        // Out of memory for a timer: the memory goes back at the next halving instead.
      }
    });
  }
  if (!write_turn)
    write_turn = std::make_shared<WriteTurn>(io_service->get_executor());
  if (!handover)
    handover = std::make_shared<Handover<Connection>>(io_service->get_executor(), config.handover_reserve,
                                                      handler_runner, on_broadcasts_dropped);
  auto connection = std::make_shared<Connection>(handler_runner, config.timeout_idle, *io_service);
  connection->send_queue.start_in(write_turn);
  connection->limits.timeout_close = config.timeout_close;
  connection->limits.timeout_message = config.timeout_message;
  connection->send_queue.frames.high_water = config.send_queue_high_water;
  connection->send_queue.frames.limit = config.send_queue_limit;
  // The kernel keeps twice the size asked for, and may take one more segment of up to 64 KiB.
  if (config.send_buffer_size > 0)
    connection->send_queue.frames.sent_allowance = 2 * static_cast<std::size_t>(config.send_buffer_size) + 64 * 1024;
  return connection;
}

template <class socket_type>
bool SocketServerBase<socket_type>::admit(const std::shared_ptr<Connection>& connection) {
  connection->limits.budget = budget;
  if (config.max_connections == 0 || budget->connections() < config.max_connections) {
    take_place(connection);
    return true;
  }
  if (detail::live(waiting_) < max_waiting) {
    connection->place = Place::waiting;
    waiting_.push_back(connection);
    return true;
  }
  bool head_to_come = false; // a waiting head that a complete one may displace
  for (const auto& waiting : waiting_)
    if (auto alive = waiting.lock())
      head_to_come = head_to_come || !alive->head_complete;
  if (!head_to_come)
    return false; // every waiting place is answering 503 already
  if (detail::live(on_trial_) == max_on_trial) {
    if (auto oldest = on_trial_.front().lock())
      oldest->close_socket();
    on_trial_.pop_front();
  }
  connection->place = Place::on_trial;
  on_trial_.push_back(connection);
  return true;
}

// The connection holds its place under the limit of connections from now on.
template <class socket_type>
void SocketServerBase<socket_type>::take_place(const std::shared_ptr<Connection>& connection) {
  connection->place = Place::held;
  budget->open(connection->limits);
  if (budget->limit() != 0)
    connection->send_queue.frames.count_against(*budget, connection->limits);
  if (config.max_connections != 0)
    address_shares.add(connection);
}

// Called once the request head is in and the handshake would be answered: see the top of this
// file. Verdict::dropped: the connection is to be dropped without an answer.
template <class socket_type>
typename SocketServerBase<socket_type>::Verdict
SocketServerBase<socket_type>::let_in(const std::shared_ptr<Connection>& connection) {
  const std::string address = client_address(connection->header);
  if (connection->place == Place::held) {
    if (config.max_connections != 0)
      address_shares.learn(*connection, address);
    return Verdict::in;
  }
  const auto giver = address_shares.to_make_room_for(address);
  if (auto giving_way = giver.connection.lock()) {
    give_way(giving_way, giver.endpoint);
    leave_waiting(connection);
    take_place(connection);
    address_shares.learn(*connection, address);
    return Verdict::in;
  }
  if (connection->place == Place::on_trial) { // a waiting place for its 503: the oldest head to come
    std::shared_ptr<Connection> displaced;
    for (const auto& waiting : waiting_)
      if (auto alive = waiting.lock())
        if (!alive->head_complete) {
          displaced = alive;
          break;
        }
    if (!displaced)
      return Verdict::dropped;
    leave_waiting(displaced);
    displaced->close_socket();
    leave_waiting(connection);
    connection->place = Place::waiting;
    waiting_.push_back(connection);
  }
  return Verdict::unavailable;
}

// A waiting connection, or one on trial, leaves its place beyond the limit.
template <class socket_type>
void SocketServerBase<socket_type>::leave_waiting(const std::shared_ptr<Connection>& connection) {
  auto& list = connection->place == Place::on_trial ? on_trial_ : waiting_;
  for (auto entry = list.begin(); entry != list.end(); ++entry)
    if (entry->lock() == connection) {
      list.erase(entry);
      return;
    }
}

// The oldest connection of an address that holds too many gives way to a newcomer: see the top of
// this file.
template <class socket_type>
void SocketServerBase<socket_type>::give_way(const std::shared_ptr<Connection>& connection, Endpoint* endpoint) {
  budget->evict(connection->limits);
  connection->place = Place::given_way;
  if (!endpoint) { // still in its handshake: dropped without an answer
    address_shares.remove(*connection, client_address(connection->header));
    connection->close_socket();
    return;
  }
  boost::system::error_code ignored;
  connection->socket->cancel(ignored); // its reader, waiting for the client, stops
  refuse_frame(connection, *endpoint, error::room_for_other_address);
  if (detail::live(given_way_) == max_given_way) {
    if (auto oldest = given_way_.front().lock())
      oldest->cut(error::close_timeout);
    given_way_.pop_front();
  }
  given_way_.push_back(connection);
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
