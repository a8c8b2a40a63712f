#include "api/request_handler.hpp"

#include "api/log_safe.hpp"
#include "api/request_time_file.hpp"
#include "websocket/handshake.hpp"
#include "device/logger.hpp"
#include "push/broadcast.hpp"
#include "push/notifications.hpp"

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

    std::string reply;
    {
      std::lock_guard<std::mutex> lock(request_mutex);
      if (rebooting)
        return; // the device is going down: no answer, no notification, no time line
      reply = system_api.doRequest(request, get_client_address(connection),
                                   static_cast<int>(connection->remote_endpoint.port()));
      rebooting = SystemAPI::isRebooting(reply);
    }
    // A request and its reply are the two copies a message costs at most: the request goes
    // before the reply is queued, and the reply is queued without a copy.
    std::string().swap(request);

    auto answer = std::make_shared<KorvaWeb::SendStream>(std::move(reply));
    connection->send(answer, answer_send_callback, KorvaWeb::fin_rsv_opcodes::text);

    handle_websocket_push_notification(server, connection, answer->text());

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
