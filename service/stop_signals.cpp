#include "service/stop_signals.hpp"

#include "device/logger.hpp"

#include <signal.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <thread>

namespace korva {

namespace {

// How long open connections have to answer the close, and how long the log has to be written.
constexpr std::chrono::milliseconds close_grace{1000};
constexpr std::chrono::milliseconds log_limit{3000};

sigset_t stop_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  return set;
}

// Waits up to `limit` for one of the stop signals; 0 when none came.
int wait_for_signal(const sigset_t& set, std::chrono::milliseconds limit) {
  const struct timespec wait {
    static_cast<std::time_t>(limit.count() / 1000), static_cast<long>(limit.count() % 1000) * 1000000
  };
  for (;;) {
    const int signal = sigtimedwait(&set, nullptr, &wait);
    if (signal > 0)
      return signal;
    if (errno != EINTR)
      return 0;
  }
}

} // namespace

void block_stop_signals() {
  const sigset_t set = stop_signals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void stop_on_signals(KorvaWeb::SocketServer& server, ServiceLog& log, const std::atomic<bool>& loop_ended) {
  std::thread([&server, &log, &loop_ended] {
    const sigset_t set = stop_signals();
    int signal = 0;
    while (sigwait(&set, &signal) != 0 || (signal != SIGTERM && signal != SIGINT)) {
    }
    Logger(std::cout) << "Stopping korva-server";
    server.shutdown(1001, "service stopping", close_grace);
    // The event loop ends once the clients have answered, or at the end of their second; a second
    // signal meanwhile ends the process at once.
    const auto deadline = std::chrono::steady_clock::now() + close_grace + std::chrono::milliseconds(500);
    while (!loop_ended && std::chrono::steady_clock::now() < deadline) {
      if (const int again = wait_for_signal(set, std::chrono::milliseconds(20)))
        std::_Exit(128 + again);
    }
    log.finish(log_limit);
    std::_Exit(0);
  }).detach();
}

} // namespace korva
