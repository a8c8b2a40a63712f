#include "device/value_change_monitor.hpp"

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>

#include "device/simulator/device.hpp"
#include "device/simulator/settings.hpp"

using korva_sim::Device;

struct ValueChangeMonitor::State {
  std::uint64_t seen;  // the device revision this monitor has reported up to
};

ValueChangeMonitor::ValueChangeMonitor() : state_(nullptr) {
  // Touch the reserved block one page at a time from its top down, the way a stack grows, so a
  // thread whose stack is too small for this object faults on its guard page right here instead
  // of writing into whatever lies beyond it.
  constexpr std::size_t kPage = 4096;
  volatile unsigned char* block = reserved_;
  for (std::size_t offset = sizeof(reserved_); offset > 0;) {
    offset = offset > kPage ? offset - kPage : 0;
    block[offset] = 0;
  }
  // The simulator keeps nothing in the block: once probed, its whole pages go back to the system
  // (they are mapped again, empty, should anything touch them).
  const auto begin = reinterpret_cast<std::uintptr_t>(reserved_);
  const std::uintptr_t first = (begin + kPage - 1) & ~(std::uintptr_t(kPage) - 1);
  const std::uintptr_t last = (begin + sizeof(reserved_)) & ~(std::uintptr_t(kPage) - 1);
  if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED);
  state_ = new State{Device::instance().revision()};
}

ValueChangeMonitor::~ValueChangeMonitor() { delete state_; }

void ValueChangeMonitor::init() {
  state_->seen = Device::instance().revision();
  // Tells a test that every change from now on will be reported.
  const std::string ready = korva_sim::envText("KORVA_SIM_MONITOR_READY_FILE");
  if (!ready.empty()) std::ofstream(ready).flush();
}

std::vector<ValueDiff> ValueChangeMonitor::getValueDiff() {
  std::vector<ValueDiff> diffs;
  for (const auto& key : Device::instance().changedSince(state_->seen)) {
    ValueDiff diff{};
    diff.index = key.index;
    diff.id = key.id;
    diff.group = key.group;
    diffs.push_back(diff);
  }
  return diffs;
}
