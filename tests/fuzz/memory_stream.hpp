#pragma once
// An in-memory stream for driving the server's real receiving code without a network: the test
// pushes the bytes a client would send (in whatever pieces it likes) and reads back everything the
// server wrote. Reads complete from the pushed bytes, or wait until more arrive; writes are taken
// whole or, with a write limit, a few bytes at a time, so that composed writes go round.
//
// Completions are always posted (never run inside the initiating call), through the handler's own
// executor, as a socket's would be. A read waiting for bytes holds no work on the io_context: the
// test runs the loop with poll() until nothing is ready, pushes the next piece, and polls again.

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
  // Largest number of bytes one write_some takes (0: all of them).
  void set_write_limit(std::size_t limit) noexcept { write_limit_ = limit; }
  bool closed() const noexcept { return closed_; }
  bool read_waiting() const noexcept { return static_cast<bool>(waiting_); }

  // --- the socket operations the server uses -----------------------------------------------

  template <class MutableBufferSequence, class ReadHandler>
  auto async_read_some(const MutableBufferSequence& buffers, ReadHandler&& handler) {
    return boost::asio::async_initiate<ReadHandler, void(boost::system::error_code, std::size_t)>(
        [this](auto handler, const MutableBufferSequence& buffers) {
          std::vector<boost::asio::mutable_buffer> targets(boost::asio::buffer_sequence_begin(buffers),
                                                           boost::asio::buffer_sequence_end(buffers));
          using Handler = decltype(handler);
          auto waiting = std::make_unique<WaitingRead<Handler>>(std::move(handler), std::move(targets));
          if (waiting_) // a second outstanding read is a fault of the code under test
            abort_reason_ = "two reads outstanding at once";
          waiting_ = std::move(waiting);
          complete_waiting_read();
        },
        handler, buffers);
  }

  template <class ConstBufferSequence, class WriteHandler>
  auto async_write_some(const ConstBufferSequence& buffers, WriteHandler&& handler) {
    return boost::asio::async_initiate<WriteHandler, void(boost::system::error_code, std::size_t)>(
        [this](auto handler, const ConstBufferSequence& buffers) {
          boost::system::error_code ec;
          std::size_t taken = 0;
          if (closed_ || write_shut_) {
            ec = closed_ ? boost::asio::error::bad_descriptor : boost::asio::error::broken_pipe;
          } else {
            std::size_t limit = write_limit_ ? write_limit_ : static_cast<std::size_t>(-1);
            for (auto it = boost::asio::buffer_sequence_begin(buffers);
                 it != boost::asio::buffer_sequence_end(buffers) && taken < limit; ++it) {
              boost::asio::const_buffer buffer(*it);
              std::size_t n = std::min(buffer.size(), limit - taken);
              written_.append(static_cast<const char*>(buffer.data()), n);
              taken += n;
            }
          }
          complete(std::move(handler), ec, taken);
        },
        handler, buffers);
  }

  void shutdown(boost::asio::socket_base::shutdown_type what, boost::system::error_code& ec) {
    ec = closed_ ? boost::asio::error::bad_descriptor : boost::system::error_code();
    if (what != boost::asio::socket_base::shutdown_send)
      read_shut_ = true;
    if (what != boost::asio::socket_base::shutdown_receive)
      write_shut_ = true;
    complete_waiting_read();
  }

  void close(boost::system::error_code& ec) {
    ec = boost::system::error_code();
    closed_ = true;
    complete_waiting_read();
  }

  // Set when the code under test misused the stream (the harness turns it into a crash).
  const char* abort_reason() const noexcept { return abort_reason_; }

private:
  struct WaitingReadBase {
    virtual ~WaitingReadBase() = default;
    virtual void finish(MemoryStream& stream, const boost::system::error_code& ec, std::string& incoming) = 0;
  };
  template <class Handler>
  struct WaitingRead : WaitingReadBase {
    WaitingRead(Handler handler, std::vector<boost::asio::mutable_buffer> targets)
        : handler(std::move(handler)), targets(std::move(targets)) {}
    void finish(MemoryStream& stream, const boost::system::error_code& ec, std::string& incoming) override {
      std::size_t taken = 0;
      if (!ec) {
        for (auto& target : targets) {
          std::size_t n = std::min(target.size(), incoming.size() - taken);
          std::copy_n(incoming.data() + taken, n, static_cast<char*>(target.data()));
          taken += n;
        }
        incoming.erase(0, taken);
      }
      stream.complete(std::move(handler), ec, taken);
    }
    Handler handler;
    std::vector<boost::asio::mutable_buffer> targets;
  };

  void complete_waiting_read() {
    if (!waiting_)
      return;
    boost::system::error_code ec;
    if (closed_)
      ec = boost::asio::error::operation_aborted;
    else if (!incoming_.empty() && !read_shut_)
      ec = boost::system::error_code();
    else if (end_of_stream_ || read_shut_)
      ec = boost::asio::error::eof;
    else
      return; // wait for more bytes
    auto waiting = std::move(waiting_);
    waiting->finish(*this, ec, incoming_);
  }

  template <class Handler>
  void complete(Handler handler, const boost::system::error_code& ec, std::size_t bytes) {
    auto handler_executor = boost::asio::get_associated_executor(handler, executor_);
    boost::asio::post(executor_, boost::asio::bind_executor(handler_executor,
                                                            [handler = std::move(handler), ec, bytes]() mutable {
                                                              handler(ec, bytes);
                                                            }));
  }

  executor_type executor_;
  std::string incoming_;
  std::string written_;
  std::unique_ptr<WaitingReadBase> waiting_;
  std::size_t write_limit_ = 0;
  bool end_of_stream_ = false;
  bool read_shut_ = false;
  bool write_shut_ = false;
  bool closed_ = false;
  const char* abort_reason_ = nullptr;
};

} // namespace korva_test
