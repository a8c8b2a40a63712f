#pragma once
// The limits a connection is held to, in one member (`limits`) that the protocol code talks to:
// its time-outs, and its account with the server's memory budget.
//
// Time-outs. One timer at a time: the request timer of the handshake, the idle timer of an open
// connection, or the close timer of a reported one. Expired, the request timer closes the socket
// and the idle timer queues close 1000 "idle timeout". The close timer watches a reported
// connection: it holds the connection until its client has taken everything queued (the connection
// then ends in order with its last holder, a FIN after the last byte), or cuts it
// (error::close_timeout, a reset) when its client has taken no byte for the close time-out.
// Beside it, the message timer cuts a connection whose started frame or fragmented message has
// stopped arriving (error::message_stalled); the bytes that arrive are also what the rate of its
// client is measured by, with which the budget ranks frames under way.
//
// The budget. The connection counts what its queue holds (its frames count themselves,
// queued_frames.hpp) and what its reader holds: its read buffer, the message it assembles or reads
// a payload straight into, and its inflate state while a compressed message spans several steps.
// The reader asks before it grows (grow()) and tells when it has let go of something (settle());
// when the budget cannot make room for a growth, this connection is the one cut. The budget may also
// cut it to make room for another (cut_for_budget).
//
// The connection (Connection) supplies executor, assert_on_loop(), send_close(), close_socket(),
// cut(), cut_reason(), bytes_taken(), drained(), reader_holding(), send_queue and frame_reader,
// and shared and weak references to itself. Everything here runs on the event loop's thread. The
// request and idle timers' waits hold the connection only weakly: they neither keep a connection
// alive nor touch one that has gone. The close timer holds it until its client has everything: a
// connection dropped with bytes its client never took would be reset.

#include "websocket/budget.hpp"
#include "websocket/error.hpp"
#include "websocket/frame.hpp"

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>

namespace KorvaWeb {

template <class Connection, class Timer = boost::asio::steady_timer>
class ConnectionLimits final : public Budget::Account {
public:
  ConnectionLimits(Connection& connection, long timeout_idle) : timeout_idle(timeout_idle), connection_(connection) {}

  // --- Time-outs -------------------------------------------------------------------------------

  // Seconds of silence before the connection is closed with "idle timeout"; 0: never.
  long timeout_idle;
  // Seconds a reported connection may go without its client taking a byte of what is queued for
  // it before it is cut; 0: no limit.
  long timeout_close = 0;
  // Seconds a started frame or fragmented message may go without a byte before the connection is
  // cut; 0: no limit.
  long timeout_message = 0;

  // Replaces the timer. -1: the idle time-out (timeout_idle) as an idle timer; any other value:
  // a request timer of that many seconds. A time of 0 only removes the timer.
  void set_timeout(long seconds = -1) {
    const bool idle = seconds == -1;
    arm(idle ? Kind::idle : Kind::request, idle ? timeout_idle : seconds);
  }

  void cancel_timeout() {
    self().assert_on_loop();
    ++generation;
    if (timer)
      timer->cancel();
  }

  // The client showed a sign of life or is being sent something: the idle time-out starts again.
  // Nothing happens without an idle time-out, or once the close timer runs (nothing puts off the
  // end of a connection that has been reported).
  void restart_idle_timer() {
    if (timeout_idle != 0 && !closing)
      arm(Kind::idle, timeout_idle);
  }

  // The connection has been reported closed or failed. Its queue goes on writing what it holds
  // (a close frame last, where one was queued), and the connection ends in order once the client
  // has taken every byte. It is cut instead when its client has taken no byte for `timeout_close`
  // seconds, the window starting again with each byte taken, so that a client that reads, however
  // slowly, gets everything; with `strict`, `timeout_close` seconds after the report whatever it
  // takes. Without a close time-out it waits as long as its client takes (the memory budget still
  // bounds what it holds).
  void start_close_timer(bool strict = false) {
    self().assert_on_loop();
    closing = true;
    close_strict_ = strict;
    close_taken_ = self().bytes_taken();
    close_progress_ = Clock::now();
    // Looked at once the report's handlers have run: a close frame may be queued right after it.
    ++generation;
    boost::asio::post(self().executor, [owner = self().shared_from_this(), generation = generation] {
      if (owner->limits.generation == generation)
        owner->limits.check_closing(first_close_poll);
    });
  }

  // Something that may let a reported connection end has happened (its send queue went idle, its
  // client sent something or ended its side): it is looked at again at once.
  void look_at_close() {
    if (closing)
      check_closing(first_close_poll);
  }

  // `bytes` of a started frame or message came in.
  void progress(std::size_t bytes) noexcept {
    const auto now = Clock::now();
    if (timeout_message != 0)
      last_progress = now;
    arrivals_.add(now, bytes);
  }

  // Seconds its client would take to send `remaining` more bytes at the rate its data came over
  // the last few seconds; infinity when none came in that time.
  double seconds_to_send(std::size_t remaining) const noexcept { return arrivals_.seconds_for(Clock::now(), remaining); }

  // The reader waits for the client in the middle of a frame or a message (`started`), or not (the
  // client owes nothing, or the reader itself is held back): the message timer runs only while it
  // does. Its expiry looks at the time of the last progress, so that reads need not restart it.
  void waiting_for_client(bool started) {
    if (timeout_message == 0 || started == message_timer_running)
      return;
    message_timer_running = started;
    if (!started) {
      message_timer.reset();
      return;
    }
    last_progress = Clock::now();
    arm_message_timer(std::chrono::seconds(timeout_message));
  }

  // --- The budget --------------------------------------------------------------------------------

  // The server's memory budget (none: nothing is counted), set when the connection is accepted.
  std::shared_ptr<Budget> budget;

  // The reader is about to grow what it holds by `more` bytes (0: it has grown already): the budget
  // makes room for it, counted with all it holds. False when the connection was cut, by the budget
  // for want of room or before; it holds nothing then.
  bool grow(std::size_t more = 0) {
    Connection& connection = self();
    if (connection.cut_reason())
      return false;
    if (!connection.send_queue.frames.counted())
      return true; // without a budget nothing is counted
    growing_ = true;
    const bool room = budget->set_receiving(*this, connection.reader_holding() + more);
    growing_ = false;
    return room;
  }
  // What the reader holds has changed: counted as it is now (nothing, once it has stopped).
  void settle() {
    Connection& connection = self();
    if (!connection.send_queue.frames.counted())
      return;
    if (connection.cut_reason())
      budget->set_receiving(*this, connection.reader_holding()); // falls: cuts no one
    else
      grow();
  }

  std::shared_ptr<Budget::Account> share() noexcept override {
    auto owner = self().weak_from_this().lock();
    return owner ? std::shared_ptr<Budget::Account>(owner, this) : nullptr;
  }
  Holdings queued_holdings() const noexcept override { return self().send_queue.frames.holdings(); }
  void measure_sent() noexcept override { self().send_queue.measure_sent(); }
  // A frame under way (its bytes in the buffer or its payload read straight into its message), or a
  // message assembled from fragments, which its client is still to finish.
  std::optional<double> completion_time() const noexcept override {
    if (!self().reader_started())
      return std::nullopt;
    return seconds_to_send(self().frame_reader.missing());
  }
  // The reader's holdings go at once; its pending read finds the connection cut before it touches
  // them. A reader cut for its own growth (inside grow(), in the middle of a step that uses them)
  // lets go of them itself when it sees the cut, at once.
  void cut_for_budget() override {
    Connection& connection = self();
    connection.cut(error::memory_budget);
    if (growing_)
      return;
    connection.drop_reader_holdings();
    budget->set_receiving(*this, 0);
  }

private:
  using Clock = typename Timer::clock_type;
  enum class Kind { request, idle };

  Connection& self() noexcept { return connection_; }
  const Connection& self() const noexcept { return connection_; }

  // A wait that a later arm or cancel has overtaken finds another generation and does nothing,
  // also when it had expired and was queued already.
  void arm(Kind kind, long seconds) {
    self().assert_on_loop();
    ++generation;
    if (seconds == 0) {
      timer.reset(); // its wait ends as cancelled; an open connection without time-outs keeps none
      return;
    }
    if (!timer)
      timer.reset(new Timer(self().executor));
    timer->expires_after(std::chrono::seconds(seconds));
    std::weak_ptr<Connection> weak = self().weak_from_this();
    timer->async_wait([weak, kind, generation = generation](const boost::system::error_code& ec) {
      auto connection = weak.lock();
      if (ec || !connection || connection->limits.generation != generation)
        return; // cancelled, replaced, or the connection is gone
      if (kind == Kind::idle)
        connection->send_close(close_reasons::idle_status, close_reasons::idle);
      else
        connection->close_socket();
    });
  }

  // The kernel is asked again after 2 ms, then after twice as long each time, up to half a second:
  // a client that reads has its connection ended within milliseconds of its last byte, and one that
  // does not costs a few looks a second until its time is up.
  static constexpr std::chrono::milliseconds first_close_poll{2};
  static constexpr std::chrono::milliseconds longest_close_poll{500};

  // Ends the reported connection if its client has taken everything, cuts it if its time is up,
  // and looks again after `wait` otherwise.
  void check_closing(typename Clock::duration wait) {
    Connection& connection = self();
    if (connection.cut_reason() || !closing_open_)
      return;
    const auto now = Clock::now();
    const std::uint64_t taken = connection.bytes_taken();
    if (taken != close_taken_ && !close_strict_) {
      close_taken_ = taken;
      close_progress_ = now;
    }
    if (connection.drained()) { // let go of: it ends in order with its last holder
      closing_open_ = false;
      ++generation;
      timer.reset();
      return;
    }
    auto next = std::min<typename Clock::duration>(wait, longest_close_poll);
    if (timeout_close != 0) {
      const auto left = close_progress_ + std::chrono::seconds(timeout_close) - now;
      if (left <= Clock::duration::zero()) {
        closing_open_ = false;
        connection.cut(error::close_timeout);
        return;
      }
      next = std::min(next, left);
    }
    ++generation;
    if (!timer)
      timer.reset(new Timer(connection.executor));
    timer->expires_after(next);
    timer->async_wait([owner = connection.shared_from_this(), generation = generation,
                       next](const boost::system::error_code& ec) {
      if (!ec && owner->limits.generation == generation)
        owner->limits.check_closing(2 * next);
    });
  }

  void arm_message_timer(typename Clock::duration after) {
    if (!message_timer)
      message_timer.reset(new Timer(self().executor));
    message_timer->expires_after(after);
    std::weak_ptr<Connection> weak = self().weak_from_this();
    message_timer->async_wait([weak](const boost::system::error_code& ec) {
      auto connection = weak.lock();
      if (ec || !connection || !connection->limits.message_timer_running)
        return;
      auto& limits = connection->limits;
      const auto limit = std::chrono::seconds(limits.timeout_message);
      const auto since = Clock::now() - limits.last_progress;
      if (since < limit)
        limits.arm_message_timer(limit - since);
      else
        connection->cut(error::message_stalled);
    });
  }

  Connection& connection_;
  bool growing_ = false; // inside grow()
  std::unique_ptr<Timer> timer;
  std::uint64_t generation = 0;
  bool closing = false;     // the close timer has been started
  bool closing_open_ = true; // until the close timer has ended the connection, in order or cut
  bool close_strict_ = false;
  std::uint64_t close_taken_ = 0;               // bytes the client had taken at the last look
  typename Clock::time_point close_progress_{}; // when it last took some (or the report)
  std::unique_ptr<Timer> message_timer; // only while a message is under way
  bool message_timer_running = false;
  typename Clock::time_point last_progress;

  // The bytes of data frames that came in, second by second, over the last few seconds (24 bytes:
  // every connection has them).
  class Arrivals {
  public:
    static constexpr int window = 5; // seconds

    void add(typename Clock::time_point now, std::size_t bytes) noexcept {
      advance(second_of(now));
      std::uint32_t& slot = bytes_[second_ % window];
      slot = bytes > UINT32_MAX - slot ? UINT32_MAX : slot + static_cast<std::uint32_t>(bytes);
    }
    double seconds_for(typename Clock::time_point now, std::size_t remaining) const noexcept {
      const std::uint32_t second = second_of(now);
      double total = 0;
      for (std::uint32_t back = 0; back < window; ++back) {
        const std::uint32_t s = second - back;
        if (second_ - s < window) // a second kept: not before the window, nor after the last add
          total += bytes_[s % window];
      }
      if (total == 0)
        return std::numeric_limits<double>::infinity();
      return static_cast<double>(remaining) * window / total;
    }

  private:
    static std::uint32_t second_of(typename Clock::time_point time) noexcept {
      return static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::seconds>(time.time_since_epoch()).count());
    }
    // Moves on to `second`, forgetting the seconds that fall out of the window.
    void advance(std::uint32_t second) noexcept {
      const std::uint32_t ahead = second - second_;
      if (ahead == 0 || ahead > 0x80000000u)
        return; // the same second, or (a clock gone back) an earlier one
      for (std::uint32_t s = 1; s <= ahead && s <= window; ++s)
        bytes_[(second_ + s) % window] = 0;
      second_ = second;
    }
    std::uint32_t second_ = 0;
    std::uint32_t bytes_[window] = {};
  };
  Arrivals arrivals_;
};

} // namespace KorvaWeb
