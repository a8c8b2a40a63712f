#pragma once
// Snapshots of the open connections, for the threads that push to them: get_connections() and the
// kept list of get_connection_list(), made again only after a connection opened or ended; and
// broadcast(), which sends one payload to a snapshot.

#include "websocket/server.hpp"

namespace KorvaWeb {

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

// A snapshot holds at least one connection once a connection has been made, and with it the
// hand-over (new_connection()).
template <class socket_type>
void SocketServerBase<socket_type>::broadcast(std::shared_ptr<const ConnectionList> connections,
                                              std::shared_ptr<SendStream> payload, SendCallback callback,
                                              WhenFull when_full, unsigned char fin_rsv_opcode) {
  if (connections->empty())
    return;
  if (connections->front()->executor.running_in_this_thread()) {
    for (const auto& connection : *connections)
      connection->send(payload, callback, fin_rsv_opcode);
    return;
  }
  handover->hand_over({std::move(connections), std::move(payload), std::move(callback), fin_rsv_opcode}, when_full);
}

} // namespace KorvaWeb
