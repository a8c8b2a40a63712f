#include "service/stop.hpp"

#include "device/device_calls.hpp"
#include "device/logger.hpp"
#include "service/stop_signals.hpp"

#include <boost/asio/post.hpp>

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <system_error>
#include <thread>

namespace korva {

namespace {

// How long open connections have to answer the close, how much longer the event loop may take
// to end, and how long the log has to be written.
constexpr std::int64_t close_grace_ms = 1000;
constexpr std::int64_t loop_allowance_ms = 500;
constexpr std::chrono::milliseconds log_limit{3000};

std::int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string seconds(std::int64_t ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(ms) / 1000);
  return text;
}

} // namespace

ServiceStop::ServiceStop(KorvaWeb::SocketServer& server, ServiceLog& log, const Notifier& notifier, int signals)
    : server_(server), log_(log), notifier_(notifier), signals_(signals) {
  events_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (events_ < 0)
    throw std::system_error(errno, std::generic_category(), "eventfd");
}

void ServiceStop::start() {
  std::thread([this] {
    pthread_setname_np(pthread_self(), "korva-stop");
    run();
  }).detach();
}

void ServiceStop::fail(const std::string& reason) noexcept {
  try {
    std::lock_guard<std::mutex> lock(failure_mutex_);
    if (failure_.empty())
      failure_ = reason;
  } catch (...) {
    // Out of memory for the reason: the process still ends, with status 1.
  }
  failed_.store(true, std::memory_order_release);
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = ::write(events_, &one, sizeof one);
}

void ServiceStop::loop_ended() noexcept {
  loop_ended_.store(true, std::memory_order_release);
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = ::write(events_, &one, sizeof one);
}

void ServiceStop::wait(int limit_ms) {
  pollfd fds[2] = {{signals_, POLLIN, 0}, {events_, POLLIN, 0}};
  if (::poll(fds, 2, limit_ms) <= 0)
    return;
  if (fds[0].revents & POLLIN) {
    if (const int signal = next_stop_signal(signals_)) {
      if (stopping_)
        std::_Exit(128 + signal); // the second signal: at once
      first_signal_ = signal;
    }
  }
  if (fds[1].revents & POLLIN) {
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t taken = ::read(events_, &count, sizeof count);
  }
}

std::string ServiceStop::unfinished(std::int64_t stop_began_ms) const {
  std::string text;
  for (const DeviceCalls::Running& call : device_calls().running())
    text += std::string(text.empty() ? "" : "; ") + "device call " + call.name + " still running after " +
            seconds(call.elapsed.count()) + " on " + DeviceCalls::site_name(call.site);
  if (text.empty())
    text = "the event loop had not ended " + seconds(now_ms() - stop_began_ms) + " after the stop began";
  return text;
}

void ServiceStop::run() {
  while (first_signal_ == 0 && !failed_.load(std::memory_order_acquire))
    wait(-1);
  stopping_ = true;
  bool failed = first_signal_ == 0;
  if (!failed)
    Logger(std::cout) << "Stopping korva-server";
  notifier_.notify("STOPPING=1");

  const std::int64_t began = now_ms();
  // Marks when the loop takes up the stop: a loop held up (inside a device call) that comes free
  // in time still gets its clients their grace.
  boost::asio::post(*server_.io_service, [this] { shutdown_ran_ms_.store(now_ms(), std::memory_order_release); });
  if (failed)
    server_.shutdown(1011, "internal error", std::chrono::milliseconds(close_grace_ms));
  else
    server_.shutdown(1001, "service stopping", std::chrono::milliseconds(close_grace_ms));

  std::int64_t deadline = began + close_grace_ms + loop_allowance_ms;
  std::string incomplete;
  for (;;) {
    const bool loop_ended = loop_ended_.load(std::memory_order_acquire);
    if (loop_ended && device_calls().running().empty())
      break;
    const std::int64_t now = now_ms();
    if (now >= deadline) {
      const std::int64_t ran = shutdown_ran_ms_.load(std::memory_order_acquire);
      if (ran != 0 && ran + close_grace_ms + loop_allowance_ms > deadline) {
        deadline = ran + close_grace_ms + loop_allowance_ms;
        continue;
      }
      incomplete = unfinished(began);
      break;
    }
    // The loop's end wakes this wait; a device call's end on another thread is looked for every
    // 10 ms once the loop has ended.
    wait(static_cast<int>(loop_ended ? std::min<std::int64_t>(10, deadline - now) : deadline - now));
  }

  std::string last_words;
  if (failed_.load(std::memory_order_acquire)) {
    failed = true;
    std::lock_guard<std::mutex> lock(failure_mutex_);
    last_words = "korva-server: " + failure_;
  }
  if (!incomplete.empty())
    last_words += std::string(last_words.empty() ? "" : "\n") + "korva-server: stop incomplete: " + incomplete;
  const int status = failed ? failed_status : incomplete.empty() ? stopped_status : stop_incomplete_status;
  // The log is written out on a thread of its own, so that a second signal meanwhile is still
  // taken here at once.
  std::thread([this, last_words, status] {
    pthread_setname_np(pthread_self(), "korva-drain");
    log_.finish(log_limit, last_words);
    std::_Exit(status);
  }).detach();
  for (;;)
    wait(-1);
}

} // namespace korva
