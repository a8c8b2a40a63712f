#include "push/broadcast.hpp"
#include "push/monitor.hpp"
#include "tests/support/library_server.hpp"

#include <gtest/gtest.h>

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

using namespace korva_test;
using Clock = std::chrono::steady_clock;

namespace {

std::string set_value(SystemAPI& device, int group, int id, int index, int value) {
  return device.doRequest(R"({"command":"set_value","group":)" + std::to_string(group) + ",\"id\":" +
                              std::to_string(id) + ",\"index\":" + std::to_string(index) +
                              ",\"value\":" + std::to_string(value) + "}",
                          "", 0);
}

class MonitorCycle : public ::testing::Test {
protected:
  void SetUp() override { server.start(); }
  SystemAPI device{false};
  LibraryServer server;
};

TEST_F(MonitorCycle, ReadsEachChangeAsGroupIdIndexAndPushesItInListOrder) {
  auto client = server.connect();
  ValueChangeMonitor monitor;
  monitor.init();
  ValueChangeMonitor witness; // sees the same changes, to learn the device's list order
  witness.init();
  set_value(device, 3, 2, 1, 42); // offsets 0, 4, 8 hold 1, 2, 3: read as readData(3, 2, 1)
  set_value(device, 3, 12, 0, 5);
  set_value(device, 3, 10, 0, 6);
  korva::run_monitor_cycle(monitor, device, server.server);

  std::vector<ValueDiff> changes = witness.getValueDiff();
  ASSERT_EQ(changes.size(), 3u);
  for (const ValueDiff& change : changes)
    EXPECT_EQ(client->read_frame().payload, device.readData(change.group, change.id, change.index));
  EXPECT_NE(device.readData(3, 2, 1).find("\"value\":42"), std::string::npos);
}

TEST_F(MonitorCycle, NoChangeSendsNothingAndNoConnectionStillReads) {
  ValueChangeMonitor monitor;
  monitor.init();
  set_value(device, 5, 1, 0, 1);
  korva::run_monitor_cycle(monitor, device, server.server); // nobody connected: read, sent nowhere

  auto client = server.connect();
  korva::run_monitor_cycle(monitor, device, server.server); // the change was taken already
  korva::push_data_to_active_connections(server.server, "marker");
  EXPECT_EQ(client->read_frame().payload, "marker");
}

struct Stop : std::runtime_error {
  Stop() : std::runtime_error("stop") {}
};

TEST(MonitorLoop, FirstCycleAtOnceThenOnePeriodAfterEachCycle) {
  std::vector<std::string> steps;
  // The loop has no exit; an exception from a cycle is the only way out.
  EXPECT_THROW(korva::repeat_every(
                   std::chrono::milliseconds(150),
                   [&] {
                     steps.push_back("cycle");
                     if (std::count(steps.begin(), steps.end(), "cycle") == 3)
                       throw Stop();
                   },
                   [&](std::chrono::nanoseconds period) {
                     steps.push_back("sleep " + std::to_string(period.count() / 1000000) + " ms");
                   }),
               Stop);
  EXPECT_EQ(steps, (std::vector<std::string>{"cycle", "sleep 150 ms", "cycle", "sleep 150 ms", "cycle"}));
}

TEST(MonitorLoop, OneSleepLastsThePeriod) {
  const auto period = std::chrono::milliseconds(50);
  const auto begin = Clock::now();
  korva::sleep_once(period);
  EXPECT_GE(Clock::now() - begin, period); // the period itself is what is under test
}

TEST(MonitorThread, RunsWithTheRequestedStackAndHoldsTheDeviceMonitor) {
  std::size_t stack_size = 0;
  bool monitor_made = false;
  korva::StackThread thread(korva::monitor_stack_size, [&] {
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
      pthread_attr_getstacksize(&attributes, &stack_size);
      pthread_attr_destroy(&attributes);
    }
    ValueChangeMonitor monitor; // about 680 KiB on this thread's stack
    monitor.init();
    monitor_made = true;
  });
  thread.join();
  EXPECT_FALSE(thread.joinable());
  EXPECT_GE(stack_size, std::size_t(1024 * 1024));
  EXPECT_GE(stack_size, korva::monitor_stack_size);
  EXPECT_TRUE(monitor_made);
}

} // namespace
