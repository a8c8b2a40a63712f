#pragma once
// Sending one text to every open connection, and the completion callbacks of the service's
// sends. A failed send is only ever logged on standard error: nothing closes the connection
// or retries.

#include "websocket/server.hpp"

#include <boost/system/error_code.hpp>

#include <cstdint>
#include <string>

namespace korva {

// Queues `data` as one text frame on every connection open at the moment of the call; the
// writes happen later on the event loop. Safe to call from any thread. From a thread other than
// the loop's, the broadcast is handed to the loop as one piece, which may wait while the loop is
// held up and the hand-over's reserve is full, or drop the oldest pushes not yet handed to the
// connections (`when_full`, KorvaWeb::SocketServer::broadcast()).
void push_data_to_active_connections(KorvaWeb::SocketServer& server, const std::string& data,
                                     KorvaWeb::WhenFull when_full = KorvaWeb::WhenFull::wait);

// The server's report of broadcasts dropped while the event loop was held up: one entry on
// standard error.
void log_dropped_pushes(std::uint64_t dropped);

// Completion of the answer to a request.
void answer_send_callback(const boost::system::error_code& error);
// Completion of a frame sent by push_data_to_active_connections.
void broadcast_send_callback(const boost::system::error_code& error);
// Completion of a follow-up notification to the connection whose object address is `connection_id`.
KorvaWeb::SendCallback notification_send_callback(unsigned long connection_id);

// The address of a connection object as a number, as the notification error entry prints it.
template <class Connection>
unsigned long connection_id(const Connection* connection) noexcept {
  return static_cast<unsigned long>(reinterpret_cast<std::uintptr_t>(connection));
}

} // namespace korva
