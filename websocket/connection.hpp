#pragma once
// One accepted client, from the accept through the handshake and the frames to its end.
//
// Ownership: a connection is only ever held through std::shared_ptr: by the handler of whatever
// asynchronous operation is pending on it, by its endpoint's set while it is open, by push
// snapshots, and by the arguments of endpoint handlers. Timer waits hold only a weak reference.
// When the last holder lets go, the connection is destroyed: its queued frames are dropped without
// their callbacks, its timer's wait ends as cancelled, and its socket closes: in order (a FIN) when
// its client has taken every byte written, which the close timer of a reported connection waits
// for; with a reset when the kernel still holds bytes it could not even send.
//
// Threads: a connection's state (its send queue, timers, reader and socket) belongs to the event
// loop and is touched only on the loop's one thread; debug builds check that. Other threads call
// only send() and send_close(), which post the frame to the loop, and read the request fields,
// which the handshake writes before any handler sees the connection.
//
// Time-outs: one timer at a time: the request timer of the handshake, the idle timer of an open
// connection, or the close timer of a reported one. Expired, the request timer closes the socket,
// the idle timer queues close 1000 "idle timeout", and the close timer cuts the connection. Beside
// it, the message timer cuts a connection whose started frame or message has stopped arriving.
//
// Memory: the connection's reader and send queue count what they hold against the server's
// budget (budget.hpp), which cuts the connection that holds the most when it would be passed.

#include "websocket/budget.hpp"
#include "websocket/case_insensitive.hpp"
#include "websocket/error.hpp"
#include "websocket/frame.hpp"
#include "websocket/frame_reader.hpp"
#include "websocket/message.hpp"
#include "websocket/read_buffer.hpp"
#include "websocket/scope_runner.hpp"
#include "websocket/send_queue.hpp"
#include "websocket/tcp_socket.hpp"
#include "websocket/compression.hpp"
#include "websocket/connection_limits.hpp"
#include "websocket/permessage_deflate.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>

#include <atomic>
#include <cassert>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <type_traits>

namespace KorvaWeb {

namespace detail {
// The timer of a connection's time-outs: the steady clock's, or the one its stream type names as
// its `timer_type` (an in-memory stream of the tests runs a clock that the test moves on).
template <class Socket, class = void>
struct timer_of {
  using type = boost::asio::steady_timer;
};
template <class Socket>
struct timer_of<Socket, std::void_t<typename Socket::timer_type>> {
  using type = typename Socket::timer_type;
};
} // namespace detail

template <class socket_type>
class BasicConnection : public std::enable_shared_from_this<BasicConnection<socket_type>> {
public:
  BasicConnection(std::shared_ptr<ScopeRunner> handler_runner, long timeout_idle,
                  boost::asio::io_context& io_context)
      : handler_runner(std::move(handler_runner)),
        socket(new socket_type(io_context)),
        executor(io_context.get_executor()),
        limits(*this, timeout_idle),
        send_queue(*socket, this->handler_runner) {}

  ~BasicConnection() {
    if (limits.budget)
      limits.budget->close(limits); // what its reader still held, and its place among the connections
    detail::close_at_end(*socket);
  }

  // Request fields, filled by the handshake.
  std::string method, path, query_string, http_version;
  CaseInsensitiveMultimap header;
  std::smatch path_match; // refers into `path`, which does not change after the match
  boost::asio::ip::tcp::endpoint remote_endpoint{boost::asio::ip::address_v4::any(), 0};

  std::shared_ptr<ScopeRunner> handler_runner;
  std::unique_ptr<socket_type> socket;
  // The event loop's executor: everything below runs there.
  boost::asio::io_context::executor_type executor;

  // Every read of the connection goes through this buffer (handshake head and frames), but the
  // payload of a data frame that is not all there, which is read straight into its message.
  ReadBuffer input_buffer;
  std::shared_ptr<Message> fragmented_message;
  // Takes the frames from input_buffer (impl/read_frames.hpp drives it).
  FrameReader frame_reader;
  bool delivering = false; // on_message runs: the message it was given counts no more
  // permessage-deflate, when the handshake agreed on it: the windows, the event loop's streams
  // (shared by its connections), and the inflate state of a compressed message that spans several
  // steps of the reader (none otherwise).
  std::optional<DeflateAgreement> deflate;
  std::shared_ptr<Compression> compression;
  InflateStage inflate;

  // Its time-outs and its account with the memory budget (connection_limits.hpp).
  using Limits = ConnectionLimits<BasicConnection, typename detail::timer_of<socket_type>::type>;
  Limits limits;

  SendQueue<socket_type> send_queue;
  std::atomic<bool> close_sent{false};

  // Debug builds stop here when loop-only state is touched by a thread that is not running the
  // event loop: the monitor's or the push handler's thread calling what they should have posted.
  // (A loop run by several threads at once is refused by start(); this cannot tell it.)
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

  // Replaces the connection's timer: -1, the idle time-out; any other value, a request timer of
  // that many seconds; 0 only removes it (connection_limits.hpp).
  void set_timeout(long seconds = -1) { limits.set_timeout(seconds); }
  void cancel_timeout() { limits.cancel_timeout(); }

  // Shuts the socket down both ways and closes it, ignoring every error. Pending reads and writes
  // then complete with an error.
  void close_socket() {
    assert_on_loop();
    boost::system::error_code ec;
    socket->shutdown(boost::asio::socket_base::shutdown_both, ec);
    socket->close(ec);
  }

  // The server gives up on the connection for one of its limits: its send queue fails with
  // `why` (the frames waiting are dropped, the one being written tells its callback), and the
  // socket is closed with a reset, which gives its kernel buffers back at once and ends the write
  // under way and the reader's wait; the reader then reports `why` to on_error. A client that
  // reads has what it had read already; the rest is gone, and it sees the connection reset.
  void cut(error why) {
    assert_on_loop();
    if (end_reason_)
      return;
    end_reason_ = why;
    send_queue.fail(why);
    detail::abort_socket(*socket);
  }

  // For the close timer: what the client has taken of the frames written, and whether it has
  // taken all of it with nothing left to write.
  std::uint64_t bytes_taken() noexcept { return send_queue.bytes_taken(); }
  bool drained() noexcept {
    send_queue.measure_sent(); // what the kernel still holds counts as it goes
    return send_queue.drained();
  }

  // Why the server cut the connection; empty while it has not.
  const std::optional<error>& cut_reason() const noexcept { return end_reason_; }

  // Where the connection stands with the server's limit of connections (impl/admission.hpp): it
  // holds a place under it, waits beyond it for its request head (or on trial), or gave way to
  // another; and whether its request head has come in whole.
  enum class Place : unsigned char { held, waiting, on_trial, given_way };
  Place place = Place::held;
  bool head_complete = false;

  // Reported closed or failed (no longer in its endpoint's set). The reader has normally stopped
  // by then; one that still waits (its connection made room for another address) stops when it
  // wakes, without a report of its own.
  bool reported = false;

  // --- The reader's part (event-loop thread) ---------------------------------------------------

  // What the reader holds, as the budget counts it: the storage of its read buffer, of the message
  // it reads a payload straight into or assembles from fragments (unless on_message has it), and
  // of its inflate state.
  std::size_t reader_holding() const noexcept {
    std::size_t held = input_buffer.capacity() + frame_reader.holding() + inflate.holding();
    if (fragmented_message && !delivering)
      held += fragmented_message->capacity();
    return held;
  }
  // The reader is inside a frame or a message its client is still to finish.
  bool reader_started() const noexcept {
    return input_buffer.size() != 0 || frame_reader.reading_payload() || fragmented_message;
  }
  // Reading has stopped for good (or the budget cut the connection): all the reader held goes.
  void drop_reader_holdings() noexcept {
    input_buffer.release_unused();
    fragmented_message.reset();
    frame_reader.stop();
    inflate.stop();
  }

private:
  // The one way into the send queue, on the event-loop thread. With permessage-deflate, a whole text
  // or binary message goes through the outgoing stage first (deflate_stage.hpp): compressed, with
  // RSV1 set, when that pays; a payload that several connections share is compressed once.
  void queue_frame(std::shared_ptr<SendStream> payload, const SendCallback& callback, unsigned char fin_rsv_opcode) {
    assert_on_loop();
    limits.restart_idle_timer();
    const unsigned char opcode = frame_opcode(fin_rsv_opcode);
    if (compression && (fin_rsv_opcode & 0xF0) == fin_bit && (opcode == opcodes::text || opcode == opcodes::binary)) {
      try {
        if (auto compressed = compression->deflate.compressed(payload, deflate->compress_window_bits())) {
          payload = std::move(compressed);
          fin_rsv_opcode |= rsv1_bit;
        }
      } catch (const std::bad_alloc&) {
        // No memory for the compressor or the compressed copy: the message goes out as it is.
      }
    }
    const auto pushed = send_queue.push({encode_frame_header(fin_rsv_opcode, payload->size()), payload, callback},
                                        [this] { return this->shared_from_this(); });
    if (pushed == SendQueue<socket_type>::Pushed::queued)
      return;
    if (pushed == SendQueue<socket_type>::Pushed::over_limit)
      cut(error::send_queue_limit);
    const boost::system::error_code refused = send_queue.failure();
    if (callback) // never inside send(): the caller may hold locks or be inside its own callback
      boost::asio::post(executor, [callback, refused] { callback(refused); });
  }

  std::optional<error> end_reason_;
};

} // namespace KorvaWeb
