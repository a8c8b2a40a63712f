#pragma once
// What the server holds for its clients, all connections together, against one limit: the bytes
// of messages being received (read buffers, partial and assembled messages, a message while its
// handler runs: their storage, not only the bytes in it) and of frames queued. The limit bounds
// the whole process's memory, where each connection's own bounds (high water, queue limit,
// largest message) only bound each client.
//
// When growing would pass the limit (a read, or a frame pushed to a queue), connections are cut
// until the growth fits: their queues are freed and their readers stop, and the application sees
// error::memory_budget. A payload that several queues share (a broadcast) is counted once in the
// total. The connections are cut in this order:
//   1. those holding a frame or message that its client would not finish within `stalled_after`
//      seconds at the rate it sent it over the last few seconds (sending nothing: never), the
//      slowest first, whatever they hold: they hold memory without making progress, and their
//      clients are the ones making the budget wait;
//   2. the others by what cutting each frees (its weight), the queues first, then those receiving
//      a frame or message that will be complete soon (the slowest first), which free their memory
//      by themselves and whose cut would lose a request in flight. A shared payload weighs, for each
//      of its holders, nothing while another still holds it, so the readers of one broadcast never
//      weigh most because of it (the last one holding it carries it alone). Only a connection that
//      holds at least its fair share (the total over the number of connections, each shared
//      payload divided among its holders) and weighs more than the one that wants to grow is cut
//      for it.
// When there is none of either, the one that wants to grow is cut itself.

// After the total has fallen to half a peak of 256 KiB or more, the freed memory goes back to the
// system (many small frames leave the allocator's heap fragmented otherwise, and a device that once
// held a flood would keep its peak for good); so it does after half of a burst of at least 256
// connections has gone, and once more when the total has stayed under 1 MiB for a few seconds
// after having held 4 MiB or more (what was freed after the last halving, the flood's tail, went
// back to the allocator only).
//
// Threads: everything but the total, the counts and the list of accounts (which have locks and
// atomics of their own) runs on the event loop's one thread. A connection may be destroyed on
// another thread (its last holder a snapshot there), which is why the list has a lock; by then it
// holds nothing but what its reader kept, which close() gives back.

#include <atomic>
#include <cassert>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace KorvaWeb {

class Budget {
public:
  // One connection's share; the connection derives from it.
  class Account {
  public:
    Account() = default;
    virtual ~Account() = default;
    Account(const Account&) = delete;
    Account& operator=(const Account&) = delete;

    // What it holds: its reader's holdings, its frames (shared payloads counted whole) and what the
    // kernel holds of its sent bytes.
    std::size_t held() const noexcept { return receiving_ + queued_ + sent_; }
    // Its reader's holdings and, of its queue, what it holds alone (what cutting it would free) and
    // its share (each shared payload divided among its holders).
    struct Holdings {
      std::size_t alone = 0;
      std::size_t share = 0;
    };
    Holdings holdings() const noexcept {
      Holdings queued = queued_holdings();
      return {receiving_ + sent_ + queued.alone, receiving_ + sent_ + queued.share};
    }

    // Seconds its client would take to finish the frame or message it is sending, at the rate it
    // sent over the last few seconds (infinity when it sent nothing then); none when it is sending
    // nothing (on the loop).
    virtual std::optional<double> completion_time() const noexcept = 0;

  protected:
    // What its queue holds (on the loop).
    virtual Holdings queued_holdings() const noexcept = 0;
    // Asks the kernel what it holds of the bytes sent (on the loop), for set_sent().
    virtual void measure_sent() noexcept = 0;
    // The budget cuts this connection: it must give back everything it holds before it returns
    // (its queue uncounted, its reader's holdings set to 0), and then hold nothing more; but the
    // one whose growth could not be made room for (set_receiving() gives false) may keep its
    // reader's holdings until it sees the cut, which its reader does at once.
    virtual void cut_for_budget() = 0;
    // A reference that keeps the connection while it is cut; empty once its last holder has let go.
    virtual std::shared_ptr<Account> share() noexcept = 0;

  private:
    friend class Budget;
    std::size_t receiving_ = 0;
    std::size_t queued_ = 0;
    std::size_t sent_ = 0;
    bool open_ = false;
    bool evicted_ = false; // open, but no longer counted among the connections
    Account* previous_ = nullptr; // the open accounts, under the budget's lock
    Account* next_ = nullptr;
  };

  // 0: no limit (the counts are still kept). A frame or message that its client would take more
  // than `stalled_after` seconds to finish counts as stalled when room is made.
  explicit Budget(std::size_t limit = 0, double stalled_after = 5) : limit_(limit), stalled_after_(stalled_after) {}

  std::size_t limit() const noexcept { return limit_; }
  // Everything counted, over all connections.
  std::size_t held() const noexcept { return held_.load(std::memory_order_relaxed); }

  // Of held(), what the queued frames count (a payload that several queues share, once).
  std::size_t queued() const noexcept { return queued_total_.load(std::memory_order_relaxed); }
  // How often freed memory went back to the system.
  std::size_t memory_returns() const noexcept { return memory_returns_.load(std::memory_order_relaxed); }

  // The total has fallen under the low mark after a flood (on the loop, from inside whatever made
  // room): `quiet` arms a timer that calls return_if_quiet() a few seconds later (quiet_after).
  static constexpr std::chrono::seconds quiet_after{3};
  void on_quiet(std::function<void()> quiet) { quiet_ = std::move(quiet); }
  // The memory goes back to the system if the total is still under the low mark (on the loop).
  void return_if_quiet() noexcept;

  // Accepted connections that have not ended yet and hold their place under the limit of
  // connections (those that gave way to another are left out: evicted()).
  std::size_t connections() const noexcept { return connections_.load(std::memory_order_relaxed); }
  // Connections that gave way to another and have not ended yet.
  std::size_t evicted() const noexcept { return evicted_.load(std::memory_order_relaxed); }

  // A connection takes part (on the loop): it has been accepted under the limit of connections,
  // or let in beyond it.
  void open(Account& account);
  // The connection gives way to another (on the loop): it counts among the connections no more,
  // while what it holds still counts until it ends.
  void evict(Account& account) noexcept;
  // The connection ends (any thread: it is being destroyed, and calls this first): what its reader
  // still held goes back, and its place among the connections. After many connections have gone,
  // the memory they took goes back to the system.
  void close(Account& account) noexcept;

  // What the connection's reader holds is now `bytes`. False when the growth would pass the limit
  // and `account` was cut (it holds the most); the reader then stops.
  bool set_receiving(Account& account, std::size_t bytes);

  // A frame joins a queue: `cost` for the frame itself, `payload` bytes for its payload, which is
  // counted in the total only when no other queue holds it (`holders`, the number of queues that
  // do, is read after room was made: the connections cut for it drop their frames). False when
  // the growth would pass the limit and `account` was cut; nothing is counted then.
  bool add_queued(Account& account, std::size_t cost, std::size_t payload, const std::size_t& holders);
  // A frame leaves a queue (written, dropped or failed); `last_holder`: no queue holds its payload
  // any more.
  void remove_queued(Account& account, std::size_t cost, std::size_t payload, bool last_holder) noexcept;
  // The kernel took `bytes` more of what the connection sent (into its socket's send buffer): room
  // is made for them as for any growth. False when `account` was cut (its socket is reset, and the
  // kernel lets go of them); nothing is counted then.
  bool add_sent(Account& account, std::size_t bytes);
  // What the kernel holds of the bytes the connection sent is now `bytes`, as the kernel says:
  // counted without cutting anyone.
  void set_sent(Account& account, std::size_t bytes) noexcept;

private:
  // Room for `growth` more: at once when it fits, else by cutting the biggest holders until it
  // does. False when `who` was cut.
  bool room_for(Account& who, std::size_t growth) {
    return limit_ == 0 || held() + growth <= limit_ || make_room(who, growth);
  }
  bool make_room(Account& who, std::size_t growth);
  // The connections that may be cut so that `who` may grow, in the order to cut them; none: `who`
  // itself is to be cut.
  std::vector<std::shared_ptr<Account>> rank_for(const Account& who);
  void add(std::size_t bytes) noexcept {
    const std::size_t now = held_.fetch_add(bytes, std::memory_order_relaxed) + bytes;
    if (now > peak_held_)
      peak_held_ = now;
    if (now > flood_peak_)
      flood_peak_ = now;
  }
  void remove(std::size_t bytes) noexcept {
    [[maybe_unused]] const std::size_t before = held_.fetch_sub(bytes, std::memory_order_relaxed);
    assert(before >= bytes && "the budget gives back more than it counted");
  }
  void replace(std::size_t& count, std::size_t bytes) noexcept;
  // On the loop, after a removal: the memory goes back once the total is half its peak.
  void after_removal() noexcept;
  void return_memory() noexcept;

  const std::size_t limit_;
  const double stalled_after_;
  std::atomic<std::size_t> held_{0};
  std::atomic<std::size_t> queued_total_{0};
  std::atomic<std::size_t> connections_{0};
  std::atomic<std::size_t> evicted_{0};
  std::atomic<std::size_t> memory_returns_{0};
  // The open accounts. The lock is held only to link, unlink and look through them, never while a
  // connection is cut: a connection may end on any thread.
  std::mutex accounts_mutex_;
  Account* first_ = nullptr;
  // The most connections open, and the most held (on the loop), since the memory last went back
  // to the system.
  std::size_t peak_ = 0;
  std::size_t peak_held_ = 0;
  // The most held since the memory last went back after a quiet time, and whether a quiet time is
  // being waited for (on the loop).
  std::size_t flood_peak_ = 0;
  bool quiet_pending_ = false;
  std::function<void()> quiet_;
};

} // namespace KorvaWeb
