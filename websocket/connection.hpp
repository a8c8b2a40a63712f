#pragma once
// One accepted client, from the accept through the handshake and the frames to its end.
//
// Ownership: a connection is only ever held through std::shared_ptr: by the handler of whatever
// asynchronous operation is pending on it, by its endpoint's set while it is open, by push
// snapshots, and by the arguments of endpoint handlers. Timer waits hold only a weak reference.
// When the last holder lets go, the connection is destroyed: its queued frames are dropped without
// their callbacks, its timer's wait ends as cancelled, and its socket closes.
//
// Threads: a connection's state (its send queue, timers, reader and socket) belongs to the event
// loop and is touched only on the loop's one thread; debug builds check that. Other threads call
// only send() and send_close(), which post the frame to the loop, and read the request fields,
// which the handshake writes before any handler sees the connection.
//
// Time-outs: one timer at a time: the request timer of the handshake, the idle timer of an open
// connection, or the close timer of a reported one. Expired, the request timer closes the socket,
// the idle timer queues close 1000 "idle timeout", and the close timer cuts the connection.

#include "websocket/case_insensitive.hpp"
#include "websocket/error.hpp"
#include "websocket/frame.hpp"
#include "websocket/message.hpp"
#include "websocket/read_buffer.hpp"
#include "websocket/scope_runner.hpp"
#include "websocket/send_queue.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include <atomic>
#include <cassert>
#include <chrono>
#include <cstdint>
#include <memory>
#include <regex>
#include <string>

namespace KorvaWeb {

namespace detail {
// Peer of a TCP socket; other stream types (test doubles) have none and keep the default.
inline void read_peer(boost::asio::ip::tcp::socket& socket, boost::asio::ip::tcp::endpoint& peer) {
  boost::system::error_code ec;
  auto endpoint = socket.remote_endpoint(ec);
  if (!ec)
    peer = endpoint;
}
template <class Socket>
void read_peer(Socket&, boost::asio::ip::tcp::endpoint&) {}
} // namespace detail

template <class socket_type>
class BasicConnection : public std::enable_shared_from_this<BasicConnection<socket_type>> {
public:
  BasicConnection(std::shared_ptr<ScopeRunner> handler_runner, long timeout_idle,
                  boost::asio::io_context& io_context)
      : handler_runner(std::move(handler_runner)),
        socket(new socket_type(io_context)),
        executor(io_context.get_executor()),
        timeout_idle(timeout_idle),
        send_queue(*socket, this->handler_runner) {}

  BasicConnection(const BasicConnection&) = delete;
  BasicConnection& operator=(const BasicConnection&) = delete;

  // Request fields, filled by the handshake.
  std::string method, path, query_string, http_version;
  CaseInsensitiveMultimap header;
  std::smatch path_match; // refers into `path`, which does not change after the match
  boost::asio::ip::tcp::endpoint remote_endpoint{boost::asio::ip::address_v4::any(), 0};

  std::shared_ptr<ScopeRunner> handler_runner;
  std::unique_ptr<socket_type> socket;
  // The event loop's executor: everything below runs there.
  boost::asio::io_context::executor_type executor;

  // Every read of the connection goes through this buffer (handshake head and frames).
  ReadBuffer input_buffer;
  std::shared_ptr<Message> fragmented_message;

  long timeout_idle;
  // Seconds from the report of the connection's close or failure until it is cut, even if frames
  // are still queued for a client that does not read them; 0: only when they are written.
  long timeout_close = 0;

  SendQueue<socket_type> send_queue;
  std::atomic<bool> close_sent{false};

  // Debug builds stop here when loop-only state is touched from another thread: an event loop run
  // by several threads, or a call that should have been posted to the loop.
  void assert_on_loop() const noexcept { assert(executor.running_in_this_thread()); }

  // --- Sending (any thread) --------------------------------------------------------------------

  // Queues one frame; returns at once and never calls the callback itself. The callback
  // (optional) is called once on the event-loop thread with the result of the write (success
  // included), unless an earlier frame's write failed, which drops the frames behind it without
  // their callbacks. The payload must not be written to after this call. On the event-loop thread
  // the frame is queued at once; from any other thread it is posted there.
  void send(const std::shared_ptr<SendStream>& payload, const SendCallback& callback = nullptr,
            unsigned char fin_rsv_opcode = fin_rsv_opcodes::text) {
    if (executor.running_in_this_thread()) {
      queue_frame(payload, callback, fin_rsv_opcode);
      return;
    }
    boost::asio::post(executor, [self = this->shared_from_this(), payload, callback, fin_rsv_opcode] {
      self->queue_frame(payload, callback, fin_rsv_opcode);
    });
  }

  // Queues a close frame, at most once per connection: later calls send nothing and never call
  // their callback.
  void send_close(int status, const std::string& reason = std::string(), const SendCallback& callback = nullptr) {
    send_close_payload(close_payload(status, reason), callback);
  }

  // Queues a close frame with exactly this payload (empty included), at most once per connection.
  void send_close_payload(std::string payload, const SendCallback& callback = nullptr) {
    if (close_sent.exchange(true))
      return;
    send(std::make_shared<SendStream>(std::move(payload)), callback, fin_rsv_opcodes::close);
  }

  // --- The rest: the event-loop thread only ----------------------------------------------------

  // Replaces the timer. -1: the idle time-out (timeout_idle) as an idle timer; any other value:
  // a request timer of that many seconds. A time of 0 only removes the timer.
  void set_timeout(long seconds = -1) {
    const bool idle = seconds == -1;
    arm_timer(idle ? TimerKind::idle : TimerKind::request, idle ? timeout_idle : seconds);
  }

  void cancel_timeout() {
    assert_on_loop();
    ++timer_generation;
    if (timer)
      timer->cancel();
  }

  // The client showed a sign of life or is being sent something: the idle time-out starts again.
  // Nothing happens without an idle time-out, or once the close timer runs (nothing puts off the
  // end of a connection that has been reported).
  void restart_idle_timer() {
    if (timeout_idle != 0 && !closing)
      arm_timer(TimerKind::idle, timeout_idle);
  }

  // The connection has been reported closed or failed: it is cut `timeout_close` seconds from now
  // at the latest, whether or not its queue has drained. Without a close time-out the idle timer
  // starts again instead.
  void start_close_timer() {
    if (timeout_close == 0) {
      arm_timer(TimerKind::idle, timeout_idle);
      return;
    }
    closing = true;
    arm_timer(TimerKind::close, timeout_close);
  }

  // Shuts the socket down both ways and closes it, ignoring every error. Pending reads and writes
  // then complete with an error.
  void close_socket() {
    assert_on_loop();
    boost::system::error_code ec;
    socket->shutdown(boost::asio::socket_base::shutdown_both, ec);
    socket->close(ec);
  }

  // The server gives up on the connection: its send queue fails with `failure` (the frames waiting
  // are dropped, the one being written tells its callback), and the socket is closed, which ends
  // the write under way and the reader's wait; the reader then reports `failure` to on_error.
  void cut(error failure) {
    assert_on_loop();
    if (failure_reason)
      return;
    failure_reason = failure;
    send_queue.fail(failure);
    close_socket();
  }

  // Why the server cut the connection; empty while it has not.
  const boost::system::error_code& failure() const noexcept { return failure_reason; }

private:
  enum class TimerKind { request, idle, close };

  // The one way into the send queue, on the event-loop thread.
  void queue_frame(const std::shared_ptr<SendStream>& payload, const SendCallback& callback,
                   unsigned char fin_rsv_opcode) {
    assert_on_loop();
    restart_idle_timer();
    const boost::system::error_code refused = send_queue.push(
        {encode_frame_header(fin_rsv_opcode, payload->size()), payload, callback}, this->shared_from_this());
    if (!refused)
      return;
    if (refused == error::send_queue_limit)
      cut(error::send_queue_limit);
    if (callback) // never inside send(): the caller may hold locks or be inside its own callback
      boost::asio::post(executor, [callback, refused] { callback(refused); });
  }

  // A wait that a later arm or cancel has overtaken finds another generation and does nothing,
  // also when it had expired and was queued already.
  void arm_timer(TimerKind kind, long seconds) {
    assert_on_loop();
    ++timer_generation;
    if (seconds == 0) {
      timer.reset(); // its wait ends as cancelled; an open connection without time-outs keeps none
      return;
    }
    if (!timer)
      timer.reset(new boost::asio::steady_timer(executor));
    timer->expires_after(std::chrono::seconds(seconds));
    std::weak_ptr<BasicConnection> weak = this->weak_from_this();
    timer->async_wait([weak, kind, generation = timer_generation](const boost::system::error_code& ec) {
      auto connection = weak.lock();
      if (ec || !connection || connection->timer_generation != generation)
        return; // cancelled, replaced, or the connection is gone
      if (kind == TimerKind::idle)
        connection->send_close(close_reasons::idle_status, close_reasons::idle);
      else if (kind == TimerKind::request)
        connection->close_socket();
      else
        connection->cut(error::close_timeout);
    });
  }

  std::unique_ptr<boost::asio::steady_timer> timer;
  std::uint64_t timer_generation = 0;
  bool closing = false; // the close timer has been started
  boost::system::error_code failure_reason;
};

} // namespace KorvaWeb
