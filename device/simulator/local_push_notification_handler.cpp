// Local push notifications of the simulated device. With KORVA_SIM_PUSH_PERIOD_MS set, run()
// calls the callback once per period for the device's values in turn; otherwise it waits until
// the handler is destroyed. See README.md for the settings.

#include "device/local_push_notification_handler.hpp"

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "device/simulator/device.hpp"
#include "device/simulator/settings.hpp"

using Clock = std::chrono::steady_clock;

struct LocalPushNotificationHandler::State {
  Callback callback;
  std::chrono::milliseconds period;
  bool run_returns;
  long count;  // notifications after which run() returns; 0: no limit

  std::mutex mutex;
  std::condition_variable cv;
  bool stopping = false;  // set by the destructor
  int running = 0;        // run() calls in progress
};

LocalPushNotificationHandler::LocalPushNotificationHandler(Callback callback)
    : state_(std::make_unique<State>()) {
  state_->callback = std::move(callback);
  state_->period = std::chrono::milliseconds(korva_sim::envNumber("KORVA_SIM_PUSH_PERIOD_MS", 0));
  state_->run_returns = korva_sim::envFlag("KORVA_SIM_PUSH_RUN_RETURNS");
  state_->count = korva_sim::envNumber("KORVA_SIM_PUSH_COUNT", 0);
  korva_sim::Device::instance();
}

LocalPushNotificationHandler::~LocalPushNotificationHandler() {
  // Wakes a run() blocked on another thread and waits for it to leave before the state goes.
  std::unique_lock<std::mutex> lock(state_->mutex);
  state_->stopping = true;
  state_->cv.notify_all();
  state_->cv.wait(lock, [this] { return state_->running == 0; });
}

void LocalPushNotificationHandler::start() {
  // The simulated device needs no set-up: notifications flow once run() is called.
}

void LocalPushNotificationHandler::run() {
  State& state = *state_;
  if (state.run_returns) return;

  std::unique_lock<std::mutex> lock(state.mutex);
  ++state.running;
  // Leaves run() however it ends, including by an exception from the callback.
  struct Leave {
    State& state;
    std::unique_lock<std::mutex>& lock;
    ~Leave() {
      if (!lock.owns_lock()) lock.lock();
      --state.running;
      state.cv.notify_all();
    }
  } leave{state, lock};

  const auto stopping = [&state] { return state.stopping; };
  if (state.period.count() <= 0) {
    state.cv.wait(lock, stopping);
    return;
  }
  std::size_t next_value = 0;
  long delivered = 0;
  auto due = Clock::now() + state.period;
  while (!state.cv.wait_until(lock, due, stopping)) {
    korva_sim::ValueKey key{};
    const bool have_value = korva_sim::Device::instance().keyAt(next_value++, key);
    lock.unlock();
    if (have_value) state.callback(key.group, key.id, key.index);
    lock.lock();
    if (state.count > 0 && ++delivered >= state.count) return;
    // Keep to the period, but after a slow callback start afresh instead of catching up.
    due += state.period;
    const auto now = Clock::now();
    if (due < now) due = now + state.period;
  }
}
