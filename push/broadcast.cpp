#include "push/broadcast.hpp"

#include "device/device_calls.hpp"
#include "device/device_text.hpp"
#include "device/logger.hpp"

#include <iostream>
#include <memory>

namespace korva {

namespace {
// Pieces shared by the three error entries: "Error: category:value, error message: text".
void log_send_error(Logger& entry, const boost::system::error_code& error) {
  entry << "Error: " << error.category().name() << ":" << error.value() << ", error message: " << error.message();
}
} // namespace

void push_data_to_active_connections(KorvaWeb::SocketServer& server, const std::string& data,
                                     KorvaWeb::WhenFull when_full) {
  const auto connections = server.get_connection_list();
  if (connections->empty())
    return;
  // One payload for every connection: the send queues only read it, so sharing it sends the
  // same bytes as a copy each would, without a thousand copies.
  std::string text = data;
  if (!valid_utf8(text)) {
    const std::size_t replaced = make_valid_utf8(text);
    static FailureReports reports; // a value pushed again and again is reported once a minute
    std::uint64_t left_out = 0;
    if (reports.admit(left_out)) {
      Logger entry(std::cerr);
      entry << "Server: Data pushed by the device is not valid UTF-8: " << static_cast<unsigned long>(replaced)
            << " sequences replaced by U+FFFD";
      if (left_out > 0)
        entry << " (" << static_cast<unsigned long>(left_out) << " more such texts not logged since the last one)";
    }
  }
  server.broadcast(connections, std::make_shared<KorvaWeb::SendStream>(std::move(text)), broadcast_send_callback,
                   when_full);
}

void log_dropped_pushes(std::uint64_t dropped) {
  Logger(std::cerr) << "Server: Pushes dropped while the event loop was held up: " << static_cast<unsigned long>(dropped)
                    << " (the oldest; the others went out in order)";
}

void answer_send_callback(const boost::system::error_code& error) {
  if (!error)
    return;
  Logger entry(std::cerr);
  entry << "Server: Error sending message. ";
  log_send_error(entry, error);
}

void broadcast_send_callback(const boost::system::error_code& error) {
  if (!error)
    return;
  Logger entry(std::cerr);
  entry << "Client: Error sending push notification. ";
  log_send_error(entry, error);
}

KorvaWeb::SendCallback notification_send_callback(unsigned long connection_id) {
  return [connection_id](const boost::system::error_code& error) {
    if (!error)
      return;
    Logger entry(std::cerr);
    // The identity runs straight into "Error: ", without a blank, as the entry has always read.
    entry << "Server: Error sending push notification to connection " << connection_id;
    log_send_error(entry, error);
  };
}

} // namespace korva
