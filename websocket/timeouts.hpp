#pragma once
// A connection's time-outs. One timer at a time: the request timer of the handshake, the idle
// timer of an open connection, or the close timer of a reported one. Expired, the request timer
// closes the socket, the idle timer queues close 1000 "idle timeout", and the close timer cuts the
// connection (error::close_timeout). Beside it, the message timer cuts a connection whose started
// frame or fragmented message has stopped arriving (error::message_stalled).
//
// The connection derives from this (Connection = the connection class; Timer = the waitable timer
// they run on, the steady clock's but in tests that run a clock of their own), which gives it the
// timers and their settings; it supplies executor, assert_on_loop(), send_close(),
// close_socket() and cut(). Everything here runs on the event loop's thread. A timer's wait holds
// the connection only weakly: it neither keeps a connection alive nor touches one that has gone.

#include "websocket/error.hpp"
#include "websocket/frame.hpp"

#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <cstdint>
#include <memory>

namespace KorvaWeb {

template <class Connection, class Timer = boost::asio::steady_timer>
class Timeouts {
public:
  explicit Timeouts(long timeout_idle) : timeout_idle(timeout_idle) {}

  // Seconds of silence before the connection is closed with "idle timeout"; 0: never.
  long timeout_idle;
  // Seconds from the report of the connection's close or failure until it is cut, even if frames
  // are still queued for a client that does not read them; 0: only when they are written.
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

  // The connection has been reported closed or failed: it is cut `timeout_close` seconds from now
  // at the latest, whether or not its queue has drained. Without a close time-out the idle timer
  // starts again instead.
  void start_close_timer() {
    if (timeout_close == 0) {
      arm(Kind::idle, timeout_idle);
      return;
    }
    closing = true;
    arm(Kind::close, timeout_close);
  }

  // Bytes of a started frame or message came in.
  void progress() noexcept {
    if (timeout_message != 0)
      last_progress = Clock::now();
  }

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
    progress();
    arm_message_timer(std::chrono::seconds(timeout_message));
  }

private:
  using Clock = typename Timer::clock_type;
  enum class Kind { request, idle, close };

  Connection& self() noexcept { return static_cast<Connection&>(*this); }

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
      if (ec || !connection || connection->generation != generation)
        return; // cancelled, replaced, or the connection is gone
      if (kind == Kind::idle)
        connection->send_close(close_reasons::idle_status, close_reasons::idle);
      else if (kind == Kind::request)
        connection->close_socket();
      else
        connection->cut(error::close_timeout);
    });
  }

  void arm_message_timer(typename Clock::duration after) {
    if (!message_timer)
      message_timer.reset(new Timer(self().executor));
    message_timer->expires_after(after);
    std::weak_ptr<Connection> weak = self().weak_from_this();
    message_timer->async_wait([weak](const boost::system::error_code& ec) {
      auto connection = weak.lock();
      if (ec || !connection || !connection->message_timer_running)
        return;
      const auto limit = std::chrono::seconds(connection->timeout_message);
      const auto since = Clock::now() - connection->last_progress;
      if (since < limit)
        connection->arm_message_timer(limit - since);
      else
        connection->cut(error::message_stalled);
    });
  }

  std::unique_ptr<Timer> timer;
  std::uint64_t generation = 0;
  bool closing = false; // the close timer has been started
  std::unique_ptr<Timer> message_timer; // only while a message is under way
  bool message_timer_running = false;
  typename Clock::time_point last_progress;
};

} // namespace KorvaWeb
