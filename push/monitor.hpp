#pragma once
// The value-change monitor: polls the device for changed values and pushes the current data of
// each to every open connection. It runs on its own thread, started with an explicit stack size
// because the device's monitor object lives on that stack and is large.

#include "device/system_api.hpp"
#include "device/value_change_monitor.hpp"
#include "websocket/server.hpp"

#include <pthread.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>

namespace korva {

constexpr std::chrono::seconds monitor_period{10};
// The device's ValueChangeMonitor alone takes about 680 KiB.
constexpr std::size_t monitor_stack_size = 2 * 1024 * 1024;

// One poll: reads every changed value, in the order the device lists them, as
// readData(int at offset 8, int at offset 4, int at offset 0), and hands each text to every open
// connection before the next read (while the event loop is held up and the hand-over's reserve is
// full, it waits until the loop has taken enough). A read that fails (a standard exception) costs
// that value only; a getValueDiff that fails, this cycle. Failures are logged, at most once a
// minute when they repeat.
void run_monitor_cycle(ValueChangeMonitor& monitor, SystemAPI& system_api, KorvaWeb::SocketServer& server);

// Sleeps for `period`; a signal cuts the sleep short and the rest is not slept.
void sleep_once(std::chrono::nanoseconds period);

// Calls `cycle` at once and then again `period` after each call has returned (`sleep(period)` in
// between), without end. Only an exception from `cycle` leaves the loop.
template <class Cycle, class Sleep = void (*)(std::chrono::nanoseconds)>
[[noreturn]] void repeat_every(std::chrono::nanoseconds period, Cycle&& cycle, Sleep sleep = &sleep_once) {
  for (;;) {
    cycle();
    sleep(period);
  }
}

// The monitor thread's body: makes the monitor object on this thread's stack, takes the
// device's starting picture and polls every `period` for the life of the process.
[[noreturn]] void run_monitor(SystemAPI& system_api, KorvaWeb::SocketServer& server,
                              std::chrono::nanoseconds period = monitor_period);

// A joinable thread with a stack of a chosen size. The body must not let an exception escape:
// one that does ends the process through std::terminate.
class StackThread {
public:
  StackThread(std::size_t stack_size, std::function<void()> body);
  ~StackThread(); // a thread still joinable here ends the process, as with std::thread
  StackThread(const StackThread&) = delete;
  StackThread& operator=(const StackThread&) = delete;

  void join();
  bool joinable() const noexcept { return joinable_; }

private:
  static void* trampoline(void* body) noexcept;

  pthread_t thread_{};
  bool joinable_ = false;
  std::unique_ptr<std::function<void()>> body_;
};

} // namespace korva
