#pragma once
// The open connections by client address, so that the limit of connections is shared fairly
// between addresses: at the limit, a newcomer is let in when its address holds fewer connections
// than the address that holds the most, whose oldest connection then makes room for it. One
// process (or one front end's worth of addresses) can thus not keep the clients of another address
// out. The address is the one the server knows (client_address: X-Real-IP, else X-Forwarded-For,
// else empty), so all direct clients share the empty address.
//
// Threads: the event loop's one thread only. A connection is entered when it opens and taken out
// when it is reported ended, so every entry is alive.

#include <cstddef>
#include <deque>
#include <string>
#include <unordered_map>
#include <utility>

namespace KorvaWeb {

template <class Connection, class Endpoint>
class AddressShares {
public:
  struct Entry {
    Connection* connection = nullptr;
    Endpoint* endpoint = nullptr;
  };

  void add(Connection& connection, Endpoint& endpoint, std::string address) {
    by_address_[address].push_back(Entry{&connection, &endpoint});
    address_of_.emplace(&connection, std::move(address));
  }

  void remove(const Connection& connection) {
    const auto found = address_of_.find(&connection);
    if (found == address_of_.end())
      return;
    auto entries = by_address_.find(found->second);
    auto& list = entries->second;
    for (auto entry = list.begin(); entry != list.end(); ++entry)
      if (entry->connection == &connection) {
        list.erase(entry);
        break;
      }
    if (list.empty())
      by_address_.erase(entries);
    address_of_.erase(found);
  }

  std::size_t count(const std::string& address) const {
    const auto found = by_address_.find(address);
    return found == by_address_.end() ? 0 : found->second.size();
  }

  // The oldest connection of the address that holds the most, when that is more than `address`
  // holds; none otherwise.
  Entry to_make_room_for(const std::string& address) const {
    const std::deque<Entry>* fullest = nullptr;
    for (const auto& entry : by_address_)
      if (!fullest || entry.second.size() > fullest->size())
        fullest = &entry.second;
    if (!fullest || fullest->size() <= count(address))
      return {};
    return fullest->front();
  }

  void clear() noexcept {
    by_address_.clear();
    address_of_.clear();
  }

private:
  std::unordered_map<std::string, std::deque<Entry>> by_address_; // in the order they opened
  std::unordered_map<const Connection*, std::string> address_of_;
};

} // namespace KorvaWeb
