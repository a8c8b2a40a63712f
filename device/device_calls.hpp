#pragma once
// The service's side of its calls into the device library, which is the one part of the process
// we do not write: which call runs on which of the service's threads and since when (for the
// reports of a call that stalls, the watchdog and the stop), how a failing call is reported
// without flooding the log, and the end of the process when the library throws something unknown.
//
// A standard exception is the library's way of reporting a failure: it costs the work of that one
// call (one request, one notification, one pushed value), and the service goes on. Anything else
// thrown leaves the library in a state nobody knows: no further call is made, and the process
// ends in order (every client told, the log written out, status 1).

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace korva {

class DeviceCalls {
  struct SlotState;

public:
  // The service's threads that call the device library, each one call at a time.
  enum Site : unsigned char { server_thread, monitor_thread, push_thread };
  static constexpr std::size_t site_count = 3;

  // "the server thread", "the monitor thread", "the push notification thread".
  static const char* site_name(Site site) noexcept;

  // Milliseconds on a monotonic clock. The service's is CLOCK_MONOTONIC_COARSE: steps of a few
  // milliseconds are plenty for calls watched in seconds, and it is read without a system call.
  using Clock = std::int64_t (*)() noexcept;
  static std::int64_t coarse_clock() noexcept;

  explicit DeviceCalls(Clock clock = &coarse_clock) : clock_(clock) {}
  DeviceCalls(const DeviceCalls&) = delete;
  DeviceCalls& operator=(const DeviceCalls&) = delete;

  // Marks the call `name` (a string that lives for good, such as a literal) as running on `site`
  // for the scope's lifetime. While a call runs on a site, a second one there (a library that
  // calls back on several threads at once) is not marked: the first is the one reported.
  class Scope {
  public:
    Scope(DeviceCalls& calls, Site site, const char* name) noexcept;
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

  private:
    SlotState* slot_; // null: not marked
  };

  struct Running {
    const char* name;
    Site site;
    std::chrono::milliseconds elapsed;
  };
  // The calls running now, at most one per site. Any thread.
  std::vector<Running> running() const;
  bool running_on(Site site) const noexcept;

  // The calls that have now run another whole `period` since they were last returned here: a call
  // is returned once it has run `period`, again at twice `period`, and so on. `next` becomes the
  // time until the next of the calls running now is due (`period` when none runs). One thread asks
  // (the service's watch).
  std::vector<Running> stalled(std::chrono::milliseconds period, std::chrono::milliseconds& next);

  // How the process ends when a call throws something that is not a standard exception; set once
  // by start-up before any thread calls the device.
  void on_unknown_failure(std::function<void(const std::string& reason)> end) { end_ = std::move(end); }
  // A call threw something that is not a standard exception: no later call is made (closed()) and
  // the process ends in order. False when nobody set how (a test without the service): the caller
  // then lets the exception go on, as an exception from the device always did.
  bool end_in_order(const std::string& reason);
  bool closed() const noexcept { return closed_.load(std::memory_order_acquire); }

private:
  struct Snapshot {
    const char* name = nullptr;
    std::int64_t started = 0;
    std::uint64_t serial = 0;
  };
  Snapshot read(Site site) const noexcept;

  // A site's call, written by the thread that makes it and read by any thread: the serial is odd
  // while the fields change (a sequence lock), and each call has a serial of its own.
  struct SlotState {
    std::atomic<bool> owned{false};
    std::atomic<std::uint64_t> serial{0};
    std::atomic<const char*> name{nullptr};
    std::atomic<std::int64_t> started{0};
  };

  const Clock clock_;
  SlotState slots_[site_count];
  // The watch's own record, per site: the call it last reported and how often.
  struct Reported {
    std::uint64_t serial = 0;
    std::int64_t periods = 0;
  } reported_[site_count];
  std::function<void(const std::string&)> end_;
  std::atomic<bool> closed_{false};
};

// The process's one record of its device calls: the device library is one per process too.
DeviceCalls& device_calls();

// How a device call went, for the caller to act on.
enum class CallOutcome {
  done,   // it returned
  failed, // it threw a standard exception: `failure` holds its text, ready for the log
  ended   // no call was made (the process is ending), or it threw something else: the process ends
};

// Runs `call` (a callable that makes the device call `name`) on `site`, marked while it runs.
template <class Call>
CallOutcome call_device(DeviceCalls::Site site, const char* name, std::string& failure, Call&& call);

// Reports of a failure that may repeat: the first is logged, then at most one per `interval`, and
// the records in between are counted. Any thread.
class FailureReports {
public:
  explicit FailureReports(std::chrono::seconds interval = std::chrono::seconds(60),
                          DeviceCalls::Clock clock = &DeviceCalls::coarse_clock)
      : interval_ms_(std::chrono::duration_cast<std::chrono::milliseconds>(interval).count()), clock_(clock) {}

  // True when this failure is to be logged; `left_out` then holds how many were not since the
  // last one that was.
  bool admit(std::uint64_t& left_out);

private:
  const std::int64_t interval_ms_;
  const DeviceCalls::Clock clock_;
  std::mutex mutex_;
  bool reported_ = false;
  std::int64_t last_ = 0;
  std::uint64_t left_out_ = 0;
};

// A failure's text for the log: its what() escaped and cut as client text is (it may quote
// whatever the library was given).
std::string failure_text(const std::exception& failure);

template <class Call>
CallOutcome call_device(DeviceCalls::Site site, const char* name, std::string& failure, Call&& call) {
  DeviceCalls& calls = device_calls();
  if (calls.closed())
    return CallOutcome::ended;
  try {
    DeviceCalls::Scope running(calls, site, name);
    call();
    return CallOutcome::done;
  } catch (const std::exception& e) {
    failure = failure_text(e);
    return CallOutcome::failed;
  } catch (...) {
    if (!calls.end_in_order(std::string("device call ") + name + " threw something that is not a standard exception"))
      throw;
    return CallOutcome::ended;
  }
}

} // namespace korva
