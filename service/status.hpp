#pragma once
// The figures a person reads in `systemctl status korva-server` (STATUS=), refreshed every few
// seconds: open connections, what is queued for them, the memory budget in use, the connections
// cut since the start and why, log entries dropped, and pushes dropped while the event loop was
// held up.

#include <boost/system/error_code.hpp>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace korva {

// Connections the server cut since the start, by the reason on_error was given. Any thread.
class ConnectionCuts {
public:
  // Counts `error` when it is one of the server's reasons to cut a client.
  void count(const boost::system::error_code& error) noexcept;

  std::uint64_t memory_budget() const noexcept { return memory_budget_.load(std::memory_order_relaxed); }
  std::uint64_t send_queue_limit() const noexcept { return send_queue_limit_.load(std::memory_order_relaxed); }
  std::uint64_t message_stalled() const noexcept { return message_stalled_.load(std::memory_order_relaxed); }
  // Closed (1013) to let in a client of an address with fewer connections.
  std::uint64_t room_for_other_address() const noexcept {
    return room_for_other_address_.load(std::memory_order_relaxed);
  }

private:
  std::atomic<std::uint64_t> memory_budget_{0}, send_queue_limit_{0}, message_stalled_{0}, room_for_other_address_{0};
};

struct StatusFigures {
  std::size_t connections = 0;
  std::size_t queued = 0;      // bytes of frames queued, a payload shared by several queues once
  std::size_t budget_held = 0; // bytes counted against the memory budget
  std::size_t budget_limit = 0;
  std::uint64_t cut_memory_budget = 0, cut_send_queue_limit = 0, cut_message_stalled = 0;
  std::uint64_t closed_for_other_address = 0;
  std::uint64_t log_dropped = 0;
  std::uint64_t pushes_dropped = 0; // while the event loop was held up
};

// "STATUS=" and the figures in a line: "STATUS=open connections: 3; queued: 12 KiB; budget in use:
// 1.2 MiB of 40.0 MiB; cut since start: 0 memory budget, 1 send queue limit, 0 message stalled, 0 closed for another address; log
// entries dropped: 0; pushes dropped: 0".
std::string status_line(const StatusFigures& figures);

} // namespace korva
