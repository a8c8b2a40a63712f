#pragma once
// One accepted client, from the accept through the handshake and the frames to its end.
//
// Ownership: a connection is only ever held through std::shared_ptr: by the handler of whatever
// asynchronous operation is pending on it, by its endpoint's set while it is open, by push
// snapshots, and by the arguments of endpoint handlers. The time-out timer's wait holds only a
// weak reference. When the last holder lets go, the connection is destroyed: its queued frames
// are dropped without their callbacks, its timer's wait ends as cancelled, and its socket closes.
//
// Threads: send() and send_close() may be called from any thread; set_timeout/cancel_timeout go
// through timer_mutex for that reason. send_queue is touched only by tasks on `strand`. The
// request fields are written during the handshake, before any handler sees the connection, and
// only read afterwards.

#include "websocket/case_insensitive.hpp"
#include "websocket/frame.hpp"
#include "websocket/message.hpp"
#include "websocket/scope_runner.hpp"

#include <boost/asio/bind_executor.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>

#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <regex>
#include <string>

namespace KorvaWeb {

using SendCallback = std::function<void(const boost::system::error_code&)>;

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
  boost::asio::streambuf input_buffer;
  std::shared_ptr<Message> fragmented_message;

  long timeout_idle;
  std::unique_ptr<boost::asio::steady_timer> timer;
  std::mutex timer_mutex;

  // One queued frame: the header that send() built, the caller's payload (shared, never
  // copied), and the callback told how its write ended.
  struct QueuedFrame {
    FrameHeader frame_header;
    std::shared_ptr<SendStream> payload;
    SendCallback callback;
  };
  boost::asio::strand<boost::asio::io_context::executor_type> strand;
  std::list<QueuedFrame> send_queue; // only on `strand`; the front entry is being written
  // The error of a failed write, only on `strand`. Every later frame fails with it at once: a
  // socket whose write failed can leave a new write waiting forever for a readiness event that
  // never comes, and that write would keep the connection and its socket alive.
  boost::system::error_code write_error;

  std::atomic<bool> close_sent{false};

  // Replaces the timer. -1: the idle time-out (timeout_idle) as an idle timer; any other value:
  // a request timer of that many seconds. A time of 0 only removes the timer.
  void set_timeout(long seconds = -1) {
    bool idle = seconds == -1;
    if (idle)
      seconds = timeout_idle;
    std::lock_guard<std::mutex> lock(timer_mutex);
    if (seconds == 0) {
      timer.reset();
      return;
    }
    timer.reset(new boost::asio::steady_timer(strand.get_inner_executor()));
    timer->expires_after(std::chrono::seconds(seconds));
    std::weak_ptr<BasicConnection> weak = this->weak_from_this();
    timer->async_wait([weak, idle](const boost::system::error_code& ec) {
      if (ec)
        return; // cancelled, replaced or destroyed
      auto connection = weak.lock();
      if (!connection)
        return;
      if (idle)
        connection->send_close(close_reasons::idle_status, close_reasons::idle);
      else
        connection->close_socket();
    });
  }

  void cancel_timeout() {
    std::lock_guard<std::mutex> lock(timer_mutex);
    if (timer)
      timer->cancel();
  }

  // Shuts the socket down both ways and closes it, ignoring every error. Pending reads and
  // writes then complete with an error.
  void close_socket() {
    std::lock_guard<std::mutex> lock(close_mutex);
    boost::system::error_code ec;
    socket->shutdown(boost::asio::socket_base::shutdown_both, ec);
    socket->close(ec);
  }

  // Queues one frame; returns at once. The callback (optional) is called exactly once on the
  // event loop, inside the strand, with the result of the write (success included), unless an
  // earlier frame's write failed, which drops the frames behind it without their callbacks.
  // The payload must not be written to after this call.
  void send(const std::shared_ptr<SendStream>& payload, const SendCallback& callback = nullptr,
            unsigned char fin_rsv_opcode = fin_rsv_opcodes::text) {
    cancel_timeout();
    set_timeout();
    FrameHeader frame_header = encode_frame_header(fin_rsv_opcode, payload->size());
    auto self = this->shared_from_this();
    boost::asio::post(strand, [self, frame_header, payload, callback]() {
      if (self->write_error) {
        if (callback)
          callback(self->write_error);
        return;
      }
      self->send_queue.push_back(QueuedFrame{frame_header, payload, callback});
      if (self->send_queue.size() == 1)
        self->write_next_frame();
    });
  }

  // Queues a close frame, at most once per connection: later calls send nothing and never call
  // their callback.
  void send_close(int status, const std::string& reason = std::string(), const SendCallback& callback = nullptr) {
    if (close_sent.exchange(true))
      return;
    auto stream = std::make_shared<SendStream>();
    *stream << close_payload(status, reason);
    send(stream, callback, fin_rsv_opcodes::close);
  }

private:
  // Writes the front frame, header and payload in one gathered write. Runs only on `strand`.
  void write_next_frame() {
    auto self = this->shared_from_this();
    QueuedFrame& front = send_queue.front();
    std::array<boost::asio::const_buffer, 2> buffers{
        boost::asio::buffer(front.frame_header.bytes.data(), front.frame_header.size),
        front.payload->streambuf.data()};
    boost::asio::async_write(
        *socket, buffers,
        boost::asio::bind_executor(strand, [self](const boost::system::error_code& ec, std::size_t) {
          auto guard = self->handler_runner->acquire();
          if (!guard)
            return;
          // The entry stays at the front while its callback runs; a send() from inside the
          // callback is queued behind by a later task.
          if (self->send_queue.front().callback)
            self->send_queue.front().callback(ec);
          if (ec) {
            self->write_error = ec;
            self->send_queue.clear();
            return;
          }
          self->send_queue.pop_front();
          if (!self->send_queue.empty())
            self->write_next_frame();
        }));
  }
};

} // namespace KorvaWeb
