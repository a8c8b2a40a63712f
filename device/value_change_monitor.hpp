#pragma once
// Reports which device values changed since the last call. Used by the monitor thread alone.

#include <cstddef>
#include <cstdint>
#include <vector>

// One changed value. The service reads it as readData(group, id, index), that is the ints at
// byte offsets 8, 4 and 0.
struct ValueDiff {
  std::int32_t index;
  std::int32_t id;
  std::int32_t group;
};
static_assert(sizeof(ValueDiff) == 12, "ValueDiff is three 32-bit ints");
static_assert(offsetof(ValueDiff, index) == 0, "ValueDiff layout");
static_assert(offsetof(ValueDiff, id) == 4, "ValueDiff layout");
static_assert(offsetof(ValueDiff, group) == 8, "ValueDiff layout");

class ValueChangeMonitor {
public:
  ValueChangeMonitor();
  ~ValueChangeMonitor();

  ValueChangeMonitor(const ValueChangeMonitor&) = delete;
  ValueChangeMonitor& operator=(const ValueChangeMonitor&) = delete;

  // Takes the starting picture of the device's values; called once before getValueDiff.
  void init();

  // The values that changed since init or the previous call.
  std::vector<ValueDiff> getValueDiff();

private:
  struct State;
  State* state_;
  // The device's monitor object is large (its layout takes about 680 KiB) and lives on the
  // monitor thread's stack; this block keeps our object the same size, so a thread started with
  // too small a stack fails here as it would on the device.
  unsigned char reserved_[680 * 1024];
};
