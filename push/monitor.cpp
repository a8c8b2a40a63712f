#include "push/monitor.hpp"

#include "push/broadcast.hpp"

#include <time.h>

#include <cerrno>
#include <exception>
#include <system_error>
#include <vector>

namespace korva {

void run_monitor_cycle(ValueChangeMonitor& monitor, SystemAPI& system_api, KorvaWeb::SocketServer& server) {
  const std::vector<ValueDiff> changes = monitor.getValueDiff();
  for (const ValueDiff& change : changes)
    push_data_to_active_connections(server, system_api.readData(change.group, change.id, change.index));
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
