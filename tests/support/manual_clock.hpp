#pragma once
// A clock that moves only when a test moves it, and the waitable timer over it: the in-memory
// stream names it as its connections' timer, so that time-outs over the in-memory stream expire
// when the test says so, not after real seconds. The clock is one per test binary and only ever
// goes forward; each test moves it by what its time-outs need.

#include <boost/asio/basic_waitable_timer.hpp>

#include <atomic>
#include <chrono>

namespace korva_test {

struct ManualClock {
  using duration = std::chrono::steady_clock::duration;
  using rep = duration::rep;
  using period = duration::period;
  using time_point = std::chrono::time_point<ManualClock>;
  static constexpr bool is_steady = true;

  static time_point now() noexcept { return time_point(duration(ticks().load())); }
  static void advance(duration by) noexcept { ticks() += by.count(); }

private:
  static std::atomic<rep>& ticks() noexcept {
    static std::atomic<rep> value{0};
    return value;
  }
};

using ManualTimer = boost::asio::basic_waitable_timer<ManualClock>;

} // namespace korva_test
