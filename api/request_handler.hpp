#pragma once
// The API endpoint's message handler: every message is one request, passed unchanged to the
// device, answered on the same connection, followed by notifications to the other clients, and
// timed in the request-time file.

#include "device/system_api.hpp"
#include "websocket/server.hpp"

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace korva {

// Holds one line: how long the most recent answered request took.
constexpr const char* request_time_file = "/var/log/webserver-request-time";

// The close a client gets when the device failed its request (threw a standard exception).
constexpr int request_failed_status = 1011;
constexpr const char* request_failed_reason = "device request failed";

using Connection = KorvaWeb::SocketServer::Connection;
using MessageHandler = std::function<void(std::shared_ptr<Connection>, std::shared_ptr<KorvaWeb::Message>)>;

// The command name of a request: the text after the first {"command":" up to the first ","
// (or to the end). "invalid command" when the key is missing. No JSON parsing, no escapes.
std::string extract_command(const std::string& request);
// The same name as a view into `request` (or of the text "invalid command"), for the log, which
// only ever reads the first few hundred bytes of it.
std::string_view command_name(const std::string& request) noexcept;

// The browser's address as the front-end server passes it: X-Real-IP, else X-Forwarded-For
// (whole value), else empty. The TCP peer is always the front-end server, so it is never used.
std::string get_client_address(const std::shared_ptr<Connection>& connection);

// The on_message handler. It refers to all four objects by reference; `request_mutex` guards
// `rebooting` and the device request. Once the device reports a reboot, later requests are
// dropped without an answer. `time_file` is where the request time goes.
// When the device fails a request (a standard exception from doRequest or isRebooting), the
// failure is logged on standard error and the requester's connection is closed with 1011; the
// other clients are not affected. A reply that is not UTF-8 goes out with U+FFFD in place of each
// ill-formed sequence, and the log says so.
MessageHandler make_message_handler(SystemAPI& system_api, KorvaWeb::SocketServer& server, std::mutex& request_mutex,
                                    bool& rebooting, std::string time_file = request_time_file);

} // namespace korva
