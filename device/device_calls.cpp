#include "device/device_calls.hpp"

#include "device/log_safe.hpp"

#include <time.h>

#include <algorithm>

namespace korva {

const char* DeviceCalls::site_name(Site site) noexcept {
  switch (site) {
  case server_thread:
    return "the server thread";
  case monitor_thread:
    return "the monitor thread";
  default:
    return "the push notification thread";
  }
}

std::int64_t DeviceCalls::coarse_clock() noexcept {
  struct timespec now {};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

DeviceCalls::Scope::Scope(DeviceCalls& calls, Site site, const char* name) noexcept : slot_(&calls.slots_[site]) {
  if (slot_->owned.exchange(true, std::memory_order_acquire)) {
    slot_ = nullptr; // another thread's call runs on this site: that one is reported
    return;
  }
  const std::uint64_t serial = slot_->serial.load(std::memory_order_relaxed);
  slot_->serial.store(serial + 1, std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_release);
  slot_->started.store(calls.clock_(), std::memory_order_relaxed);
  slot_->name.store(name, std::memory_order_relaxed);
  slot_->serial.store(serial + 2, std::memory_order_release);
}

DeviceCalls::Scope::~Scope() {
  if (!slot_)
    return;
  const std::uint64_t serial = slot_->serial.load(std::memory_order_relaxed);
  slot_->serial.store(serial + 1, std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_release);
  slot_->name.store(nullptr, std::memory_order_relaxed);
  slot_->serial.store(serial + 2, std::memory_order_release);
  slot_->owned.store(false, std::memory_order_release);
}

DeviceCalls::Snapshot DeviceCalls::read(Site site) const noexcept {
  const SlotState& slot = slots_[site];
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::uint64_t before = slot.serial.load(std::memory_order_acquire);
    if (before % 2 != 0)
      continue; // being written
    Snapshot snapshot{slot.name.load(std::memory_order_relaxed), slot.started.load(std::memory_order_relaxed), before};
    std::atomic_thread_fence(std::memory_order_acquire);
    if (slot.serial.load(std::memory_order_relaxed) == before)
      return snapshot;
  }
  return Snapshot{}; // changing all the time: calls come and go, none runs long
}

std::vector<DeviceCalls::Running> DeviceCalls::running() const {
  std::vector<Running> calls;
  const std::int64_t now = clock_();
  for (std::size_t site = 0; site < site_count; ++site) {
    const Snapshot call = read(static_cast<Site>(site));
    if (call.name)
      calls.push_back({call.name, static_cast<Site>(site), std::chrono::milliseconds(now - call.started)});
  }
  return calls;
}

bool DeviceCalls::running_on(Site site) const noexcept { return read(site).name != nullptr; }

std::vector<DeviceCalls::Running> DeviceCalls::stalled(std::chrono::milliseconds period,
                                                       std::chrono::milliseconds& next) {
  std::vector<Running> calls;
  const std::int64_t now = clock_();
  next = period;
  for (std::size_t site = 0; site < site_count; ++site) {
    const Snapshot call = read(static_cast<Site>(site));
    Reported& reported = reported_[site];
    if (!call.name)
      continue;
    if (call.serial != reported.serial)
      reported = Reported{call.serial, 0};
    const std::int64_t periods = (now - call.started) / period.count();
    if (periods > reported.periods) {
      reported.periods = periods;
      calls.push_back({call.name, static_cast<Site>(site), std::chrono::milliseconds(now - call.started)});
    }
    next = std::min(next, std::chrono::milliseconds(call.started + (reported.periods + 1) * period.count() - now));
  }
  return calls;
}

bool DeviceCalls::end_in_order(const std::string& reason) {
  if (!end_)
    return false;
  closed_.store(true, std::memory_order_release);
  end_(reason);
  return true;
}

DeviceCalls& device_calls() {
  static DeviceCalls calls;
  return calls;
}

bool FailureReports::admit(std::uint64_t& left_out) {
  const std::int64_t now = clock_();
  std::lock_guard<std::mutex> lock(mutex_);
  if (reported_ && now - last_ < interval_ms_) {
    ++left_out_;
    return false;
  }
  reported_ = true;
  last_ = now;
  left_out = left_out_;
  left_out_ = 0;
  return true;
}

std::string failure_text(const std::exception& failure) {
  const char* what = failure.what();
  return log_safe(what ? what : "");
}

} // namespace korva
