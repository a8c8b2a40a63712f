#include "service/watch.hpp"

#include "device/device_calls.hpp"
#include "device/logger.hpp"

#include <boost/asio/post.hpp>

#include <pthread.h>

#include <algorithm>
#include <iostream>
#include <thread>

namespace korva {

ServiceWatch::ServiceWatch(KorvaWeb::SocketServer& server, const Notifier& notifier, const ServiceLog& log,
                           const ConnectionCuts& cuts)
    : server_(server), notifier_(notifier), log_(log), cuts_(cuts) {}

void ServiceWatch::start() {
  std::thread([this] {
    pthread_setname_np(pthread_self(), "korva-watch");
    run();
  }).detach();
}

void ServiceWatch::run() {
  using Clock = std::chrono::steady_clock;
  const auto watchdog = std::chrono::duration_cast<Clock::duration>(notifier_.watchdog_interval());
  auto next_status = Clock::now(), next_feed = Clock::now() + watchdog, next_stall = Clock::now();
  post_turn();
  std::uint64_t turns_at_feed = 0;
  for (;;) {
    auto now = Clock::now();
    if (now >= next_stall || now >= next_status) {
      next_stall = now + report_stalls();
      now = Clock::now();
    }
    if (now >= next_status) {
      notifier_.notify(status_line(figures()));
      post_turn();
      next_status = std::max(next_status + status_period, now);
    }
    if (watchdog.count() > 0 && now >= next_feed) {
      const std::uint64_t turns = turns_run_.load(std::memory_order_acquire);
      if (turns != turns_at_feed || device_calls().running_on(DeviceCalls::server_thread))
        notifier_.notify("WATCHDOG=1");
      turns_at_feed = turns;
      post_turn();
      next_feed = std::max(next_feed + watchdog, now);
    }
    // A call that starts while the watch sleeps is seen at the next status, at most 5 s later, and
    // its first report is then due at its minute.
    auto wake = std::min(next_status, next_stall);
    if (watchdog.count() > 0)
      wake = std::min(wake, next_feed);
    std::this_thread::sleep_until(wake);
  }
}

std::chrono::milliseconds ServiceWatch::report_stalls() {
  std::chrono::milliseconds next{};
  for (const DeviceCalls::Running& call : device_calls().stalled(stall_period, next))
    Logger(std::cerr) << "Server: Device call " << call.name << " has been running for "
                      << static_cast<unsigned long>(std::chrono::duration_cast<std::chrono::seconds>(call.elapsed).count())
                      << " s on " << DeviceCalls::site_name(call.site);
  return next;
}

void ServiceWatch::post_turn() {
  const std::uint64_t posted = turns_posted_.load(std::memory_order_relaxed);
  if (turns_run_.load(std::memory_order_acquire) != posted)
    return; // the loop has not come round to the last one yet
  turns_posted_.store(posted + 1, std::memory_order_relaxed);
  boost::asio::post(*server_.io_service, [this, posted] {
    // On the loop: the budget is the loop's, made by its first connection.
    if (const auto& budget = server_.budget) {
      connections_.store(budget->connections(), std::memory_order_relaxed);
      queued_.store(budget->queued(), std::memory_order_relaxed);
      held_.store(budget->held(), std::memory_order_relaxed);
    }
    if (const auto& handover = server_.handover)
      pushes_dropped_.store(handover->dropped(), std::memory_order_relaxed);
    turns_run_.store(posted + 1, std::memory_order_release);
  });
}

StatusFigures ServiceWatch::figures() const {
  StatusFigures figures;
  figures.connections = connections_.load(std::memory_order_relaxed);
  figures.queued = queued_.load(std::memory_order_relaxed);
  figures.budget_held = held_.load(std::memory_order_relaxed);
  figures.budget_limit = server_.config.memory_budget;
  figures.cut_memory_budget = cuts_.memory_budget();
  figures.cut_send_queue_limit = cuts_.send_queue_limit();
  figures.cut_message_stalled = cuts_.message_stalled();
  figures.closed_for_other_address = cuts_.room_for_other_address();
  figures.log_dropped = log_.dropped();
  figures.pushes_dropped = pushes_dropped_.load(std::memory_order_relaxed);
  return figures;
}

} // namespace korva
