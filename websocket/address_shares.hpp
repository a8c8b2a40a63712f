#pragma once
// The connections that hold a place under the limit of connections, by client address, so that
// the limit is shared fairly: at the limit, a newcomer whose request head is complete comes in
// when an address holds at least two more connections than the newcomer's own, and that address's
// oldest connection gives way. Addresses holding one connection each never push each other out,
// so a client cannot take a console's last connection by sending new addresses (X-Real-IP is
// whatever a local process writes), and one process, or one front end's worth of addresses,
// cannot keep the clients of another address out either.
//
// The address is the one the server knows (client_address: X-Real-IP, else X-Forwarded-For, else
// empty, which all direct clients share). A connection whose request head is not complete yet has
// no address: those share the "no address yet" key, so that heads dripped in slowly give way like
// any address that holds too many.
//
// Threads: the event loop's one thread only. Entries hold their connections weakly: a connection
// dropped during its handshake goes without telling, and is left out from then on; the server
// takes out those that end otherwise, with the key they were entered under.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <unordered_map>

namespace KorvaWeb {

template <class Connection, class Endpoint>
class AddressShares {
public:
  struct Entry {
    std::weak_ptr<Connection> connection;
    Endpoint* endpoint = nullptr; // once it is open
    std::uint64_t order = 0;      // when it was accepted: lower is older
  };

  // An accepted connection, without its address yet.
  void add(const std::shared_ptr<Connection>& connection) {
    while (!unknown_.empty() && unknown_.front().connection.expired())
      unknown_.pop_front();
    unknown_.push_back(Entry{connection, nullptr, ++accepted_});
  }

  // Its request head is complete: it counts for `address` from now on, as old as it was.
  void learn(const Connection& connection, const std::string& address) {
    Entry entry = take(unknown_, connection);
    if (!entry.connection.expired())
      insert_in_order(by_address_[address], std::move(entry));
  }

  // It has opened on `endpoint` (a connection that gives way then gets its close frame).
  void opened(const Connection& connection, const std::string& address, Endpoint& endpoint) {
    const auto list = by_address_.find(address);
    if (list != by_address_.end())
      for (Entry& entry : list->second)
        if (entry.connection.lock().get() == &connection)
          entry.endpoint = &endpoint;
  }

  // It holds its place no more; `address` is its client's (whether it was learnt yet or not).
  void remove(const Connection& connection, const std::string& address) {
    take(unknown_, connection);
    const auto list = by_address_.find(address);
    if (list == by_address_.end())
      return;
    take(list->second, connection);
    if (list->second.empty())
      by_address_.erase(list);
  }

  // Connections of `address` that are still alive.
  std::size_t count(const std::string& address) {
    const auto found = by_address_.find(address);
    return found == by_address_.end() ? 0 : prune(found->second).size();
  }

  // The connection that gives way to a newcomer of `address`: the oldest of the address that
  // holds the most, the "no address yet" key included, when that is at least two more than
  // `address` holds; among addresses that hold as many, the one whose oldest connection is oldest.
  // None otherwise.
  Entry to_make_room_for(const std::string& address) {
    const std::size_t needed = count(address) + 2;
    const std::deque<Entry>* giver = nullptr;
    auto consider = [&](const std::deque<Entry>& list) {
      if (list.size() < needed)
        return;
      if (!giver || list.size() > giver->size() ||
          (list.size() == giver->size() && list.front().order < giver->front().order))
        giver = &list;
    };
    consider(prune(unknown_));
    for (auto& entry : by_address_)
      if (entry.first != address)
        consider(prune(entry.second));
    return giver ? giver->front() : Entry{};
  }

  void clear() noexcept {
    unknown_.clear();
    by_address_.clear();
  }

private:
  // Takes the connection's entry out of `list`, and with it every entry of a connection that has
  // gone (a weak reference keeps the storage of a connection made with make_shared).
  Entry take(std::deque<Entry>& list, const Connection& connection) {
    Entry taken;
    for (auto entry = list.begin(); entry != list.end();) {
      const auto alive = entry->connection.lock();
      if (alive && alive.get() != &connection) {
        ++entry;
        continue;
      }
      if (alive)
        taken = std::move(*entry);
      entry = list.erase(entry);
    }
    return taken;
  }

  static void insert_in_order(std::deque<Entry>& list, Entry entry) {
    auto at = list.end();
    while (at != list.begin() && std::prev(at)->order > entry.order)
      --at;
    list.insert(at, std::move(entry));
  }

  // Drops the entries of connections that have gone.
  std::deque<Entry>& prune(std::deque<Entry>& list) {
    for (auto entry = list.begin(); entry != list.end();)
      if (entry->connection.expired()) {
        entry = list.erase(entry);
      } else {
        ++entry;
      }
    return list;
  }

  std::deque<Entry> unknown_; // in the order they were accepted
  std::unordered_map<std::string, std::deque<Entry>> by_address_;
  std::uint64_t accepted_ = 0;
};

} // namespace KorvaWeb
