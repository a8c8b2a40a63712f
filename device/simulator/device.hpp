#pragma once
// The simulated device: one per process, shared by every SystemAPI, ValueChangeMonitor and
// LocalPushNotificationHandler object. It holds the device's values and, when asked to, a sensor
// thread that keeps changing the temperature. All members are safe to call from any thread.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace korva_sim {

struct ValueKey {
  std::int32_t group;
  std::int32_t id;
  std::int32_t index;

  bool operator<(const ValueKey& other) const {
    return std::tie(group, id, index) < std::tie(other.group, other.id, other.index);
  }
};

// The temperature sensor that the sensor thread drives.
constexpr ValueKey kTemperature{0, 1, 0};

// What the device stores, so that no client can make it hold without bound: a value is at most
// 1 MiB as JSON text, and all values together at most 4 MiB, each counting kEntryCost besides its
// text (so many small values are bounded too).
constexpr std::size_t kMaxValueText = 1024 * 1024;
constexpr std::size_t kMaxStored = 4 * 1024 * 1024;
constexpr std::size_t kEntryCost = 64;

class Device {
public:
  // The process's device, created on first use and never destroyed, so threads that are still
  // running while the process exits can go on using it.
  static Device& instance();

  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  // Whole seconds since the device was created.
  std::int64_t uptimeSeconds() const;

  std::optional<nlohmann::json> get(const ValueKey& key) const;
  // Stores the value (moved in), creating it when absent. Writing the value a key already holds
  // (same type and same value) is not a change. `text_size` is the length of the value as JSON
  // text (0: measured here). False, storing nothing, when that is more than kMaxValueText or the
  // values would then take more than kMaxStored.
  bool set(const ValueKey& key, nlohmann::json value, std::size_t text_size = 0);
  std::vector<std::pair<ValueKey, nlohmann::json>> all() const;

  // Written as JSON straight into `out`, without a copy of a value between (values may be large):
  // appendValue adds `,"value":` and the value and is false, adding nothing, for an unknown key;
  // appendAll adds the array of every value as objects {"group","id","index","value"}.
  bool appendValue(const ValueKey& key, std::string& out) const;
  void appendAll(std::string& out) const;

  // Change tracking: every change bumps the device's revision and stamps the changed value with
  // it. changedSince returns the keys stamped after `seen` and moves `seen` to the current
  // revision.
  std::uint64_t revision() const;
  std::vector<ValueKey> changedSince(std::uint64_t& seen) const;

  // The n-th key in key order, wrapping around; false when the table is empty.
  bool keyAt(std::size_t n, ValueKey& key) const;

  // Sets how often the sensor thread changes the temperature; zero stops the thread. The thread
  // sleeps on a condition variable between changes.
  void setSensorPeriod(std::chrono::milliseconds period);
  // Stops the sensor thread for good (at process exit).
  void shutdownSensor();

private:
  Device();
  void sensorLoop();

  struct Entry {
    nlohmann::json value;
    std::uint64_t revision;
    std::size_t cost; // its text and kEntryCost
  };

  const std::chrono::steady_clock::time_point created_;
  mutable std::mutex mutex_;  // guards values_ and revision_
  std::map<ValueKey, Entry> values_;
  std::uint64_t revision_ = 0;
  std::size_t stored_ = 0; // the costs of all values

  std::mutex control_mutex_;  // serialises starting and stopping the sensor thread
  std::mutex sensor_mutex_;   // guards the sensor fields below
  std::condition_variable sensor_cv_;
  std::chrono::milliseconds sensor_period_{0};
  bool sensor_stop_ = false;
  bool sensor_shut_down_ = false;
  std::thread sensor_;
};

// Appends `value` as compact JSON to `out`; bytes that are not valid UTF-8 become U+FFFD.
void appendJson(std::string& out, const nlohmann::json& value);

}  // namespace korva_sim
