#pragma once
// The end of the service, in order. SIGTERM and SIGINT stop it: it accepts no more connections,
// sends every open connection close 1001 "service stopping", gives the clients up to a second to
// answer, writes out its log (at most 3 s; what could not be written is counted on standard error)
// and exits with status 0. A failure that ends the service (the device library threw something
// unknown, a thread of the service cannot go on) takes the same road with close 1011 "internal
// error", its reason on standard error, and status 1.
//
// A stop never reports success it did not reach: when the event loop has not ended 1.5 s after
// the stop began (it is inside a device call, say; one that returns within that time lets the
// stop go on as usual), or a device call is still running on another thread then, the log says
// which call and for how long, nothing is torn down under it, and the status is 3 (1 after a
// failure). A second signal during the stop, at any point of it, ends the process at once with
// status 128 + the signal.

#include "service/log_queue.hpp"
#include "service/notify.hpp"
#include "websocket/server.hpp"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

namespace korva {

// Exit statuses of the stop.
constexpr int stopped_status = 0;
constexpr int failed_status = 1;
constexpr int stop_incomplete_status = 3;

class ServiceStop {
public:
  // Holds references to all three for good; `signals`: install_stop_signals's descriptor, which it
  // takes over.
  ServiceStop(KorvaWeb::SocketServer& server, ServiceLog& log, const Notifier& notifier, int signals);
  ServiceStop(const ServiceStop&) = delete;
  ServiceStop& operator=(const ServiceStop&) = delete;

  // Starts the thread that waits for a stop signal or a failure and ends the process; the
  // server's io_service must be set.
  void start();

  // The service cannot go on: ends it in order with status 1, `reason` on standard error. Any
  // thread; never blocks.
  void fail(const std::string& reason) noexcept;

  // The event loop has returned (the server thread, at its end).
  void loop_ended() noexcept;

private:
  void run();
  // Waits up to `limit_ms` (-1: no limit) for a signal or an event; once the stop is under way, a
  // signal ends the process here.
  void wait(int limit_ms);
  std::string unfinished(std::int64_t stop_began_ms) const;

  KorvaWeb::SocketServer& server_;
  ServiceLog& log_;
  const Notifier& notifier_;
  const int signals_; // SIGTERM and SIGINT as they come (service/stop_signals.hpp)
  int events_ = -1;   // eventfd: a failure, or the end of the event loop
  std::atomic<bool> loop_ended_{false};
  std::atomic<bool> failed_{false};
  // The stop's own thread only: the signal that began the stop, and whether it has begun.
  int first_signal_ = 0;
  bool stopping_ = false;
  std::atomic<std::int64_t> shutdown_ran_ms_{0}; // when the loop took up the stop (0: not yet)
  std::mutex failure_mutex_;
  std::string failure_; // the first failure's reason
};

} // namespace korva
