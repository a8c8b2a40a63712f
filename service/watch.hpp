#pragma once
// The service's watch: one thread that logs a device call that has run a minute (and again every
// minute while it runs), feeds the service manager's watchdog while the event loop turns or is
// inside a device call, and refreshes the status line that `systemctl status` shows.
//
// The event loop turns when a task posted to it runs: every few seconds, and at every feed of the
// watchdog, the watch posts one, which also takes the status figures where they are kept, on the
// loop. The watchdog is fed only when such a task ran since the last feed, or the loop is inside a
// device call: a device that is busy never has the service restarted; our own code stuck on the
// loop does.

#include "service/log_queue.hpp"
#include "service/notify.hpp"
#include "service/status.hpp"
#include "websocket/server.hpp"

#include <atomic>
#include <chrono>
#include <cstdint>

namespace korva {

class ServiceWatch {
public:
  // Holds references to all four for good: the watch runs as long as the process.
  ServiceWatch(KorvaWeb::SocketServer& server, const Notifier& notifier, const ServiceLog& log,
               const ConnectionCuts& cuts);
  ServiceWatch(const ServiceWatch&) = delete;
  ServiceWatch& operator=(const ServiceWatch&) = delete;

  // Starts the watch's thread; the server's io_service must be set.
  void start();

  static constexpr std::chrono::seconds status_period{5};
  static constexpr std::chrono::seconds stall_period{60};

private:
  void run();
  // Logs the device calls that have run another minute; returns when the next is due.
  std::chrono::milliseconds report_stalls();
  // Posts a task to the event loop unless the last one has not run yet.
  void post_turn();
  StatusFigures figures() const;

  KorvaWeb::SocketServer& server_;
  const Notifier& notifier_;
  const ServiceLog& log_;
  const ConnectionCuts& cuts_;
  std::atomic<std::uint64_t> turns_posted_{0}, turns_run_{0};
  // Taken on the loop by the last task that ran.
  std::atomic<std::size_t> connections_{0}, queued_{0}, held_{0};
  std::atomic<std::uint64_t> pushes_dropped_{0};
};

} // namespace korva
