#pragma once
// Snapshots of the open connections, for the threads that push to them: get_connections() and the
// kept list of get_connection_list(), made again only after a connection opened or ended.

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

} // namespace KorvaWeb
