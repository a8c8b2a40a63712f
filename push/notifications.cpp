#include "push/notifications.hpp"

#include "push/broadcast.hpp"

namespace korva {

LocalPushNotificationHandler::Callback make_push_callback(SystemAPI& system_api, KorvaWeb::SocketServer& server) {
  return [&system_api, &server](int a, int b, int c) {
    push_data_to_active_connections(server, system_api.readData(a, b, c));
  };
}

void handle_websocket_push_notification(KorvaWeb::SocketServer& server,
                                        const std::shared_ptr<KorvaWeb::SocketServer::Connection>& requester,
                                        const std::string& reply, NotificationSource source) {
  auto connections = server.get_connections();
  for (const auto& connection : connections) {
    if (connection == requester)
      continue;
    const std::vector<std::string> notifications = source(reply);
    KorvaWeb::SendCallback callback;
    for (const std::string& text : notifications) {
      if (text.empty())
        continue;
      if (!callback)
        callback = notification_send_callback(connection_id(connection.get()));
      auto stream = std::make_shared<KorvaWeb::SendStream>();
      stream->write(text.data(), static_cast<std::streamsize>(text.size()));
      connection->send(stream, callback, KorvaWeb::fin_rsv_opcodes::text);
    }
  }
}

} // namespace korva
