#pragma once
// An in-memory stream for driving the server's real connection code without a network: the test
// pushes the bytes a client would send (in whatever pieces it likes) and reads back everything the
// server wrote. A wait for readable bytes completes once bytes were pushed (or the client ended),
// and a non-blocking read then takes them; writes are taken whole or, with a write limit, a few
// bytes at a time, so that composed writes go round. A client that stops reading is a write room:
// once the server has written that many bytes, writes would block (an asynchronous one waits)
// until the test gives more room.
//
// The connection's time-outs run on a clock of the test's (tests/support/manual_clock.hpp).
//
// Completions are always posted (never run inside the initiating call), through the handler's own
// executor, as a socket's would be. A wait for bytes holds no work on the io_context: the
// test runs the loop with poll() until nothing is ready, pushes the next piece, and polls again.

#include "tests/support/manual_clock.hpp"

#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/bind_executor.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/socket_base.hpp>

#include <algorithm>
#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace korva_test {

class MemoryStream {
public:
  using executor_type = boost::asio::io_context::executor_type;
  // The connection's time-outs run on the test's clock (MemoryServer::advance).
  using timer_type = ManualTimer;

  explicit MemoryStream(boost::asio::io_context& io_context) : executor_(io_context.get_executor()) {}
  ~MemoryStream() = default;
  MemoryStream(const MemoryStream&) = delete;
  MemoryStream& operator=(const MemoryStream&) = delete;

  executor_type get_executor() noexcept { return executor_; }

  // --- the client's side -----------------------------------------------------------------

  // Bytes the client sends; a waiting read takes what fits.
  void push(const char* data, std::size_t size) {
    incoming_.append(data, size);
    complete_waiting_read();
  }
  // The client ends its side: reads past the pushed bytes end with end-of-stream.
  void push_end() {
    end_of_stream_ = true;
    complete_waiting_read();
  }
  // Everything the server has written so far.
  const std::string& written() const noexcept { return written_; }
  // Every write from now on fails with `error`, as a socket's do with what the kernel reports.
  void fail_writes_with(const boost::system::error_code& error) noexcept { write_error_ = error; }
  // Largest number of bytes one write_some takes (0: all of them).
  void set_write_limit(std::size_t limit) noexcept { write_limit_ = limit; }
  // The client stops reading once the server has written `room` more bytes.
  void set_write_room(std::size_t room) noexcept { write_room_ = room; }
  // The client reads again: `more` bytes of room, and a waiting write goes on.
  void add_write_room(std::size_t more) {
    write_room_ += more;
    if (waiting_write_ && write_room_ > 0) {
      auto waiting = std::move(waiting_write_);
      waiting->finish(*this);
    }
  }
  bool write_waiting() const noexcept { return static_cast<bool>(waiting_write_); }
  bool closed() const noexcept { return closed_; }
  // Bytes the client has sent that the server has not read yet.
  std::size_t unread() const noexcept { return incoming_.size(); }
  bool read_waiting() const noexcept { return static_cast<bool>(waiting_); }

  // --- the socket operations the server uses -----------------------------------------------

  using wait_type = boost::asio::socket_base::wait_type;
  static constexpr wait_type wait_read = boost::asio::socket_base::wait_read;

  // Completes once a read would not block: bytes are there, the client has ended, or the stream
  // was closed (then with operation_aborted, as a socket's pending operations end on close).
  template <class WaitHandler>
  auto async_wait(wait_type, WaitHandler&& handler) {
    return boost::asio::async_initiate<WaitHandler, void(boost::system::error_code)>(
        [this](auto handler) {
          using Handler = decltype(handler);
          if (waiting_) // a second outstanding read is a fault of the code under test
            abort_reason_ = "two reads outstanding at once";
          waiting_ = std::make_unique<WaitingRead<Handler>>(std::move(handler));
          complete_waiting_read();
        },
        handler);
  }

  // A non-blocking read: what has been pushed, up to the buffers' size, or would_block.
  template <class MutableBufferSequence>
  std::size_t read_some(const MutableBufferSequence& buffers, boost::system::error_code& ec) {
    if (waiting_)
      abort_reason_ = "read while a wait is outstanding";
    if (closed_) {
      ec = boost::asio::error::bad_descriptor;
      return 0;
    }
    if (incoming_.empty() || read_shut_) {
      if (end_of_stream_ || read_shut_)
        ec = boost::asio::error::eof;
      else
        ec = boost::asio::error::would_block;
      return 0;
    }
    ec = boost::system::error_code();
    std::size_t taken = 0;
    for (auto it = boost::asio::buffer_sequence_begin(buffers); it != boost::asio::buffer_sequence_end(buffers); ++it) {
      boost::asio::mutable_buffer target(*it);
      std::size_t n = std::min(target.size(), incoming_.size() - taken);
      std::copy_n(incoming_.data() + taken, n, static_cast<char*>(target.data()));
      taken += n;
    }
    incoming_.erase(0, taken);
    return taken;
  }

  // A non-blocking write: takes what the write limit allows.
  template <class ConstBufferSequence>
  std::size_t write_some(const ConstBufferSequence& buffers, boost::system::error_code& ec) {
    return take(buffers, ec);
  }

  // Without room it waits for the client to read (or for the stream to close).
  template <class ConstBufferSequence, class WriteHandler>
  auto async_write_some(const ConstBufferSequence& buffers, WriteHandler&& handler) {
    return boost::asio::async_initiate<WriteHandler, void(boost::system::error_code, std::size_t)>(
        [this](auto handler, const ConstBufferSequence& buffers) {
          if (waiting_write_)
            abort_reason_ = "two writes outstanding at once";
          auto write = std::make_unique<WaitingWrite<decltype(handler), ConstBufferSequence>>(std::move(handler), buffers);
          if (write_room_ == 0 && !closed_ && !write_shut_) {
            waiting_write_ = std::move(write);
            return;
          }
          write->finish(*this);
        },
        handler, buffers);
  }

  template <class ConstBufferSequence>
  std::size_t take(const ConstBufferSequence& buffers, boost::system::error_code& ec) {
    ec = write_error_;
    if (ec)
      return 0;
    if (closed_ || write_shut_) {
      ec = closed_ ? boost::asio::error::bad_descriptor : boost::asio::error::broken_pipe;
      return 0;
    }
    if (write_room_ == 0) {
      ec = boost::asio::error::would_block;
      return 0;
    }
    std::size_t taken = 0;
    std::size_t limit = std::min(write_limit_ ? write_limit_ : static_cast<std::size_t>(-1), write_room_);
    for (auto it = boost::asio::buffer_sequence_begin(buffers); it != boost::asio::buffer_sequence_end(buffers) && taken < limit;
         ++it) {
      boost::asio::const_buffer buffer(*it);
      std::size_t n = std::min(buffer.size(), limit - taken);
      written_.append(static_cast<const char*>(buffer.data()), n);
      taken += n;
    }
    if (write_room_ != unlimited)
      write_room_ -= taken;
    return taken;
  }

  void shutdown(boost::asio::socket_base::shutdown_type what, boost::system::error_code& ec) {
    ec = closed_ ? boost::asio::error::bad_descriptor : boost::system::error_code();
    if (what != boost::asio::socket_base::shutdown_send)
      read_shut_ = true;
    if (what != boost::asio::socket_base::shutdown_receive)
      write_shut_ = true;
    complete_waiting_read();
  }

  // SO_LINGER with a time of 0 makes the next close a reset, as on a socket.
  void set_option(const boost::asio::socket_base::linger& option, boost::system::error_code& ec) {
    ec = boost::system::error_code();
    reset_on_close_ = option.enabled() && option.timeout() == 0;
  }
  // What the client had when the server first closed the stream, kept beyond the stream's life
  // (it goes with its connection): every byte written, and whether the end was a reset or in
  // order (the server's side shut down first: a FIN after the last byte).
  struct Ending {
    bool closed = false;
    bool reset = false;
    bool in_order = false;
    std::string written;
  };
  std::shared_ptr<const Ending> ending() {
    if (!ending_)
      ending_ = std::make_shared<Ending>();
    return ending_;
  }

  // Ends a waiting read as cancelled, as a socket's cancel() does.
  void cancel(boost::system::error_code& ec) {
    ec = boost::system::error_code();
    if (waiting_) {
      auto waiting = std::move(waiting_);
      waiting->finish(*this, boost::asio::error::operation_aborted);
    }
  }

  void close(boost::system::error_code& ec) {
    ec = boost::system::error_code();
    if (ending_ && !closed_)
      *ending_ = Ending{true, reset_on_close_, write_shut_ && !reset_on_close_, written_};
    closed_ = true;
    complete_waiting_read();
    if (waiting_write_) { // ends as a socket's pending write does when it is closed
      auto waiting = std::move(waiting_write_);
      waiting->abort(*this);
    }
  }

  // Set when the code under test misused the stream (the harness turns it into a crash).
  const char* abort_reason() const noexcept { return abort_reason_; }

private:
  struct WaitingReadBase {
    virtual ~WaitingReadBase() = default;
    virtual void finish(MemoryStream& stream, const boost::system::error_code& ec) = 0;
  };
  template <class Handler>
  struct WaitingRead : WaitingReadBase {
    explicit WaitingRead(Handler handler) : handler(std::move(handler)) {}
    void finish(MemoryStream& stream, const boost::system::error_code& ec) override {
      stream.complete(std::move(handler), ec);
    }
    Handler handler;
  };

  struct WaitingWriteBase {
    virtual ~WaitingWriteBase() = default;
    virtual void finish(MemoryStream& stream) = 0;
    virtual void abort(MemoryStream& stream) = 0;
  };
  template <class Handler, class Buffers>
  struct WaitingWrite : WaitingWriteBase {
    WaitingWrite(Handler handler, const Buffers& buffers) : handler(std::move(handler)), buffers(buffers) {}
    void finish(MemoryStream& stream) override {
      boost::system::error_code ec;
      std::size_t taken = stream.take(buffers, ec);
      stream.complete(std::move(handler), ec, taken);
    }
    void abort(MemoryStream& stream) override {
      stream.complete(std::move(handler), boost::system::error_code(boost::asio::error::operation_aborted),
                      std::size_t(0));
    }
    Handler handler;
    Buffers buffers;
  };

  void complete_waiting_read() {
    if (!waiting_)
      return;
    boost::system::error_code ec;
    if (closed_)
      ec = boost::asio::error::operation_aborted;
    else if (incoming_.empty() && !end_of_stream_ && !read_shut_)
      return; // wait for more bytes
    auto waiting = std::move(waiting_);
    waiting->finish(*this, ec);
  }

  // Posts handler(results...) through the handler's own executor.
  template <class Handler, class... Results>
  void complete(Handler handler, const Results&... results) {
    auto handler_executor = boost::asio::get_associated_executor(handler, executor_);
    boost::asio::post(executor_, boost::asio::bind_executor(handler_executor,
                                                            [handler = std::move(handler), results...]() mutable {
                                                              handler(results...);
                                                            }));
  }

  executor_type executor_;
  std::string incoming_;
  std::string written_;
  static constexpr std::size_t unlimited = static_cast<std::size_t>(-1);
  std::unique_ptr<WaitingReadBase> waiting_;
  std::unique_ptr<WaitingWriteBase> waiting_write_;
  std::size_t write_limit_ = 0;
  std::size_t write_room_ = unlimited;
  boost::system::error_code write_error_;
  bool end_of_stream_ = false;
  bool read_shut_ = false;
  bool write_shut_ = false;
  bool closed_ = false;
  bool reset_on_close_ = false;
  std::shared_ptr<Ending> ending_;
  const char* abort_reason_ = nullptr;
};

} // namespace korva_test
