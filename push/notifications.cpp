#include "push/notifications.hpp"

#include "device/device_calls.hpp"
#include "device/device_text.hpp"
#include "device/logger.hpp"
#include "push/broadcast.hpp"

#include <iostream>
#include <string_view>
#include <utility>
#include <vector>

namespace korva {

namespace {
bool holds(const KorvaWeb::SendStream& payload, const std::string& text) {
  const auto bytes = payload.data();
  return std::string_view(static_cast<const char*>(bytes.data()), bytes.size()) == text;
}
} // namespace

LocalPushNotificationHandler::Callback make_push_callback(SystemAPI& system_api, KorvaWeb::SocketServer& server) {
  auto failures = std::make_shared<FailureReports>();
  return [&system_api, &server, failures](int a, int b, int c) {
    std::string data, failure;
    const CallOutcome outcome =
        call_device(DeviceCalls::push_thread, "readData", failure, [&] { data = system_api.readData(a, b, c); });
    if (outcome == CallOutcome::done) {
      // The library's thread never waits for the event loop: the call that holds the loop up may
      // be waiting for this thread.
      push_data_to_active_connections(server, data, KorvaWeb::WhenFull::drop_oldest);
      return;
    }
    std::uint64_t left_out = 0;
    if (outcome == CallOutcome::failed && failures->admit(left_out))
      log_read_failure("push notification", a, b, c, failure, left_out);
  };
}

void handle_websocket_push_notification(KorvaWeb::SocketServer& server,
                                        const std::shared_ptr<KorvaWeb::SocketServer::Connection>& requester,
                                        const std::string& reply, NotificationSource source) {
  const auto connections = server.get_connection_list();
  // A text the device gives several connections (usually all of them) goes out from one shared
  // payload: the send queues only read it. payloads[i] holds the latest i-th text; originals[i] the
  // device's own text of it, kept only when that was not UTF-8 and had to be repaired.
  std::vector<std::shared_ptr<KorvaWeb::SendStream>> payloads;
  std::vector<std::string> originals;
  std::size_t asked = 0, failed = 0, replaced = 0;
  std::string failure;
  for (const auto& connection : *connections) {
    if (connection == requester)
      continue;
    std::vector<std::string> notifications;
    ++asked;
    const CallOutcome outcome = call_device(DeviceCalls::server_thread, "formRequestForPushNotification", failure,
                                            [&] { notifications = source(reply); });
    if (outcome == CallOutcome::ended)
      return;
    if (outcome == CallOutcome::failed) {
      ++failed; // this connection misses the notifications of this reply
      continue;
    }
    KorvaWeb::SendCallback callback;
    for (std::size_t i = 0; i < notifications.size(); ++i) {
      std::string& text = notifications[i];
      if (text.empty())
        continue;
      if (!callback)
        callback = notification_send_callback(connection_id(connection.get()));
      if (payloads.size() <= i) {
        payloads.resize(i + 1);
        originals.resize(i + 1);
      }
      const bool same = payloads[i] && (originals[i].empty() ? holds(*payloads[i], text) : originals[i] == text);
      if (!same) {
        originals[i].clear();
        if (!valid_utf8(text)) {
          originals[i] = text;
          replaced += make_valid_utf8(text);
        }
        payloads[i] = std::make_shared<KorvaWeb::SendStream>(std::move(text));
      }
      connection->send(payloads[i], callback, KorvaWeb::fin_rsv_opcodes::text);
    }
  }
  // Once per reply, however many connections it concerned.
  if (failed > 0)
    Logger(std::cerr) << "Server: Device call formRequestForPushNotification failed for "
                      << static_cast<unsigned long>(failed) << " of " << static_cast<unsigned long>(asked)
                      << " connections, whose notifications of this reply were skipped: " << failure;
  if (replaced > 0)
    Logger(std::cerr) << "Server: Notifications of a reply are not valid UTF-8: " << static_cast<unsigned long>(replaced)
                      << " sequences replaced by U+FFFD";
}

void log_read_failure(const char* what_for, int a, int b, int c, const std::string& failure, std::uint64_t left_out) {
  Logger entry(std::cerr);
  entry << "Server: Device call readData(" << a << ", " << b << ", " << c << ") for a " << what_for << " failed: " << failure;
  if (left_out > 0)
    entry << " (" << static_cast<unsigned long>(left_out) << " more such failures not logged since the last one)";
}

} // namespace korva
