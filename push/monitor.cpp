#include "push/monitor.hpp"

#include "device/device_calls.hpp"
#include "device/logger.hpp"
#include "push/broadcast.hpp"
#include "push/notifications.hpp"

#include <time.h>

#include <cerrno>
#include <exception>
#include <iostream>
#include <system_error>
#include <vector>

namespace korva {

void run_monitor_cycle(ValueChangeMonitor& monitor, SystemAPI& system_api, KorvaWeb::SocketServer& server) {
  // Each failing call is logged at most once a minute when it repeats.
  static FailureReports diff_failures, read_failures;
  std::vector<ValueDiff> changes;
  std::string failure;
  CallOutcome outcome = call_device(DeviceCalls::monitor_thread, "getValueDiff", failure,
                                    [&] { changes = monitor.getValueDiff(); });
  std::uint64_t left_out = 0;
  if (outcome == CallOutcome::failed && diff_failures.admit(left_out)) {
    Logger entry(std::cerr);
    entry << "Server: Device call getValueDiff failed, this cycle is skipped: " << failure;
    if (left_out > 0)
      entry << " (" << static_cast<unsigned long>(left_out) << " more such failures not logged since the last one)";
  }
  for (const ValueDiff& change : changes) {
    std::string data;
    outcome = call_device(DeviceCalls::monitor_thread, "readData", failure,
                          [&] { data = system_api.readData(change.group, change.id, change.index); });
    if (outcome == CallOutcome::ended)
      return;
    if (outcome == CallOutcome::done)
      push_data_to_active_connections(server, data);
    else if (read_failures.admit(left_out)) // this value only: getValueDiff will not list it again
      log_read_failure("changed value", change.group, change.id, change.index, failure, left_out);
  }
}

void sleep_once(std::chrono::nanoseconds period) {
  auto seconds = std::chrono::duration_cast<std::chrono::seconds>(period);
  struct timespec interval {};
  interval.tv_sec = static_cast<time_t>(seconds.count());
  interval.tv_nsec = static_cast<long>((period - seconds).count());
  nanosleep(&interval, nullptr); // cut short by a signal: the cycle simply starts early
}

void run_monitor(SystemAPI& system_api, KorvaWeb::SocketServer& server, std::chrono::nanoseconds period) {
  ValueChangeMonitor monitor;
  monitor.init();
  repeat_every(period, [&] { run_monitor_cycle(monitor, system_api, server); });
}

StackThread::StackThread(std::size_t stack_size, std::function<void()> body)
    : body_(new std::function<void()>(std::move(body))) {
  pthread_attr_t attributes;
  int result = pthread_attr_init(&attributes);
  if (result != 0)
    throw std::system_error(result, std::generic_category(), "pthread_attr_init");
  result = pthread_attr_setstacksize(&attributes, stack_size);
  if (result == 0)
    result = pthread_create(&thread_, &attributes, &StackThread::trampoline, body_.get());
  pthread_attr_destroy(&attributes);
  if (result != 0)
    throw std::system_error(result, std::generic_category(), "pthread_create");
  joinable_ = true;
}

StackThread::~StackThread() {
  if (joinable_)
    std::terminate();
}

void StackThread::join() {
  if (!joinable_)
    throw std::system_error(EINVAL, std::generic_category(), "join");
  int result = pthread_join(thread_, nullptr);
  if (result != 0)
    throw std::system_error(result, std::generic_category(), "pthread_join");
  joinable_ = false;
}

void* StackThread::trampoline(void* body) noexcept {
  (*static_cast<std::function<void()>*>(body))();
  return nullptr;
}

} // namespace korva
