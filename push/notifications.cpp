#include "push/notifications.hpp"

#include "push/broadcast.hpp"

#include <utility>
#include <vector>

namespace korva {

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
  // payload: the send queues only read it.
  std::vector<std::pair<std::string, std::shared_ptr<KorvaWeb::SendStream>>> payloads;
  for (const auto& connection : connections) {
    if (connection == requester)
      continue;
    const std::vector<std::string> notifications = source(reply);
    KorvaWeb::SendCallback callback;
    for (std::size_t i = 0; i < notifications.size(); ++i) {
      const std::string& text = notifications[i];
      if (text.empty())
        continue;
      if (!callback)
        callback = notification_send_callback(connection_id(connection.get()));
      if (payloads.size() <= i)
        payloads.resize(i + 1);
      if (!payloads[i].second || payloads[i].first != text)
        payloads[i] = {text, std::make_shared<KorvaWeb::SendStream>(text)};
      connection->send(payloads[i].second, callback, KorvaWeb::fin_rsv_opcodes::text);
    }
  }
}

} // namespace korva
