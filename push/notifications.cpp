#include "push/notifications.hpp"

#include "push/broadcast.hpp"

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
  return [&system_api, &server](int a, int b, int c) {
    push_data_to_active_connections(server, system_api.readData(a, b, c));
  };
}

void handle_websocket_push_notification(KorvaWeb::SocketServer& server,
                                        const std::shared_ptr<KorvaWeb::SocketServer::Connection>& requester,
                                        const std::string& reply, NotificationSource source) {
  const auto connections = server.get_connection_list();
  // A text the device gives several connections (usually all of them) goes out from one shared
  // payload: the send queues only read it. payloads[i] holds the latest i-th text.
  std::vector<std::shared_ptr<KorvaWeb::SendStream>> payloads;
  for (const auto& connection : *connections) {
    if (connection == requester)
      continue;
    std::vector<std::string> notifications = source(reply);
    KorvaWeb::SendCallback callback;
    for (std::size_t i = 0; i < notifications.size(); ++i) {
      std::string& text = notifications[i];
      if (text.empty())
        continue;
      if (!callback)
        callback = notification_send_callback(connection_id(connection.get()));
      if (payloads.size() <= i)
        payloads.resize(i + 1);
      if (!payloads[i] || !holds(*payloads[i], text))
        payloads[i] = std::make_shared<KorvaWeb::SendStream>(std::move(text));
      connection->send(payloads[i], callback, KorvaWeb::fin_rsv_opcodes::text);
    }
  }
}

} // namespace korva
