#include "api/request_handler.hpp"

#include "device/log_safe.hpp"
#include "api/request_time_file.hpp"
#include "device/device_calls.hpp"
#include "device/device_text.hpp"
#include "device/logger.hpp"
#include "push/broadcast.hpp"
#include "push/notifications.hpp"
#include "websocket/handshake.hpp"

#include <chrono>
#include <charconv>
#include <cstdint>
#include <iostream>

namespace korva {

std::string_view command_name(const std::string& request) noexcept {
  static constexpr std::string_view key = "{\"command\":\"";
  static constexpr std::string_view separator = "\",\"";
  const std::string_view text(request);
  std::size_t start = text.find(key);
  if (start == std::string_view::npos)
    return "invalid command";
  start += key.size();
  const std::size_t end = text.find(separator, start);
  return text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
}

std::string extract_command(const std::string& request) {
  try {
    return std::string(command_name(request));
  } catch (...) {
    return "invalid command";
  }
}

std::string get_client_address(const std::shared_ptr<Connection>& connection) {
  return KorvaWeb::client_address(connection->header);
}

namespace {
// The identity as the standard stream prints a pointer ("0x" and lowercase hex), like the log.
void append_identity(std::string& out, const void* pointer) {
  static const char hex[] = "0123456789abcdef";
  auto value = reinterpret_cast<std::uintptr_t>(pointer);
  char digits[2 * sizeof value];
  char* first = digits + sizeof digits;
  do {
    *--first = hex[value & 0xF];
    value >>= 4;
  } while (value != 0);
  out.append("0x").append(first, static_cast<std::size_t>(digits + sizeof digits - first));
}
} // namespace

MessageHandler make_message_handler(SystemAPI& system_api, KorvaWeb::SocketServer& server, std::mutex& request_mutex,
                                    bool& rebooting, std::string time_file) {
  return [&system_api, &server, &request_mutex, &rebooting, time_file = std::move(time_file),
          file_system = std::make_shared<RequestTimeFileSystem>()](
             std::shared_ptr<Connection> connection, std::shared_ptr<KorvaWeb::Message> message) {
    const auto t0 = std::chrono::steady_clock::now();
    std::string request = message->content(); // the message's bytes, handed over
    // Only the log sees the command name escaped and cut; the device gets the request unchanged.
    const std::string command = log_safe(command_name(request), command_log_limit);
    Logger(std::cout) << "Received command: " << command;

    // Emptied at every request; a file that cannot be opened just loses its line.
    RequestTimeFile times(time_file, *file_system);

    std::string reply, failure;
    const char* call = "doRequest";
    CallOutcome outcome;
    {
      std::lock_guard<std::mutex> lock(request_mutex);
      if (rebooting)
        return; // the device is going down: no answer, no notification, no time line
      const std::string client_address = get_client_address(connection);
      const int port = static_cast<int>(connection->remote_endpoint.port());
      outcome = call_device(DeviceCalls::server_thread, call, failure,
                            [&] { reply = system_api.doRequest(request, client_address, port); });
      if (outcome == CallOutcome::done) {
        bool going_down = false;
        call = "isRebooting";
        outcome = call_device(DeviceCalls::server_thread, call, failure,
                              [&] { going_down = SystemAPI::isRebooting(reply); });
        rebooting = going_down;
      }
    }
    if (outcome == CallOutcome::ended)
      return; // the process is ending: no answer
    if (outcome == CallOutcome::failed) {
      // The device could not serve this request: its client is told so, the others go on.
      Logger(std::cerr) << "Server: Device call " << call << " failed for \"" << command << "\" from "
                        << static_cast<const void*>(connection.get()) << ": " << failure;
      connection->send_close(request_failed_status, request_failed_reason);
      return;
    }
    // A request and its reply are the two copies a message costs at most: the request goes
    // before the reply is queued, and the reply is queued without a copy.
    std::string().swap(request);

    // A text frame must be UTF-8; the notifications are still formed from the device's own text.
    std::string device_reply;
    if (!valid_utf8(reply)) {
      device_reply = reply;
      const std::size_t replaced = make_valid_utf8(reply);
      Logger(std::cerr) << "Server: Reply to \"" << command << "\" from " << static_cast<const void*>(connection.get())
                        << " is not valid UTF-8: " << static_cast<unsigned long>(replaced)
                        << " sequences replaced by U+FFFD";
    }
    auto answer = std::make_shared<KorvaWeb::SendStream>(std::move(reply));
    connection->send(answer, answer_send_callback, KorvaWeb::fin_rsv_opcodes::text);

    handle_websocket_push_notification(server, connection, device_reply.empty() ? answer->text() : device_reply);

    const auto t1 = std::chrono::steady_clock::now();
    const std::int64_t elapsed_ms =
        std::chrono::duration_cast<std::chrono::nanoseconds>(t1 - t0).count() / 1000000;
    std::string line;
    line.reserve(96 + command.size()); // one allocation: the rest of the line is at most 78 bytes
    line.append("Server: Message responded: \"").append(command).append("\" from ");
    append_identity(line, connection.get());
    line.append("\t\t");
    char digits[24];
    line.append(digits, std::to_chars(digits, digits + sizeof digits, elapsed_ms).ptr).append("ms\n");
    times.write(line);
  };
}

} // namespace korva
