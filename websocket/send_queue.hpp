#pragma once
// A connection's send queue: the frames waiting to be written to its socket, and their writing.
// Frames leave whole and in the order they were pushed, each as its header and payload in one
// gathered write.
//
// Writes. push() writes nothing: the first frame of an idle queue is written by a task posted
// behind the handlers of the event loop's turn (one for all the queues of a server that became
// busy in the turn: write_turn.hpp), which goes on with the frames pushed meanwhile. The answers
// of a turn thus leave back to back, after its work, and the clients are woken far less often. A
// frame that the socket takes whole is done at once; one that it takes in part is finished by an
// asynchronous write. Either way its callback is called with the result (success included) while
// it is still at the front, never from inside push().
//
// Bounds. Each frame counts its header, its payload and frame_overhead, so that many small frames
// are bounded as well as a few big ones. Above `high_water` the connection's reader waits
// (wait_for_room); a frame that would take the count over `limit` is refused (0: no bound).
// Frames also count against the server's memory budget (count_against), which may cut the
// connection to make room.
//
// Failure. A failed write, or fail(), ends the queue for good: the frames waiting are dropped
// without their callbacks, the frame at the front tells its callback the error (fail()'s, or the
// socket's) when its write ends (or would have begun), and every later push is refused with that
// error.
//
// Threads: the connection's event-loop thread only. Payloads are shared with their producers and
// never copied; a producer does not write to a payload after pushing it.

#include "websocket/budget.hpp"
#include "websocket/error.hpp"
#include "websocket/frame.hpp"
#include "websocket/message.hpp"
#include "websocket/scope_runner.hpp"
#include "websocket/write_turn.hpp"

#include <boost/asio/buffer.hpp>
#include <boost/asio/post.hpp>

#include <array>
#include <cstddef>
#include <exception>
#include <functional>
#include <list>
#include <memory>
#include <optional>

namespace KorvaWeb {

using SendCallback = std::function<void(const boost::system::error_code&)>;

// What one queued frame counts beyond its header and payload: about what its queue entry, its
// payload stream and their allocations take.
constexpr std::size_t frame_overhead = 256;

template <class Stream>
class SendQueue {
public:
  struct Frame {
    FrameHeader header;
    std::shared_ptr<SendStream> payload;
    SendCallback callback;
    std::size_t cost = 0;    // what the frame counts against the bounds; 0 once uncounted
    std::size_t written = 0; // bytes of header and payload written so far
  };

  // What push() did with a frame.
  enum class Pushed {
    queued,
    over_limit, // it would take the queue over `limit`: not queued
    failed      // the queue has failed (failure() says why), or the budget cut the connection for it
  };

  // `handler_runner` guards the write completions, as it guards every completion of the server.
  SendQueue(Stream& stream, const std::shared_ptr<ScopeRunner>& handler_runner)
      : stream_(stream), handler_runner_(handler_runner) {}
  SendQueue(const SendQueue&) = delete;
  SendQueue& operator=(const SendQueue&) = delete;

  std::size_t high_water = 0;
  std::size_t limit = 0;

  // Frames are counted against `budget` too, as `account`'s (the connection's).
  void count_against(Budget& budget, Budget::Account& account) noexcept {
    budget_ = &budget;
    account_ = &account;
  }
  // The connection counts against a budget.
  bool counted() const noexcept { return budget_ != nullptr; }
  // Writing starts from the turn's task shared by the server's queues, not from a task of its own.
  void start_in(std::shared_ptr<WriteTurn> turn) noexcept { turn_ = std::move(turn); }

  // Queues the frame. The task that starts an idle queue's writing, and an asynchronous write,
  // keep the connection alive through keep() (a std::shared_ptr to it). A frame refused is not
  // queued and its callback is not called.
  template <class Keep>
  Pushed push(Frame frame, const Keep& keep) {
    if (failure_)
      return Pushed::failed;
    const std::size_t payload = frame.payload->size();
    frame.cost = frame.header.size + frame_overhead + payload;
    if (limit != 0 && bytes_ + frame.cost > limit)
      return Pushed::over_limit;
    if (budget_ && !budget_->add_queued(*account_, frame.cost - payload, payload, frame.payload->queues_))
      return Pushed::failed; // the budget cut this connection to make room
    ++frame.payload->queues_;
    bytes_ += frame.cost;
    if (writing_) {
      waiting_.push_back(std::move(frame));
      return {};
    }
    writing_.emplace(std::move(frame));
    start_later(keep());
    return Pushed::queued;
  }

  std::size_t bytes() const noexcept { return bytes_; }
  bool above_high_water() const noexcept { return high_water != 0 && bytes_ > high_water; }
  const boost::system::error_code& failure() const noexcept { return failure_; }

  // The reader stops while the queue is above its high-water mark: `resume` is posted once the
  // queue has drained to the mark, or has failed (the reader then meets the failure). It must hold
  // the connection only weakly: a queue above the mark has a write under way, which holds it.
  void wait_for_room(std::function<void()> resume) { paused_reader_ = std::move(resume); }

  // What the queue holds: alone, what cutting the connection would free of it (each frame's own
  // cost, and the payloads that no other queue holds: a broadcast's stays while another reader has
  // it); as a share, each payload divided among the queues that hold it.
  Budget::Account::Holdings holdings() const noexcept {
    Budget::Account::Holdings held;
    auto add = [&held](const Frame& frame) {
      const std::size_t payload = frame.payload->size(), holders = frame.payload->queues_;
      held.alone += frame.cost - payload + (holders == 1 ? payload : 0);
      held.share += frame.cost - payload + payload / holders;
    };
    if (writing_ && writing_->cost != 0)
      add(*writing_);
    for (const Frame& frame : waiting_)
      add(frame);
    return held;
  }

  // Ends the queue with `error` (see Failure above). The caller closes the socket, which ends the
  // write under way; the frame being written counts no more from now on.
  void fail(const boost::system::error_code& error) {
    if (!failure_)
      failure_ = error;
    if (writing_)
      uncount(*writing_);
    drop_waiting_frames();
    resume_reader();
  }

private:
  static void start_from_turn(void* queue, const std::shared_ptr<void>& owner) {
    static_cast<SendQueue*>(queue)->start_writing(owner);
  }
  // The posted start of the write of an idle queue's first frame (see Writes above).
  void start_writing(const std::shared_ptr<void>& owner) {
    auto guard = handler_runner_->acquire();
    if (!guard || !writing_)
      return;
    if (failure_) { // failed before its write began: the frame is told so, as if its write had failed
      const SendCallback callback = std::move(writing_->callback);
      writing_.reset();
      if (callback)
        callback(failure_);
      return;
    }
    write([&owner] { return owner; });
  }

  template <class Keep>
  void write(const Keep& keep) {
    for (;;) {
      boost::system::error_code ec;
      const std::size_t bytes = stream_.write_some(unwritten(*writing_), ec);
      if (ec) // would block, or failed: the asynchronous write finds out again and reports it
        break;
      writing_->written += bytes;
      if (!done(*writing_))
        break;
      tell_front(ec, keep); // at the front still: what it pushes goes behind
      if (!next_frame())
        return;
    }
    stream_.async_write_some(unwritten(*writing_),
                             [this, owner = std::shared_ptr<void>(keep())](const boost::system::error_code& ec,
                                                                           std::size_t bytes) { written(ec, bytes, owner); });
  }

  // Completion of an asynchronous write of the frame at the front.
  void written(boost::system::error_code ec, std::size_t bytes, const std::shared_ptr<void>& owner) {
    auto guard = handler_runner_->acquire();
    if (!guard)
      return;
    auto keep = [&owner] { return owner; };
    if (!ec) {
      writing_->written += bytes;
      if (!done(*writing_)) {
        write(keep);
        return;
      }
    } else if (failure_) {
      ec = failure_; // the write ended because the queue was failed: say why
    }
    // The frame stays at the front while its callback runs: a frame pushed from inside the
    // callback goes behind it.
    tell_front(ec, keep);
    if (ec) {
      fail(ec);
      writing_.reset();
      return;
    }
    if (next_frame())
      write(keep);
  }

  // Calls the callback of the frame at the front with the result of its write. Should the callback
  // throw, the frame is done all the same (the next one takes its place, or the queue fails with
  // `ec`), and the rest is written from a task of its own, before the exception goes on to
  // whoever runs the event loop.
  template <class Keep>
  void tell_front(const boost::system::error_code& ec, const Keep& keep) {
    if (!writing_->callback)
      return;
    struct OnThrow {
      SendQueue& queue;
      const boost::system::error_code& ec;
      const Keep& keep;
      const int exceptions = std::uncaught_exceptions();
      ~OnThrow() {
        if (std::uncaught_exceptions() > exceptions)
          queue.after_throwing_callback(ec, keep());
      }
    } on_throw{*this, ec, keep};
    writing_->callback(ec);
  }
  void after_throwing_callback(const boost::system::error_code& ec, const std::shared_ptr<void>& owner) {
    if (ec) {
      fail(ec);
      writing_.reset();
    } else if (next_frame()) {
      start_later(owner);
    }
  }
  // The writing of the frame at the front starts from a task behind the turn's handlers.
  void start_later(std::shared_ptr<void> owner) {
    if (turn_)
      turn_->add(&SendQueue::start_from_turn, this, std::move(owner));
    else
      boost::asio::post(stream_.get_executor(), [this, owner = std::move(owner)] { start_writing(owner); });
  }

  // The frame at the front is written: the next waiting one takes its place. False when none is
  // left.
  bool next_frame() {
    uncount(*writing_);
    writing_.reset();
    if (!above_high_water())
      resume_reader();
    if (waiting_.empty())
      return false;
    writing_.emplace(std::move(waiting_.front()));
    waiting_.pop_front();
    return true;
  }

  static bool done(const Frame& frame) noexcept { return frame.written == frame.header.size + frame.payload->size(); }

  // The header and payload bytes of `frame` not yet written.
  static std::array<boost::asio::const_buffer, 2> unwritten(const Frame& frame) noexcept {
    const std::size_t header_done = frame.written < frame.header.size ? frame.written : frame.header.size;
    return {boost::asio::buffer(frame.header.bytes.data() + header_done, frame.header.size - header_done),
            frame.payload->data() + (frame.written - header_done)};
  }

  void drop_waiting_frames() {
    for (Frame& frame : waiting_)
      uncount(frame);
    waiting_.clear();
  }

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

  // The paused reader goes on in a task of its own: never inside a push() or a write, which may
  // run inside another connection's handler.
  void resume_reader() {
    if (!paused_reader_)
      return;
    boost::asio::post(stream_.get_executor(), std::move(paused_reader_));
    paused_reader_ = nullptr;
  }

  Stream& stream_;
  const std::shared_ptr<ScopeRunner>& handler_runner_;
  Budget* budget_ = nullptr;
  Budget::Account* account_ = nullptr;
  std::shared_ptr<WriteTurn> turn_;
  // The frame being written, and the frames behind it in order (in a list only while another is
  // being written, so that an idle connection holds no list storage).
  std::optional<Frame> writing_;
  std::list<Frame> waiting_;
  std::size_t bytes_ = 0; // what the frames being written and waiting count
  boost::system::error_code failure_;
  std::function<void()> paused_reader_;
};

} // namespace KorvaWeb
