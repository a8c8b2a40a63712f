#include "service/stop_signals.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <system_error>

namespace korva {

namespace {

// Set once, before the handlers are installed; read by the handlers on any thread.
std::atomic<pid_t> service_pid{0};
std::atomic<int> signal_pipe{-1}; // the write end
static_assert(std::atomic<pid_t>::is_always_lock_free && std::atomic<int>::is_always_lock_free,
              "read in a signal handler");

constexpr int taken_signals[] = {SIGTERM, SIGINT, SIGPIPE};

// Async-signal-safe, any thread; errno is as it found it.
void take_signal(int signal) {
  const int saved_errno = errno;
  if (::getpid() != service_pid.load(std::memory_order_relaxed)) {
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    sigemptyset(&default_action.sa_mask);
    ::sigaction(signal, &default_action, nullptr);
    ::raise(signal); // blocked until this handler returns, then taken by default
  } else if (signal != SIGPIPE) {
    const unsigned char number = static_cast<unsigned char>(signal);
    // A pipe full of unread signals loses this one: the stop has begun, and will end the process.
    [[maybe_unused]] const ssize_t written = ::write(signal_pipe.load(std::memory_order_relaxed), &number, 1);
  }
  errno = saved_errno;
}

} // namespace

int install_stop_signals() {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0)
    throw std::system_error(errno, std::generic_category(), "pipe2");
  service_pid.store(::getpid(), std::memory_order_relaxed);
  signal_pipe.store(ends[1], std::memory_order_relaxed);
  struct sigaction action {};
  action.sa_handler = take_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigset_t taken;
  sigemptyset(&taken);
  for (const int signal : taken_signals) {
    ::sigaction(signal, &action, nullptr);
    sigaddset(&taken, signal);
  }
  // Whoever started us may have blocked them; a mask set here would be every child's.
  ::pthread_sigmask(SIG_UNBLOCK, &taken, nullptr);
  return ends[0];
}

int next_stop_signal(int fd) noexcept {
  unsigned char number = 0;
  for (;;) {
    const ssize_t got = ::read(fd, &number, 1);
    if (got == 1)
      return number;
    if (got < 0 && errno == EINTR)
      continue;
    return 0;
  }
}

} // namespace korva
