#pragma once
// An endpoint: a path pattern with its handlers and its set of open connections.

#include "websocket/message.hpp"

#include <boost/system/error_code.hpp>

#include <functional>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <unordered_set>

namespace KorvaWeb {

// A path pattern (ECMAScript, full match), ordered by its source text. The order is the order in
// which the handshake tries the patterns.
class EndpointPattern {
public:
  // Implicit, so that `endpoints["^/api/?$"]` registers a pattern.
  EndpointPattern(const std::string& text);
  EndpointPattern(const char* text);

  bool operator<(const EndpointPattern& other) const noexcept { return text < other.text; }

  std::regex pattern;
  std::string text;
};

template <class Connection>
class BasicEndpoint {
public:
  // Open connections of this endpoint, guarded by connections_mutex, which is never held while
  // a handler runs.
  std::unordered_set<std::shared_ptr<Connection>> connections;
  std::mutex connections_mutex;

  // Optional handlers; all run on an event-loop thread.
  std::function<void(std::shared_ptr<Connection>)> on_open;
  std::function<void(std::shared_ptr<Connection>, std::shared_ptr<Message>)> on_message;
  std::function<void(std::shared_ptr<Connection>, int status, const std::string& reason)> on_close;
  std::function<void(std::shared_ptr<Connection>, const boost::system::error_code&)> on_error;
  std::function<void(std::shared_ptr<Connection>)> on_ping;
  std::function<void(std::shared_ptr<Connection>)> on_pong;
};

} // namespace KorvaWeb
