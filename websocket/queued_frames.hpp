#pragma once
// The frames of one send queue and what they count: the frame at the front (being written) and the
// frames waiting behind it, in order, each counting its header, its payload and frame_overhead
// against the queue's own bounds and, when the connection counts against the server's memory
// budget, against that too. A payload shared by several queues counts once in the budget, and
// weighs for each queue as holdings() says. The queue itself writes them (send_queue.hpp).
//
// What the frames leave in the kernel counts against the budget as well, up to what the socket's
// send buffer takes (`sent_allowance`): each write counts its bytes and what the kernel keeps
// beside them as soon as it is done (making room if need be), until the kernel is asked what it
// still holds (measured()): when the queue has gone idle after a fair amount was written, and
// whenever the budget has to make room.
//
// Threads: the connection's event-loop thread only.

#include "websocket/budget.hpp"
#include "websocket/frame.hpp"
#include "websocket/message.hpp"

#include <cstddef>
#include <functional>
#include <list>
#include <memory>
#include <optional>

namespace KorvaWeb {

using SendCallback = std::function<void(const boost::system::error_code&)>;

// What one queued frame counts beyond its header and payload: about what its queue entry, its
// payload stream and their allocations take.
constexpr std::size_t frame_overhead = 256;

class QueuedFrames {
public:
  struct Frame {
    FrameHeader header;
    std::shared_ptr<SendStream> payload;
    SendCallback callback;
    std::size_t cost = 0;    // what the frame counts against the bounds; 0 once uncounted
    std::size_t written = 0; // bytes of header and payload written so far
  };

  enum class Added {
    front,      // it is the frame at the front now: its writing is to start
    behind,     // it waits behind the frame at the front
    over_limit, // it would take the frames over `limit`: not added
    cut         // the budget cut the connection to make room: not added
  };

  QueuedFrames() = default;
  QueuedFrames(const QueuedFrames&) = delete;
  QueuedFrames& operator=(const QueuedFrames&) = delete;

  // Above this many bytes counted the connection's reader waits (0: never); a frame that would take
  // the count over `limit` is not added (0: no bound).
  std::size_t high_water = 0;
  std::size_t limit = 0;

  // The frames count against `budget` too, as `account`'s (the connection's).
  void count_against(Budget& budget, Budget::Account& account) noexcept {
    budget_ = &budget;
    account_ = &account;
  }
  bool counted() const noexcept { return budget_ != nullptr; }

  // The most the kernel holds of the bytes written, as counted (0: not counted).
  std::size_t sent_allowance = 0;
  // `bytes` went into the socket: counted at once, so that the kernel holds no more than the
  // budget allows, however many sockets one turn writes to. False when the budget cut the
  // connection to make room (its socket is closed, and the kernel has let go of them).
  bool wrote(std::size_t bytes) {
    if (!budget_ || sent_allowance == 0)
      return true;
    const std::size_t more = bytes + kernel_overhead_per_write;
    const std::size_t counted = sent_ + more < sent_allowance ? sent_ + more : sent_allowance;
    unmeasured_ += more;
    if (!budget_->add_sent(*account_, counted - sent_))
      return false;
    sent_ = counted;
    return true;
  }
  // Enough has been written since the kernel was last asked that asking is worth a system call.
  bool measure_due() const noexcept { return unmeasured_ >= measure_after; }
  // What the kernel holds of the bytes written is `bytes`, or nothing (the socket was reset).
  void measured(std::size_t bytes) noexcept {
    unmeasured_ = 0;
    if (!budget_ || sent_allowance == 0)
      return;
    sent_ = bytes < sent_allowance ? bytes : sent_allowance;
    budget_->set_sent(*account_, sent_);
  }

  Added add(Frame frame) {
    const std::size_t payload = frame.payload->size();
    frame.cost = frame.header.size + frame_overhead + payload;
    if (limit != 0 && bytes_ + frame.cost > limit)
      return Added::over_limit;
    if (budget_ && !budget_->add_queued(*account_, frame.cost - payload, payload, frame.payload->queues_))
      return Added::cut;
    ++frame.payload->queues_;
    bytes_ += frame.cost;
    if (front_) {
      waiting_.push_back(std::move(frame));
      return Added::behind;
    }
    front_.emplace(std::move(frame));
    return Added::front;
  }

  // The frame at the front, being written; none when the queue is empty.
  Frame* front() noexcept { return front_ ? &*front_ : nullptr; }
  // The frame at the front leaves (written, or given up): the next waiting one takes its place.
  // False when none is left.
  bool pop_front() {
    uncount(*front_);
    front_.reset();
    if (waiting_.empty())
      return false;
    front_.emplace(std::move(waiting_.front()));
    waiting_.pop_front();
    return true;
  }
  // The frames waiting go, without their callbacks; the one at the front stays, but counts no more.
  void drop_waiting() noexcept {
    if (front_)
      uncount(*front_);
    for (Frame& frame : waiting_)
      uncount(frame);
    waiting_.clear();
  }
  // The front frame is let go of as well (after drop_waiting()).
  void clear() noexcept { front_.reset(); }

  std::size_t bytes() const noexcept { return bytes_; }
  bool above_high_water() const noexcept { return high_water != 0 && bytes_ > high_water; }

  // What the frames hold: alone, what cutting the connection would free of them (each frame's own
  // cost, and the payloads that no other queue holds: a broadcast's stays while another reader has
  // it); as a share, each payload divided among the queues that hold it.
  Budget::Account::Holdings holdings() const noexcept {
    Budget::Account::Holdings held;
    auto add = [&held](const Frame& frame) {
      const std::size_t payload = frame.payload->size(), holders = frame.payload->queues_;
      held.alone += frame.cost - payload + (holders == 1 ? payload : 0);
      held.share += frame.cost - payload + payload / holders;
    };
    if (front_ && front_->cost != 0)
      add(*front_);
    for (const Frame& frame : waiting_)
      add(frame);
    return held;
  }

private:
  // The frame counts no more, here and in the budget.
  void uncount(Frame& frame) noexcept {
    if (frame.cost == 0)
      return;
    bytes_ -= frame.cost;
    const std::size_t payload = frame.payload->size();
    const bool last_holder = --frame.payload->queues_ == 0;
    if (budget_)
      budget_->remove_queued(*account_, frame.cost - payload, payload, last_holder);
    frame.cost = 0;
  }

  // What the kernel keeps beside the bytes of one write (a buffer of its own and its bookkeeping),
  // and how much is written before the kernel is asked again.
  static constexpr std::size_t kernel_overhead_per_write = 1024;
  static constexpr std::size_t measure_after = 32 * 1024;

  Budget* budget_ = nullptr;
  Budget::Account* account_ = nullptr;
  std::size_t sent_ = 0;       // what the kernel holds of the bytes written, as counted
  std::size_t unmeasured_ = 0; // counted since the kernel was last asked
  // The frame at the front, and the frames behind it (in a list only while another is at the
  // front, so that an idle connection holds no list storage).
  std::optional<Frame> front_;
  std::list<Frame> waiting_;
  std::size_t bytes_ = 0;
};

} // namespace KorvaWeb
