#pragma once
// The guard that every asynchronous completion handler of the server takes before it does
// anything. While count is not negative, acquire() admits the handler and counts it until its
// HandlerGuard is dropped; a negative count refuses entry, and a refused handler returns at once.

#include <atomic>
#include <optional>

namespace KorvaWeb {

class ScopeRunner;

class HandlerGuard {
public:
  explicit HandlerGuard(std::atomic<long>& count) noexcept : count_(count) {}
  ~HandlerGuard() { count_.fetch_sub(1); }
  HandlerGuard(const HandlerGuard&) = delete;
  HandlerGuard& operator=(const HandlerGuard&) = delete;

private:
  std::atomic<long>& count_;
};

class ScopeRunner {
public:
  // Number of handlers inside a guarded scope; negative when entry is refused.
  std::atomic<long> count{0};

  // Admits a handler (a guard) or refuses it (nothing). Lock-free.
  std::optional<HandlerGuard> acquire() noexcept {
    long expected = count.load();
    do {
      if (expected < 0)
        return std::nullopt;
    } while (!count.compare_exchange_weak(expected, expected + 1));
    return std::optional<HandlerGuard>(std::in_place, count);
  }

  // Refuses every later entry, then waits until the handlers inside have left. The service
  // never calls this; it exists for embedders that stop a server.
  void stop() noexcept {
    long expected = 0;
    while (!count.compare_exchange_weak(expected, -1)) {
      if (expected < 0)
        return;
      expected = 0;
    }
  }
};

} // namespace KorvaWeb
