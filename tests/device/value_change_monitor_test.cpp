// ValueChangeMonitor: which values it reports after set_value and after sensor changes, and
// that a quiet device reports nothing.

#include "device/value_change_monitor.hpp"

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "device/system_api.hpp"
#include "tests/support/scoped_env.hpp"

using nlohmann::json;

namespace {

using korva_test::ScopedEnv;

bool sameKey(const ValueDiff& diff, int group, int id, int index) {
  return diff.group == group && diff.id == id && diff.index == index;
}

std::string setValue(SystemAPI& api, int group, int id, int index, const json& value) {
  const json request = {{"command", "set_value"}, {"group", group}, {"id", id},
                        {"index", index},         {"value", value}};
  return api.doRequest(request.dump(), "127.0.0.1", 1);
}

// The monitor is 680 KiB; the tests keep it on the heap.
std::unique_ptr<ValueChangeMonitor> startedMonitor() {
  auto monitor = std::make_unique<ValueChangeMonitor>();
  monitor->init();
  return monitor;
}

TEST(ValueChangeMonitor, ReportsASetValueOnceWithItsKeys) {
  SystemAPI api(false);
  auto monitor = startedMonitor();
  const std::string reply = setValue(api, 11, 22, 33, 5);
  ASSERT_EQ(SystemAPI::formRequestForPushNotification(reply).size(), 1U);

  const auto diffs = monitor->getValueDiff();
  ASSERT_EQ(diffs.size(), 1U);
  EXPECT_TRUE(sameKey(diffs[0], 11, 22, 33));
  EXPECT_EQ(json::parse(api.readData(diffs[0].group, diffs[0].id, diffs[0].index))["value"], 5);

  EXPECT_TRUE(monitor->getValueDiff().empty());  // reported once only
  setValue(api, 11, 22, 33, 6);                   // a second change is a new report
  const auto again = monitor->getValueDiff();
  ASSERT_EQ(again.size(), 1U);
  EXPECT_TRUE(sameKey(again[0], 11, 22, 33));
}

TEST(ValueChangeMonitor, ReportsEveryChangedValueOnce) {
  SystemAPI api(false);
  auto monitor = startedMonitor();
  setValue(api, 12, 1, 0, 1);
  setValue(api, 12, 2, 0, 1);
  setValue(api, 12, 1, 0, 2);  // the same value twice is one report
  const auto diffs = monitor->getValueDiff();
  ASSERT_EQ(diffs.size(), 2U);
  EXPECT_TRUE(sameKey(diffs[0], 12, 1, 0) || sameKey(diffs[1], 12, 1, 0));
  EXPECT_TRUE(sameKey(diffs[0], 12, 2, 0) || sameKey(diffs[1], 12, 2, 0));
}

TEST(ValueChangeMonitor, RewritingTheSameValueIsNoChange) {
  SystemAPI api(false);
  setValue(api, 13, 1, 0, "same");
  auto monitor = startedMonitor();
  setValue(api, 13, 1, 0, "same");
  EXPECT_TRUE(monitor->getValueDiff().empty());
  setValue(api, 13, 1, 0, 1);
  setValue(api, 13, 1, 0, 1.0);  // equal number, but it reads back differently
  monitor->getValueDiff();
  setValue(api, 13, 1, 0, 1.0);
  EXPECT_TRUE(monitor->getValueDiff().empty());
}

TEST(ValueChangeMonitor, InitForgetsEarlierChanges) {
  SystemAPI api(false);
  auto monitor = std::make_unique<ValueChangeMonitor>();
  setValue(api, 14, 1, 0, 1);
  monitor->init();
  EXPECT_TRUE(monitor->getValueDiff().empty());
}

TEST(ValueChangeMonitor, MonitorsKeepTheirOwnPlace) {
  SystemAPI api(false);
  auto first = startedMonitor();
  setValue(api, 15, 1, 0, 1);
  auto second = startedMonitor();
  setValue(api, 15, 2, 0, 1);
  EXPECT_EQ(first->getValueDiff().size(), 2U);
  const auto diffs = second->getValueDiff();
  ASSERT_EQ(diffs.size(), 1U);
  EXPECT_TRUE(sameKey(diffs[0], 15, 2, 0));
}

// Polls the monitor (it has no way to wait) until it reports something or the time is up.
std::vector<ValueDiff> waitForDiff(ValueChangeMonitor& monitor, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    auto diffs = monitor.getValueDiff();
    if (!diffs.empty() || std::chrono::steady_clock::now() >= deadline) return diffs;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

// The threads of this process, the sensor's among them while it runs.
int threadCount() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
  return -1;
}

// The count once it has come to `expected` (under an emulator a joined thread is let go of a
// moment after the join returns), or as it is after five seconds.
int threadCountWhenItIs(int expected) {
  for (int wait = 0; wait < 500 && threadCount() != expected; ++wait)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return threadCount();
}

// With no sensor thread running, a change of our own is the only one the monitor reports, and the
// temperature stays as it was around it.
void expectOnlyChangeIsOurs(ValueChangeMonitor& monitor, SystemAPI& api) {
  monitor.init();
  const std::string temperature = api.readData(0, 1, 0);
  api.doRequest(R"({"command":"set_value","group":16,"id":1,"value":1})", "", 0);
  api.doRequest(R"({"command":"set_value","group":16,"id":1,"value":2})", "", 0);
  const auto diffs = monitor.getValueDiff();
  ASSERT_EQ(diffs.size(), 1U);
  EXPECT_TRUE(sameKey(diffs[0], 16, 1, 0));
  EXPECT_EQ(api.readData(0, 1, 0), temperature);
}

TEST(ValueChangeMonitorSensor, TheSensorPeriodDrivesTheTemperatureUntilSwitchedOff) {
  auto monitor = startedMonitor();
  {
    ScopedEnv period("KORVA_SIM_SENSOR_PERIOD_MS", "10");
    SystemAPI api(false);
    const std::string before = api.readData(0, 1, 0);
    for (int round = 0; round < 3; ++round) {
      const auto diffs = waitForDiff(*monitor, std::chrono::seconds(5));
      ASSERT_EQ(diffs.size(), 1U);
      EXPECT_TRUE(sameKey(diffs[0], 0, 1, 0));
    }
    EXPECT_NE(api.readData(0, 1, 0), before);
    EXPECT_TRUE(json::parse(api.readData(0, 1, 0))["value"].is_number());
  }
  const int running = threadCount();
  ScopedEnv off("KORVA_SIM_SENSOR_PERIOD_MS", nullptr);
  SystemAPI quiet(false);  // a SystemAPI made without the setting stops the sensor, and joins it
  EXPECT_EQ(threadCountWhenItIs(running - 1), running - 1);
  expectOnlyChangeIsOurs(*monitor, quiet);
}

TEST(ValueChangeMonitorSensor, TheDeviceIsQuietByDefault) {
  const int before = threadCount();
  ScopedEnv off("KORVA_SIM_SENSOR_PERIOD_MS", nullptr);
  SystemAPI api(false);
  auto monitor = startedMonitor();
  EXPECT_EQ(threadCount(), before) << "no sensor thread";
  expectOnlyChangeIsOurs(*monitor, api);
}

}  // namespace
