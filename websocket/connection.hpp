#pragma once
// One accepted client, from the accept through the handshake and the frames to its end.
//
// Ownership: a connection is only ever held through std::shared_ptr: by the handler of whatever
// asynchronous operation is pending on it, by its endpoint's set while it is open, by push
// snapshots, and by the arguments of endpoint handlers. The time-out timer's wait holds only a
// weak reference. When the last holder lets go, the connection is destroyed: its queued frames
// are dropped without their callbacks, its timer's wait ends as cancelled, and its socket closes.
//
// Threads: the server runs its event loop on one thread; the reading chain, the timers, the writes
// and every task posted to `strand` run there, one at a time. send() and send_close() may be
// called from any thread: on the event-loop thread they queue the frame at once, on any other
// they post to `strand`. set_timeout/cancel_timeout/restart_idle_timer go through timer_mutex,
// because send() restarts the idle timer on the caller's thread. The request fields are written
// during the handshake, before any handler sees the connection, and only read afterwards.
//
// Bounds on what a client can make the server hold for it (the server copies them from its Config
// at the accept; 0 leaves a bound off):
//   send_queue_high_water  the reader takes no further frame from a client while more than this
//                          is queued for it, so that a client that sends without reading stops
//                          being read instead of growing its queue
//   send_queue_limit       a frame that would take the queue over this fails the connection:
//                          socket closed, queue freed, ENOBUFS to the frame's callback and to
//                          the endpoint's on_error (through the reader)
//   timeout_close          once the connection has been reported closed or failed, its socket is
//                          closed this many seconds later even if its queue never drains
// Queued bytes are counted with a fixed cost per frame on top of header and payload, so that many
// small frames are bounded as well as a few big ones.

#include "websocket/case_insensitive.hpp"
#include "websocket/frame.hpp"
#include "websocket/message.hpp"
#include "websocket/read_buffer.hpp"
#include "websocket/scope_runner.hpp"

#include <boost/asio/bind_executor.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <regex>
#include <string>

namespace KorvaWeb {

using SendCallback = std::function<void(const boost::system::error_code&)>;

// What one queued frame is counted as beyond its header and the memory its payload's bytes take:
// about what its queue entry, its payload stream and their allocations take.
constexpr std::size_t queued_frame_overhead = 256;

// After a connection's send queue has held this much and is freed, the server hands the freed
// memory back to the system: many small frames leave the allocator's heap fragmented otherwise,
// and a device that once held a flood would keep its peak for good.
constexpr std::size_t queue_memory_return_threshold = 256 * 1024;

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
        timeout_idle(timeout_idle),
        strand(io_context.get_executor()) {}

  ~BasicConnection() {
    // Frames still queued are dropped without their callbacks; a big queue's memory goes back.
    if (queued_peak > queue_memory_return_threshold) {
      send_queue.clear();
      frame_in_write.reset();
      return_freed_memory();
    }
  }

  BasicConnection(const BasicConnection&) = delete;
  BasicConnection& operator=(const BasicConnection&) = delete;

  // Request fields, filled by the handshake.
  std::string method, path, query_string, http_version;
  CaseInsensitiveMultimap header;
  std::smatch path_match; // refers into `path`, which does not change after the match
  boost::asio::ip::tcp::endpoint remote_endpoint{boost::asio::ip::address_v4::any(), 0};

  std::shared_ptr<ScopeRunner> handler_runner;
  std::unique_ptr<socket_type> socket;
  std::mutex close_mutex;

  // Every read of the connection goes through this buffer (handshake head and frames).
  ReadBuffer input_buffer;
  std::shared_ptr<Message> fragmented_message;

  long timeout_idle;
  long timeout_close = 0;
  std::size_t send_queue_high_water = 0;
  std::size_t send_queue_limit = 0;

  // One queued frame: the header that send() built, the caller's payload (shared, never
  // copied), and the callback told how its write ended.
  struct QueuedFrame {
    FrameHeader frame_header;
    std::shared_ptr<SendStream> payload;
    SendCallback callback;
    std::size_t cost;        // what the frame counts in queued_bytes
    std::size_t written = 0; // bytes of header and payload written so far
  };
  // The executor of the event loop. With one event-loop thread its tasks run one at a time, in
  // the order posted, as a strand's would, without a strand's lock.
  boost::asio::io_context::executor_type strand;
  // Only on the event-loop thread: the frame being written, and the frames behind it in order.
  // A frame is queued in the list only while another is being written.
  std::optional<QueuedFrame> frame_in_write;
  std::list<QueuedFrame> send_queue;

  std::atomic<bool> close_sent{false};

  // --- Time-outs -----------------------------------------------------------------------------
  // One timer at a time: the request timer of the handshake, the idle timer of an open
  // connection, or the close timer of a reported one. Expired, the request and close timers close
  // the socket and the idle timer queues close 1000 "idle timeout".

  // Replaces the timer. -1: the idle time-out (timeout_idle) as an idle timer; any other value:
  // a request timer of that many seconds. A time of 0 only removes the timer.
  void set_timeout(long seconds = -1) {
    const bool idle = seconds == -1;
    if (idle)
      seconds = timeout_idle;
    std::lock_guard<std::mutex> lock(timer_mutex);
    arm_timer(idle ? TimerKind::idle : TimerKind::request, seconds);
  }

  void cancel_timeout() {
    std::lock_guard<std::mutex> lock(timer_mutex);
    ++timer_generation;
    if (timer)
      timer->cancel();
  }

  // The client showed a sign of life or is being sent something: the idle time-out starts again.
  // Nothing happens without an idle time-out, or once the close timer runs (nothing may put off
  // the end of a connection that has been reported).
  void restart_idle_timer() {
    if (timeout_idle == 0)
      return;
    std::lock_guard<std::mutex> lock(timer_mutex);
    if (!closing)
      arm_timer(TimerKind::idle, timeout_idle);
  }

  // The connection has been reported closed or failed: its socket closes `timeout_close` seconds
  // from now at the latest, whether or not its queue has drained. Without a close time-out the
  // idle timer starts again instead.
  void start_close_timer() {
    std::lock_guard<std::mutex> lock(timer_mutex);
    if (timeout_close == 0) {
      arm_timer(TimerKind::idle, timeout_idle);
      return;
    }
    closing = true;
    arm_timer(TimerKind::close, timeout_close);
  }

  // Shuts the socket down both ways and closes it, ignoring every error. Pending reads and
  // writes then complete with an error.
  void close_socket() {
    std::lock_guard<std::mutex> lock(close_mutex);
    boost::system::error_code ec;
    socket->shutdown(boost::asio::socket_base::shutdown_both, ec);
    socket->close(ec);
  }

  // --- Sending -------------------------------------------------------------------------------

  // Queues one frame; returns at once. The callback (optional) is called exactly once on the
  // event-loop thread with the result of the write (success included), unless an
  // earlier frame's write failed, which drops the frames behind it without their callbacks.
  // The payload must not be written to after this call.
  void send(const std::shared_ptr<SendStream>& payload, const SendCallback& callback = nullptr,
            unsigned char fin_rsv_opcode = fin_rsv_opcodes::text) {
    restart_idle_timer();
    FrameHeader frame_header = encode_frame_header(fin_rsv_opcode, payload->size());
    // Counted at once, so that a reader which queues many answers in a row sees them before
    // their tasks have run.
    const std::size_t cost = frame_header.size + payload->capacity() + queued_frame_overhead;
    const std::size_t queued = queued_bytes.fetch_add(cost, std::memory_order_relaxed) + cost;
    if (strand.running_in_this_thread() && !write_error && !over_limit(queued)) {
      // On the event-loop thread (a handler answering, a callback sending more) a frame that is
      // neither refused nor over the limit joins the queue at once; everything else goes through
      // a posted task, so that send() never calls a callback itself.
      enqueue(QueuedFrame{frame_header, payload, callback, cost}, queued);
      return;
    }
    auto self = this->shared_from_this();
    boost::asio::post(strand, [self, frame_header, payload, callback, cost, queued]() mutable {
      self->enqueue(QueuedFrame{frame_header, std::move(payload), std::move(callback), cost}, queued);
    });
  }

  // Queues a close frame, at most once per connection: later calls send nothing and never call
  // their callback.
  void send_close(int status, const std::string& reason = std::string(), const SendCallback& callback = nullptr) {
    send_close_payload(close_payload(status, reason), callback);
  }

  // Queues a close frame with exactly this payload (empty included), at most once per
  // connection, as send_close() does.
  void send_close_payload(const std::string& payload, const SendCallback& callback = nullptr) {
    if (close_sent.exchange(true))
      return;
    auto stream = std::make_shared<SendStream>();
    stream->write(payload.data(), static_cast<std::streamsize>(payload.size()));
    send(stream, callback, fin_rsv_opcodes::close);
  }

  // --- The reader's side of the send queue (event-loop thread only) ---------------------------

  // True while so much is queued for the client that the reader takes no further frame from it.
  bool send_queue_full() const noexcept {
    return send_queue_high_water != 0 && queued_bytes.load(std::memory_order_relaxed) > send_queue_high_water;
  }

  // The reader stops: `resume` is called once the queue has drained to the high-water mark, or
  // when sending has failed (then the next read meets the failure). It must hold the connection
  // only weakly: a queue over the mark always has a write under way, which keeps the connection.
  void pause_reading(std::function<void()> resume) { paused_reader = std::move(resume); }

  // Set when the server itself failed the connection (its queue went over send_queue_limit);
  // the reader reports this error instead of whatever its read returned.
  const boost::system::error_code& failure() const noexcept { return failure_; }

private:
  enum class TimerKind { request, idle, close };

  // With timer_mutex held. A wait that a later arm or cancel has overtaken finds another
  // generation and does nothing, also when it had expired and was queued already.
  void arm_timer(TimerKind kind, long seconds) {
    ++timer_generation;
    if (seconds == 0) {
      timer.reset(); // its wait ends as cancelled; an open connection without time-outs keeps none
      return;
    }
    if (!timer)
      timer.reset(new boost::asio::steady_timer(strand));
    timer->expires_after(std::chrono::seconds(seconds));
    std::weak_ptr<BasicConnection> weak = this->weak_from_this();
    const std::uint64_t generation = timer_generation;
    timer->async_wait([weak, kind, generation](const boost::system::error_code& ec) {
      if (ec)
        return; // cancelled or replaced
      auto connection = weak.lock();
      if (!connection)
        return;
      {
        std::lock_guard<std::mutex> lock(connection->timer_mutex);
        if (connection->timer_generation != generation)
          return;
      }
      if (kind == TimerKind::idle)
        connection->send_close(close_reasons::idle_status, close_reasons::idle);
      else
        connection->close_socket();
    });
  }

  bool over_limit(std::size_t queued) const noexcept { return send_queue_limit != 0 && queued > send_queue_limit; }

  // Queues a frame, on the event-loop thread: directly from send(), or in a task that send()
  // posted. The frame's cost is already counted in queued_bytes (`queued` is the count with it,
  // when send() added it); it is taken off again when the frame has been written, dropped or
  // refused.
  void enqueue(QueuedFrame&& frame, std::size_t queued) {
    if (write_error) {
      // A socket whose write failed can leave a new write waiting forever for a readiness event
      // that never comes, and that write would keep the connection and its socket alive.
      uncount(frame);
      if (frame.callback)
        frame.callback(write_error);
      if (!send_queue_full())
        resume_reader(); // the reader may have paused on frames that are refused like this one
      return;
    }
    if (queued > queued_peak)
      queued_peak = queued;
    if (over_limit(queued)) {
      uncount(frame);
      fail(boost::system::error_code(ENOBUFS, boost::system::generic_category()));
      if (frame.callback)
        frame.callback(failure_);
      return;
    }
    if (frame_in_write) {
      send_queue.push_back(std::move(frame));
      return;
    }
    frame_in_write.emplace(std::move(frame));
    write_next_frame();
  }

  void uncount(const QueuedFrame& frame) noexcept { queued_bytes.fetch_sub(frame.cost, std::memory_order_relaxed); }

  // Drops the frames waiting behind the one being written, without their callbacks.
  void drop_waiting_frames() {
    for (const QueuedFrame& frame : send_queue)
      uncount(frame);
    send_queue.clear();
    release_queue_memory();
  }

  // The server gives up on the connection: every queued frame but the one being written is
  // dropped, and the socket is closed, which ends that write and the reader's pending read with
  // an error; both then report `error`.
  void fail(const boost::system::error_code& error) {
    failure_ = write_error = error;
    drop_waiting_frames();
    close_socket();
    resume_reader();
  }

  // Writes what is left of frame_in_write, header and payload in one gathered write, and the
  // frames behind it. A frame without a callback that the socket takes whole at once is done
  // there and then; anything else (a callback to call, a socket that takes only part, an error)
  // goes through an asynchronous write, whose completion goes on until every byte is out.
  void write_next_frame() {
    while (!frame_in_write->callback) {
      boost::system::error_code ec;
      const std::size_t bytes = socket->write_some(unwritten(*frame_in_write), ec);
      if (ec)
        break; // would block, or failed: the asynchronous write finds out again and reports it
      frame_in_write->written += bytes;
      if (!frame_done())
        break;
      if (!next_frame())
        return;
    }
    auto self = this->shared_from_this();
    socket->async_write_some(unwritten(*frame_in_write), [self](const boost::system::error_code& ec, std::size_t bytes) {
      self->frame_written(ec, bytes);
    });
  }

  // The header and payload bytes of `frame` not yet written.
  static std::array<boost::asio::const_buffer, 2> unwritten(const QueuedFrame& frame) noexcept {
    const FrameHeader& header = frame.frame_header;
    const std::size_t header_done = frame.written < header.size ? frame.written : header.size;
    return {boost::asio::buffer(header.bytes.data() + header_done, header.size - header_done),
            frame.payload->data() + (frame.written - header_done)};
  }

  bool frame_done() const noexcept {
    return frame_in_write->written == frame_in_write->frame_header.size + frame_in_write->payload->size();
  }

  // frame_in_write has been written: the next waiting frame takes its place. False when none is
  // left.
  bool next_frame() {
    uncount(*frame_in_write);
    frame_in_write.reset();
    if (!send_queue_full())
      resume_reader();
    if (send_queue.empty()) {
      release_queue_memory();
      return false;
    }
    frame_in_write.emplace(std::move(send_queue.front()));
    send_queue.pop_front();
    return true;
  }

  // Completion of a write of frame_in_write, on the event-loop thread.
  void frame_written(boost::system::error_code ec, std::size_t bytes) {
    auto guard = handler_runner->acquire();
    if (!guard)
      return;
    if (!ec) {
      frame_in_write->written += bytes;
      if (!frame_done()) {
        write_next_frame();
        return;
      }
    }
    if (ec && failure_)
      ec = failure_; // the write ended because the server failed the connection: say why
    // The frame stays in frame_in_write while its callback runs; a send() from inside the callback
    // is queued behind it.
    if (frame_in_write->callback)
      frame_in_write->callback(ec);
    if (ec) {
      uncount(*frame_in_write);
      frame_in_write.reset();
      write_error = ec;
      drop_waiting_frames();
      resume_reader(); // the next read meets the broken socket and reports it
      return;
    }
    if (next_frame())
      write_next_frame();
  }

  // A paused reader goes on in a task of its own: never inside a send() or a write, which may
  // run inside another connection's handler.
  void resume_reader() {
    if (!paused_reader)
      return;
    boost::asio::post(strand, std::move(paused_reader));
    paused_reader = nullptr;
  }

  void release_queue_memory() noexcept {
    if (!frame_in_write && send_queue.empty() && queued_peak > queue_memory_return_threshold) {
      queued_peak = 0;
      return_freed_memory();
    }
  }

  std::unique_ptr<boost::asio::steady_timer> timer;
  std::mutex timer_mutex;
  std::uint64_t timer_generation = 0; // under timer_mutex
  bool closing = false;               // under timer_mutex: the close timer has been started

  // Bytes of the frames sent and not yet written or dropped, each with queued_frame_overhead;
  // added by send() on any thread, taken off on the event-loop thread.
  std::atomic<std::size_t> queued_bytes{0};
  // Only on the event-loop thread.
  std::size_t queued_peak = 0;
  // The error of a failed write: every later frame fails with it at once.
  boost::system::error_code write_error;
  boost::system::error_code failure_;
  std::function<void()> paused_reader;
};

} // namespace KorvaWeb
