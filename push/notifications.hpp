#pragma once
// The two roads by which device events reach clients besides the monitor: the device's local
// push notifications, and the follow-up notifications that the answer to a request implies for
// the other clients.

#include "device/local_push_notification_handler.hpp"
#include "device/system_api.hpp"
#include "websocket/server.hpp"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace korva {

// Where follow-up notifications come from: the device library, unless a test says otherwise.
using NotificationSource = std::vector<std::string> (*)(const std::string& reply);

// The callback for LocalPushNotificationHandler: reads the data named by the three ints, in
// the order received, and pushes it to every open connection. Holds references only. A read that
// fails (a standard exception) costs that notification; the failure is logged, at most once a
// minute when it repeats. It never waits for the event loop: while the loop is held up and the
// hand-over's reserve is full, the oldest pushes not yet handed to the connections are dropped.
LocalPushNotificationHandler::Callback make_push_callback(SystemAPI& system_api, KorvaWeb::SocketServer& server);

// Sends the notifications implied by `reply` to every open connection except `requester`,
// asking `source` anew for each of them. Empty texts are skipped. Returns once every frame has
// been handed to send(). When `source` fails for a connection (a standard exception), that
// connection misses these notifications; the failures are logged once for the reply. Texts that
// are not UTF-8 go out with U+FFFD in place of each ill-formed sequence.
void handle_websocket_push_notification(KorvaWeb::SocketServer& server,
                                        const std::shared_ptr<KorvaWeb::SocketServer::Connection>& requester,
                                        const std::string& reply,
                                        NotificationSource source = &SystemAPI::formRequestForPushNotification);

// Logs a failed readData(a, b, c) on standard error, with the count of such failures `left_out`
// of the log since the last (FailureReports).
void log_read_failure(const char* what_for, int a, int b, int c, const std::string& failure, std::uint64_t left_out);

} // namespace korva
