// LocalPushNotificationHandler: run() delivers callbacks on its own thread at the configured
// period, returns after KORVA_SIM_PUSH_COUNT of them or at once with KORVA_SIM_PUSH_RUN_RETURNS,
// and otherwise blocks until the handler is destroyed.

#include "device/local_push_notification_handler.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "device/system_api.hpp"
#include "tests/support/scoped_env.hpp"

using nlohmann::json;
using namespace std::chrono_literals;

namespace {

using korva_test::ScopedEnv;

struct Call {
  int group, id, index;
  std::thread::id thread;
};

// Runs handler.run() on its own thread; if run() outlives the test's limit the handler is
// destroyed, which makes run() return, so the test never hangs.
class RunThread {
public:
  explicit RunThread(std::unique_ptr<LocalPushNotificationHandler>& handler)
      : handler_(handler), thread_([this, raw = handler.get()] {
          entering_.set_value();
          raw->run();
          returned_.set_value();
        }) {
    entering_.get_future().wait();
  }
  ~RunThread() {
    if (!returnedWithin(0ms)) handler_.reset();
    thread_.join();
  }
  bool returnedWithin(std::chrono::milliseconds limit) {
    return done_.wait_for(limit) == std::future_status::ready;
  }
  std::thread::id id() const { return thread_.get_id(); }

private:
  std::unique_ptr<LocalPushNotificationHandler>& handler_;
  std::promise<void> entering_;
  std::promise<void> returned_;
  std::future<void> done_ = returned_.get_future();
  std::thread thread_;
};

TEST(PushNotificationHandler, RunCallsBackForExistingValuesAndStopsAfterTheCount) {
  ScopedEnv period("KORVA_SIM_PUSH_PERIOD_MS", "5");
  ScopedEnv count("KORVA_SIM_PUSH_COUNT", "7");
  ScopedEnv returns("KORVA_SIM_PUSH_RUN_RETURNS", nullptr);
  SystemAPI api(false);
  std::mutex mutex;
  std::vector<Call> calls;
  auto handler = std::make_unique<LocalPushNotificationHandler>([&](int group, int id, int index) {
    std::lock_guard<std::mutex> lock(mutex);
    calls.push_back({group, id, index, std::this_thread::get_id()});
  });
  handler->start();
  std::thread::id run_thread;
  {
    RunThread run(handler);
    run_thread = run.id();
    ASSERT_TRUE(run.returnedWithin(10s));
  }
  std::lock_guard<std::mutex> lock(mutex);
  ASSERT_EQ(calls.size(), 7U);
  std::vector<std::tuple<int, int, int>> distinct;
  for (const auto& call : calls) {
    EXPECT_EQ(call.thread, run_thread);  // callbacks run on run()'s thread
    const json data = json::parse(api.readData(call.group, call.id, call.index));
    EXPECT_TRUE(data.contains("value")) << data;  // names a value that exists
    distinct.emplace_back(call.group, call.id, call.index);
  }
  std::sort(distinct.begin(), distinct.end());
  distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
  EXPECT_GT(distinct.size(), 1U);  // it goes through the table, not one value over and over
}

TEST(PushNotificationHandler, RunReturnsAtOnceWhenAskedTo) {
  ScopedEnv returns("KORVA_SIM_PUSH_RUN_RETURNS", "1");
  ScopedEnv period("KORVA_SIM_PUSH_PERIOD_MS", "5");
  int calls = 0;
  auto handler = std::make_unique<LocalPushNotificationHandler>([&](int, int, int) { ++calls; });
  handler->start();
  RunThread run(handler);
  EXPECT_TRUE(run.returnedWithin(5s));
  EXPECT_EQ(calls, 0);
}

TEST(PushNotificationHandler, WithoutAPeriodRunBlocksSilentlyUntilTheHandlerIsDestroyed) {
  ScopedEnv period("KORVA_SIM_PUSH_PERIOD_MS", nullptr);
  ScopedEnv returns("KORVA_SIM_PUSH_RUN_RETURNS", nullptr);
  std::atomic<int> calls{0};
  auto handler = std::make_unique<LocalPushNotificationHandler>([&](int, int, int) { ++calls; });
  handler->start();
  RunThread run(handler);
  // Blocking is the subject, so this waits a fixed time.
  EXPECT_FALSE(run.returnedWithin(50ms));
  handler.reset();
  EXPECT_TRUE(run.returnedWithin(5s));
  EXPECT_EQ(calls.load(), 0);
}

TEST(PushNotificationHandler, DestroyingTheHandlerStopsAPeriodicRun) {
  ScopedEnv period("KORVA_SIM_PUSH_PERIOD_MS", "1");
  ScopedEnv count("KORVA_SIM_PUSH_COUNT", nullptr);
  ScopedEnv returns("KORVA_SIM_PUSH_RUN_RETURNS", nullptr);
  std::promise<void> first_call;
  std::atomic<int> calls{0};
  auto handler = std::make_unique<LocalPushNotificationHandler>([&](int, int, int) {
    if (calls++ == 0) first_call.set_value();
  });
  RunThread run(handler);
  ASSERT_EQ(first_call.get_future().wait_for(10s), std::future_status::ready);
  handler.reset();
  EXPECT_TRUE(run.returnedWithin(5s));
}

}  // namespace
