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
// Bounds. The frames count what queued_frames.hpp says: above `high_water` the connection's reader
// waits (wait_for_room); a frame that would take the count over `limit` is refused (0: no bound);
// the server's memory budget may cut the connection to make room for a frame.
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
#include "websocket/queued_frames.hpp"
#include "websocket/scope_runner.hpp"
#include "websocket/tcp_socket.hpp"
#include "websocket/write_turn.hpp"

#include <boost/asio/buffer.hpp>
#include <boost/asio/post.hpp>

#include <array>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>

namespace KorvaWeb {

template <class Stream>
class SendQueue {
public:
  using Frame = QueuedFrames::Frame;

  // What push() did with a frame.
  enum class Pushed {
    queued,
    over_limit, // it would take the queue over its limit: not queued
    failed      // the queue has failed (failure() says why), or the budget cut the connection for it
  };

  // `handler_runner` guards the write completions, as it guards every completion of the server.
  SendQueue(Stream& stream, const std::shared_ptr<ScopeRunner>& handler_runner)
      : stream_(stream), handler_runner_(handler_runner) {}
  SendQueue(const SendQueue&) = delete;
  SendQueue& operator=(const SendQueue&) = delete;

  // The frames and their bounds (high_water, limit, the budget they count against).
  QueuedFrames frames;

  // Writing starts from the turn's task shared by the server's queues, not from a task of its own.
  void start_in(std::shared_ptr<WriteTurn> turn) noexcept { turn_ = std::move(turn); }

  // Queues the frame. The task that starts an idle queue's writing, and an asynchronous write,
  // keep the connection alive through keep() (a std::shared_ptr to it). A frame refused is not
  // queued and its callback is not called.
  template <class Keep>
  Pushed push(Frame frame, const Keep& keep) {
    if (failure_)
      return Pushed::failed;
    switch (frames.add(std::move(frame))) {
    case QueuedFrames::Added::front:
      start_later(keep());
      return Pushed::queued;
    case QueuedFrames::Added::behind:
      return Pushed::queued;
    case QueuedFrames::Added::over_limit:
      return Pushed::over_limit;
    case QueuedFrames::Added::cut:
      break;
    }
    return Pushed::failed;
  }

  std::size_t bytes() const noexcept { return frames.bytes(); }
  bool above_high_water() const noexcept { return frames.above_high_water(); }
  const boost::system::error_code& failure() const noexcept { return failure_; }

  // The reader stops while the queue is above its high-water mark: `resume` is posted once the
  // queue has drained to the mark, or has failed (the reader then meets the failure). It must hold
  // the connection only weakly: a queue above the mark has a write under way, which holds it.
  void wait_for_room(std::function<void()> resume) { paused_reader_ = std::move(resume); }

  // From now on, whenever the queue has written (or dropped) its last frame, idle(owner) is posted,
  // `owner` being what keep() gave (the connection), unless it has gone by then.
  using Idle = void (*)(const std::shared_ptr<void>& owner);
  void when_idle(Idle idle) noexcept { idle_ = idle; }

  // Ends the queue with `error` (see Failure above). The caller closes the socket with a reset,
  // which ends the write under way and lets go of what the kernel held; the frame being written
  // counts no more from now on.
  void fail(const boost::system::error_code& error) {
    if (!failure_)
      failure_ = error;
    frames.drop_waiting();
    frames.measured(0);
    resume_reader();
  }

  // Asks the kernel what it still holds of the bytes written. A kernel that cannot tell is not
  // counted at all: a count that is never corrected would only grow.
  void measure_sent() noexcept { frames.measured(detail::sent_memory(stream_).value_or(0)); }

  // Bytes of the frames written that the client has taken (acknowledged): it is reading while
  // this grows.
  std::uint64_t bytes_taken() noexcept { return bytes_written_ - detail::unacknowledged(stream_).value_or(0); }
  // Nothing is left to write, and the client has taken every byte written (or can take no more:
  // a write failed).
  bool drained() noexcept {
    return !frames.front() && (failure_ || detail::unacknowledged(stream_).value_or(0) == 0);
  }

private:
  static void start_from_turn(void* queue, const std::shared_ptr<void>& owner) {
    static_cast<SendQueue*>(queue)->start_writing(owner);
  }
  // The posted start of the write of an idle queue's first frame (see Writes above).
  void start_writing(const std::shared_ptr<void>& owner) {
    auto guard = handler_runner_->acquire();
    Frame* front = frames.front();
    if (!guard || !front)
      return;
    if (failure_) { // failed before its write began: the frame is told so, as if its write had failed
      const SendCallback callback = std::move(front->callback);
      frames.clear();
      went_idle(owner);
      if (callback)
        callback(failure_);
      return;
    }
    write([&owner] { return owner; });
  }

  template <class Keep>
  void write(const Keep& keep) {
    for (;;) {
      Frame& front = *frames.front();
      boost::system::error_code ec;
      const std::size_t bytes = stream_.write_some(unwritten(front), ec);
      if (ec) // would block, or failed: the asynchronous write finds out again and reports it
        break;
      front.written += bytes;
      bytes_written_ += bytes;
      if (!frames.wrote(bytes) || !done(front))
        break; // (cut by the budget for them: the asynchronous write on its closed socket says so)
      tell_front(ec, keep); // at the front still: what it pushes goes behind
      if (!next_frame(keep))
        return;
    }
    stream_.async_write_some(unwritten(*frames.front()),
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
      Frame& front = *frames.front();
      front.written += bytes;
      bytes_written_ += bytes;
      if (!frames.wrote(bytes) || !done(front)) {
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
      frames.clear();
      went_idle(owner);
      return;
    }
    if (next_frame(keep))
      write(keep);
  }

  // Calls the callback of the frame at the front with the result of its write. Should the callback
  // throw, the frame is done all the same (the next one takes its place, or the queue fails with
  // `ec`), and the rest is written from a task of its own, before the exception goes on to
  // whoever runs the event loop.
  template <class Keep>
  void tell_front(const boost::system::error_code& ec, const Keep& keep) {
    if (!frames.front()->callback)
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
    frames.front()->callback(ec);
  }
  void after_throwing_callback(const boost::system::error_code& ec, const std::shared_ptr<void>& owner) {
    if (ec) {
      fail(ec);
      frames.clear();
      went_idle(owner);
    } else if (next_frame([&owner] { return owner; })) {
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
  template <class Keep>
  bool next_frame(const Keep& keep) {
    const bool more = frames.pop_front();
    if (!above_high_water())
      resume_reader();
    if (!more && frames.measure_due())
      measure_sent();
    if (!more)
      went_idle(keep());
    return more;
  }

  static bool done(const Frame& frame) noexcept { return frame.written == frame.header.size + frame.payload->size(); }

  // The header and payload bytes of `frame` not yet written.
  static std::array<boost::asio::const_buffer, 2> unwritten(const Frame& frame) noexcept {
    const std::size_t header_done = frame.written < frame.header.size ? frame.written : frame.header.size;
    return {boost::asio::buffer(frame.header.bytes.data() + header_done, frame.header.size - header_done),
            frame.payload->data() + (frame.written - header_done)};
  }

  void went_idle(const std::shared_ptr<void>& owner) {
    if (idle_)
      boost::asio::post(stream_.get_executor(), [idle = idle_, weak = std::weak_ptr<void>(owner)] {
        if (auto alive = weak.lock())
          idle(alive);
      });
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
  std::shared_ptr<WriteTurn> turn_;
  boost::system::error_code failure_;
  std::function<void()> paused_reader_;
  Idle idle_ = nullptr;
  std::uint64_t bytes_written_ = 0;
};

} // namespace KorvaWeb
