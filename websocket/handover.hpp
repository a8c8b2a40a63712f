#pragma once
// Broadcasts that other threads hand to the event loop. A thread that sends one payload to many
// connections hands over one piece (the snapshot of the connections, the payload they share, the
// callback of each frame) instead of posting a task per connection. One task on the loop takes the
// pieces in the order they arrived and queues each on every connection of its snapshot, in the
// snapshot's order, as Connection::send() does on the loop. So that a backlog does not land in
// the send queues all at once, a task queues at most frames_per_turn frames and leaves the rest to
// a task behind the writes it started.
//
// The reserve. While the loop does not run (held up inside a handler, a device call that takes a
// minute, say), the pieces wait here, counted as their payload's storage, piece_overhead and the
// snapshot's pointers. `reserve` bounds that count (0: no bound). Reaching it cuts no connection
// (none caused it); a piece that does not fit is handed over one of two ways:
//   - wait: the calling thread blocks until the loop has taken enough (a thread that may wait);
//   - drop_oldest: never blocks. The oldest pieces handed over this way that the loop has not
//     taken yet are dropped until it fits, and if it still does not (what is left waits), the
//     piece itself is dropped. For a thread that must never wait on the loop: the call that holds
//     the loop up may be waiting for that thread.
// A piece larger than the reserve is let in when nothing else is held.
//
// Drops are counted (dropped()) and reported to `report` on the loop when it has caught up after
// them (taken every piece), so once per stall with their number; a loop that has taken pieces for
// report_interval without catching up reports them all the same.
//
// Threads: hand_over() from any thread but the loop's; take(), the queueing and `report` on the
// loop. The lock guards the pieces and their count; it is never held while a frame is queued or a
// report made. A dropped piece may hold the last reference to a connection, which then ends on the
// thread that dropped it.

#include "websocket/frame.hpp"
#include "websocket/message.hpp"
#include "websocket/queued_frames.hpp"
#include "websocket/scope_runner.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include <atomic>
#include <cassert>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace KorvaWeb {

// What hand_over() does with a piece that does not fit in the reserve.
enum class WhenFull { wait, drop_oldest };

template <class Connection>
class Handover : public std::enable_shared_from_this<Handover<Connection>> {
public:
  using ConnectionList = std::vector<std::shared_ptr<Connection>>;
  struct Piece {
    std::shared_ptr<const ConnectionList> connections;
    std::shared_ptr<SendStream> payload;
    SendCallback callback;
    unsigned char fin_rsv_opcode = fin_rsv_opcodes::text;
  };

  // What a piece counts beyond its payload and pointers: about what its entry, its payload stream
  // and the callback take.
  static constexpr std::size_t piece_overhead = 256;
  static constexpr std::size_t frames_per_turn = 4096;
  static constexpr std::chrono::seconds report_interval{60};

  Handover(boost::asio::io_context::executor_type executor, std::size_t reserve,
           std::shared_ptr<ScopeRunner> handler_runner, std::function<void(std::uint64_t dropped)> report)
      : executor_(std::move(executor)), reserve_(reserve), handler_runner_(std::move(handler_runner)),
        report_(std::move(report)) {}
  Handover(const Handover&) = delete;
  Handover& operator=(const Handover&) = delete;

  static std::size_t cost(const Piece& piece) noexcept {
    return piece.payload->capacity() + piece_overhead + piece.connections->size() * sizeof(std::shared_ptr<Connection>);
  }

  // `piece` must have a connection (an empty snapshot has nothing to hand over).
  void hand_over(Piece piece, WhenFull when_full) {
    assert(!executor_.running_in_this_thread() && "the loop would wait for itself");
    const std::size_t piece_cost = cost(piece);
    std::vector<Entry> gone; // let go of after the lock
    bool post = false;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      if (closed_)
        return;
      if (!fits(piece_cost)) {
        if (when_full == WhenFull::wait) {
          ++waiting_;
          room_.wait(lock, [&] { return closed_ || fits(piece_cost); });
          --waiting_;
          if (closed_)
            return;
        } else {
          while (!fits(piece_cost) && !droppable_.empty()) {
            held_ -= droppable_.front().cost;
            gone.push_back(std::move(droppable_.front()));
            droppable_.pop_front();
          }
          const bool fit = fits(piece_cost);
          count_dropped(gone.size() + (fit ? 0 : 1));
          if (!fit)
            return;
        }
      }
      (when_full == WhenFull::wait ? kept_ : droppable_).push_back({std::move(piece), piece_cost, next_order_++});
      held_ += piece_cost;
      post = !posted_;
      posted_ = true;
    }
    if (post)
      post_take();
  }

  // What the pieces not taken yet count.
  std::size_t held() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return held_;
  }
  // Threads waiting for room now.
  std::size_t waiting() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return waiting_;
  }
  // Pieces dropped since the start. Any thread.
  std::uint64_t dropped() const noexcept { return dropped_.load(std::memory_order_relaxed); }

  // The server ends: the pieces not taken go, waiting threads return, later pieces are let go of.
  void close() {
    std::deque<Entry> gone_kept, gone_droppable;
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    gone_kept.swap(kept_);
    gone_droppable.swap(droppable_);
    held_ = 0;
    room_.notify_all();
  }

private:
  struct Entry {
    Piece piece;
    std::size_t cost;
    std::uint64_t order; // of arrival, over both ways of handing over
  };

  bool fits(std::size_t piece_cost) const noexcept {
    return reserve_ == 0 || held_ == 0 || held_ + piece_cost <= reserve_;
  }
  void count_dropped(std::size_t count) noexcept {
    unreported_ += count;
    dropped_.fetch_add(count, std::memory_order_relaxed);
  }

  void post_take() {
    boost::asio::post(executor_, [self = this->shared_from_this()] { self->take(); });
  }

  // On the loop: takes pieces in their order of arrival (a batch of frames_per_turn frames at most),
  // queues them, and posts itself again behind the writes they started when more are waiting.
  void take() {
    auto guard = handler_runner_->acquire();
    if (!guard)
      return;
    bool more = false;
    std::uint64_t report = 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      std::size_t frames = 0;
      while (frames < frames_per_turn && (!kept_.empty() || !droppable_.empty())) {
        std::deque<Entry>& oldest =
            droppable_.empty() || (!kept_.empty() && kept_.front().order < droppable_.front().order) ? kept_ : droppable_;
        frames += oldest.front().piece.connections->size();
        held_ -= oldest.front().cost;
        batch_.push_back(std::move(oldest.front().piece));
        oldest.pop_front();
      }
      if (waiting_ > 0)
        room_.notify_all();
      more = !kept_.empty() || !droppable_.empty();
      posted_ = more;
      if (unreported_ > 0) {
        const auto now = std::chrono::steady_clock::now();
        if (!behind_since_)
          behind_since_ = now;
        if (!more || now - *behind_since_ >= report_interval) {
          report = unreported_;
          unreported_ = 0;
          behind_since_.reset();
        }
      }
    }
    // The batch goes, and the next task is posted, however the queueing ends.
    struct Finish {
      Handover& handover;
      bool more;
      ~Finish() {
        handover.batch_.clear();
        if (more)
          handover.post_take();
      }
    } finish{*this, more};
    for (const Piece& piece : batch_)
      for (const auto& connection : *piece.connections)
        connection->send(piece.payload, piece.callback, piece.fin_rsv_opcode);
    if (report != 0 && report_)
      report_(report);
  }

  const boost::asio::io_context::executor_type executor_;
  const std::size_t reserve_;
  const std::shared_ptr<ScopeRunner> handler_runner_;
  const std::function<void(std::uint64_t)> report_;

  mutable std::mutex mutex_;
  std::condition_variable room_;
  // The pieces not taken yet, by the way they were handed over, each in order of arrival.
  std::deque<Entry> kept_, droppable_;
  std::size_t held_ = 0;
  std::uint64_t next_order_ = 0;
  std::size_t waiting_ = 0;
  bool posted_ = false; // a take() is posted and has not taken its batch yet
  bool closed_ = false;
  std::uint64_t unreported_ = 0;
  // Since when the loop has been taking pieces after drops without catching up.
  std::optional<std::chrono::steady_clock::time_point> behind_since_;
  std::atomic<std::uint64_t> dropped_{0};

  // The loop's: the pieces a take() queues, kept for their room.
  std::vector<Piece> batch_;
};

} // namespace KorvaWeb
