#include "device/simulator/device.hpp"

#include <string>

namespace korva_sim {
namespace {

Device* g_device = nullptr;
std::once_flag g_device_once;

// Stops the sensor thread when the process exits; the device itself stays alive.
struct SensorStopper {
  ~SensorStopper() {
    if (g_device != nullptr) g_device->shutdownSensor();
  }
} g_sensor_stopper;

}  // namespace

Device& Device::instance() {
  std::call_once(g_device_once, [] { g_device = new Device(); });
  return *g_device;
}

Device::Device() : created_(std::chrono::steady_clock::now()) {
  // The values a freshly started device shows.
  set(kTemperature, 23.5);                        // temperature sensor, degrees Celsius
  set(ValueKey{0, 2, 0}, 1200);                   // fan speed, rpm
  set(ValueKey{0, 3, 0}, "korva-sim");            // device name
  set(ValueKey{1, 1, 0}, true);                   // output 0 enabled
  set(ValueKey{1, 1, 1}, false);                  // output 1 enabled
}

std::int64_t Device::uptimeSeconds() const {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() -
                                                          created_)
      .count();
}

std::optional<nlohmann::json> Device::get(const ValueKey& key) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = values_.find(key);
  if (found == values_.end()) return std::nullopt;
  return found->second.value;
}

bool Device::set(const ValueKey& key, nlohmann::json value, std::size_t text_size) {
  if (text_size == 0) {
    std::string text;
    appendJson(text, value);
    text_size = text.size();
  }
  if (text_size > kMaxValueText) return false;
  const std::size_t cost = text_size + kEntryCost;
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = values_.find(key);
  const std::size_t replaced = found == values_.end() ? 0 : found->second.cost;
  if (stored_ - replaced + cost > kMaxStored) return false;
  stored_ = stored_ - replaced + cost;
  if (found == values_.end()) {
    values_.emplace(key, Entry{std::move(value), ++revision_, cost});
    return true;
  }
  Entry& entry = found->second;
  entry.cost = cost;
  // 1 and 1.0 compare equal but read back differently, so the type counts too.
  if (entry.value.type() == value.type() && entry.value == value) return true;
  entry.value = std::move(value);
  entry.revision = ++revision_;
  return true;
}

bool Device::appendValue(const ValueKey& key, std::string& out) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = values_.find(key);
  if (found == values_.end()) return false;
  out += ",\"value\":";
  appendJson(out, found->second.value);
  return true;
}

void Device::appendAll(std::string& out) const {
  std::lock_guard<std::mutex> lock(mutex_);
  out += '[';
  for (const auto& [key, entry] : values_) {
    if (out.back() != '[') out += ',';
    out += "{\"group\":" + std::to_string(key.group) + ",\"id\":" + std::to_string(key.id) +
           ",\"index\":" + std::to_string(key.index) + ",\"value\":";
    appendJson(out, entry.value);
    out += '}';
  }
  out += ']';
}

void appendJson(std::string& out, const nlohmann::json& value) {
  // Room for a string's text, its quotes and what usually follows it (the closing brackets of a
  // reply) up front, so that a large one is written in one go and its text is never moved.
  if (value.is_string()) out.reserve(out.size() + value.get_ref<const std::string&>().size() + 16);
  nlohmann::detail::serializer<nlohmann::json> serializer(
      nlohmann::detail::output_adapter<char>(out), ' ', nlohmann::json::error_handler_t::replace);
  serializer.dump(value, false, false, 0);
}

std::vector<std::pair<ValueKey, nlohmann::json>> Device::all() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::pair<ValueKey, nlohmann::json>> result;
  result.reserve(values_.size());
  for (const auto& [key, entry] : values_) result.emplace_back(key, entry.value);
  return result;
}

std::uint64_t Device::revision() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return revision_;
}

std::vector<ValueKey> Device::changedSince(std::uint64_t& seen) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<ValueKey> changed;
  if (revision_ == seen) return changed;
  for (const auto& [key, entry] : values_) {
    if (entry.revision > seen) changed.push_back(key);
  }
  seen = revision_;
  return changed;
}

bool Device::keyAt(std::size_t n, ValueKey& key) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (values_.empty()) return false;
  auto it = values_.begin();
  std::advance(it, static_cast<std::ptrdiff_t>(n % values_.size()));
  key = it->first;
  return true;
}

void Device::setSensorPeriod(std::chrono::milliseconds period) {
  std::lock_guard<std::mutex> control(control_mutex_);
  {
    std::lock_guard<std::mutex> lock(sensor_mutex_);
    if (sensor_shut_down_) return;
    sensor_period_ = period;
    if (period.count() > 0) {
      if (!sensor_.joinable()) {
        sensor_stop_ = false;
        sensor_ = std::thread([this] { sensorLoop(); });
      }
      sensor_cv_.notify_all();  // a running thread picks up the new period
      return;
    }
    sensor_stop_ = true;
  }
  sensor_cv_.notify_all();
  if (sensor_.joinable()) sensor_.join();
}

void Device::shutdownSensor() {
  setSensorPeriod(std::chrono::milliseconds(0));
  std::lock_guard<std::mutex> lock(sensor_mutex_);
  sensor_shut_down_ = true;
}

void Device::sensorLoop() {
  // The temperature walks up from 20.0 to 26.9 degrees in steps of 0.1, then starts again, so
  // every step is a change. Kept in tenths to avoid rounding noise.
  int tenths = 235;
  std::unique_lock<std::mutex> lock(sensor_mutex_);
  for (;;) {
    const auto period = sensor_period_;
    const bool changed_or_stopped = sensor_cv_.wait_for(
        lock, period, [&] { return sensor_stop_ || sensor_period_ != period; });
    if (sensor_stop_) return;
    if (changed_or_stopped) continue;  // new period: start the wait again
    tenths = tenths >= 269 ? 200 : tenths + 1;
    lock.unlock();
    set(kTemperature, tenths / 10.0);
    lock.lock();
  }
}

}  // namespace korva_sim
