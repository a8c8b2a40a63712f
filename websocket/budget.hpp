#pragma once
// What the server holds for its clients, all connections together, against one limit: the bytes
// of messages being received (read buffers, partial and assembled messages, a message while its
// handler runs) and of frames queued. The limit bounds the whole process's memory, where each
// connection's own bounds (high water, queue limit, largest message) only bound each client.
//
// When growing would pass the limit (a read, or a frame pushed to a queue), the connection that
// holds the most is cut, again until the growth fits: its queue is freed and its reader stops, and
// the application sees error::memory_budget. The biggest holder always holds at least its share of
// the limit (the limit over the number of connections), so one that holds little is never cut;
// when the one that wants to grow holds the most, it is the one cut.
//
// A payload that several queues share (a broadcast) is counted once, while it is queued anywhere;
// each account counts it whole, so that the connections holding a broadcast they do not read are
// the ones cut.
//
// Threads: everything but the total, the counts and the list of accounts (which have locks and
// atomics of their own) runs on the event loop's one thread. A connection may be destroyed on
// another thread (its last holder a snapshot there); by then it holds nothing but what its reader
// kept, which close() gives back.

#include <atomic>
#include <cassert>
#include <cstddef>
#include <memory>
#include <mutex>

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

    std::size_t held() const noexcept { return receiving_ + queued_; }
    // Accepted beyond the limit of connections: to be refused.
    bool refused() const noexcept { return refused_; }

  protected:
    // The budget cuts this connection: it must give back everything it holds before it returns
    // (its queue uncounted, its reader's holdings set to 0), and then hold nothing more.
    virtual void cut_for_budget() = 0;
    // A reference that keeps the connection while it is cut; empty once its last holder has let go.
    virtual std::shared_ptr<Account> share() noexcept = 0;

  private:
    friend class Budget;
    std::size_t receiving_ = 0;
    std::size_t queued_ = 0;
    bool open_ = false;
    bool refused_ = false;
    Account* previous_ = nullptr; // the open accounts, under the budget's lock
    Account* next_ = nullptr;
  };

  // 0: no limit (the counts are still kept).
  explicit Budget(std::size_t limit = 0) : limit_(limit) {}

  std::size_t limit() const noexcept { return limit_; }
  // Everything counted, over all connections.
  std::size_t held() const noexcept { return held_.load(std::memory_order_relaxed); }

  // Of held(), what the queued frames count (a payload that several queues share, once).
  std::size_t queued() const noexcept { return queued_total_.load(std::memory_order_relaxed); }

  // Accepted connections that have not ended yet.
  std::size_t connections() const noexcept { return connections_.load(std::memory_order_relaxed); }

  // A connection has been accepted and takes part (on the loop).
  void open(Account& account);
  // A connection beyond the limit of connections is accepted only to be refused: false when
  // `most` refusals are under way already (the connection is then dropped at once).
  bool refuse(Account& account, std::size_t most) noexcept;
  // The connection ends (any thread: it is being destroyed, and calls this first): what its reader
  // still held goes back, and its place among the open connections or the refusals. After many
  // connections have gone, the memory they took goes back to the system.
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
  // Bytes held for the connection that are taken already (a full socket's kernel buffer): counted
  // without cutting anyone, and given back with release().
  void hold(Account& account, std::size_t bytes) noexcept {
    add(bytes);
    account.queued_ += bytes;
  }
  void release(Account& account, std::size_t bytes) noexcept {
    remove(bytes);
    account.queued_ -= bytes;
  }

private:
  // Room for `growth` more: at once when it fits, else by cutting the biggest holders until it
  // does. False when `who` was cut.
  bool room_for(Account& who, std::size_t growth) {
    return limit_ == 0 || held() + growth <= limit_ || make_room(who, growth);
  }
  bool make_room(Account& who, std::size_t growth);
  void add(std::size_t bytes) noexcept { held_.fetch_add(bytes, std::memory_order_relaxed); }
  void remove(std::size_t bytes) noexcept {
    [[maybe_unused]] const std::size_t before = held_.fetch_sub(bytes, std::memory_order_relaxed);
    assert(before >= bytes && "the budget gives back more than it counted");
  }

  const std::size_t limit_;
  std::atomic<std::size_t> held_{0};
  std::atomic<std::size_t> queued_total_{0};
  std::atomic<std::size_t> connections_{0};
  std::atomic<std::size_t> refusals_{0};
  // The open accounts. The lock is held only to link, unlink and look through them, never while a
  // connection is cut: a connection may end on any thread.
  std::mutex accounts_mutex_;
  Account* first_ = nullptr;
  // The most connections open since the memory last went back to the system.
  std::size_t peak_ = 0;
};

} // namespace KorvaWeb
