#include "service/status.hpp"

#include "websocket/error.hpp"

#include <cstdio>

namespace korva {

void ConnectionCuts::count(const boost::system::error_code& error) noexcept {
  if (error == KorvaWeb::make_error_code(KorvaWeb::error::memory_budget))
    memory_budget_.fetch_add(1, std::memory_order_relaxed);
  else if (error == KorvaWeb::make_error_code(KorvaWeb::error::send_queue_limit))
    send_queue_limit_.fetch_add(1, std::memory_order_relaxed);
  else if (error == KorvaWeb::make_error_code(KorvaWeb::error::message_stalled))
    message_stalled_.fetch_add(1, std::memory_order_relaxed);
  else if (error == KorvaWeb::make_error_code(KorvaWeb::error::room_for_other_address))
    room_for_other_address_.fetch_add(1, std::memory_order_relaxed);
}

namespace {
// Bytes in KiB below a MiB, else in MiB with one decimal.
std::string amount(std::size_t bytes) {
  char text[32];
  if (bytes < 1024 * 1024)
    std::snprintf(text, sizeof text, "%zu KiB", (bytes + 1023) / 1024);
  else
    std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1024 * 1024));
  return text;
}
} // namespace

std::string status_line(const StatusFigures& figures) {
  return "STATUS=open connections: " + std::to_string(figures.connections) + "; queued: " + amount(figures.queued) +
         "; budget in use: " + amount(figures.budget_held) + " of " + amount(figures.budget_limit) +
         "; cut since start: " + std::to_string(figures.cut_memory_budget) + " memory budget, " +
         std::to_string(figures.cut_send_queue_limit) + " send queue limit, " +
         std::to_string(figures.cut_message_stalled) + " message stalled, " +
         std::to_string(figures.closed_for_other_address) + " closed for another address; log entries dropped: " +
         std::to_string(figures.log_dropped) + "; pushes dropped: " + std::to_string(figures.pushes_dropped);
}

} // namespace korva
