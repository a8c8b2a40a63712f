#pragma once
// Non-blocking WebSocket client connections over raw TCP sockets in one epoll set, for the
// benchmark's load generator. A Poller and its connections belong to the one thread that made
// them; nothing here is thread-safe.

#include "bench/ws_deflate.hpp"
#include "tests/support/client_frame.hpp"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <sys/epoll.h>

namespace korva_bench {

using Clock = std::chrono::steady_clock;

// A failure that makes the run worthless (a refused connection, a protocol error, a lost
// answer): the generator prints its text and exits non-zero.
struct BenchError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Where the connections go. The host is a numeric IPv4 address. With `deflate`, every connection
// offers permessage-deflate and fails when the server does not agree on it.
struct Target {
  std::string host = "127.0.0.1";
  unsigned short port = 0;
  std::string path = "/api";
  bool deflate = false;
};

// A whole data frame as received (the server's frames are never masked). `payload` points into
// the connection's receive buffer and is valid only during the call that hands it over. RSV1 in
// `fin_rsv_opcode` marks a compressed payload (Connection::inflate gives its message).
struct Frame {
  unsigned char fin_rsv_opcode;
  const char* payload;
  std::size_t length;
  std::size_t wire_length; // with the header
};

// Appends a client frame (masked with `mask`) carrying the payload; returns the offset of the
// payload within `out`, where its bytes stand masked. The tests' clients use the same encoder.
using korva_test::append_client_frame;

// One epoll set. Each registered socket carries a caller-chosen id in its events.
class Poller {
public:
  Poller();
  ~Poller();
  Poller(const Poller&) = delete;
  Poller& operator=(const Poller&) = delete;

  void add(int fd, std::uint32_t id, std::uint32_t events);
  void modify(int fd, std::uint32_t id, std::uint32_t events);
  // Waits until at least one socket is ready or `deadline` passes; returns how many events
  // `event(i)` holds.
  int wait(Clock::time_point deadline);
  const epoll_event& event(int i) const { return events_[static_cast<std::size_t>(i)]; }

private:
  int fd_ = -1;
  std::vector<epoll_event> events_;
};

// One client connection: connect, upgrade, then frames. Every failure throws BenchError naming
// the connection, except while closing, where the server's end of the connection is expected.
class Connection {
public:
  Connection(std::uint32_t id, Poller& poller);
  ~Connection(); // closes the socket (which also leaves the epoll set)
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  std::uint32_t id() const { return id_; }
  bool is_open() const { return state_ == State::open; }
  bool is_closed() const { return state_ == State::closed; }

  // Starts a non-blocking connect; the upgrade request follows once the socket is connected.
  void start(const Target& target);
  // Handles an event of a connection still in its handshake; true once the 101 response has
  // arrived (with the accept value of the key sent).
  bool advance_handshake(std::uint32_t events);

  // Sends at once as much as the socket takes and the rest when it becomes writable, in order.
  void send(const char* data, std::size_t length);

  // What the server agreed on for permessage-deflate; null when nothing was agreed.
  const DeflateAnswer* deflate() const { return deflate_ ? &*deflate_ : nullptr; }
  // The message of a compressed frame (RSV1 set), valid until the next call on this connection.
  // The inflate stream is made at the first one.
  std::string_view inflate(const Frame& frame);

  // Handles an event of an open connection: writes what is pending, reads what arrived and
  // calls on_frame(const Frame&) for every whole text or binary frame. Pings are answered;
  // a close frame, the end of the stream or a malformed frame throws.
  template <typename OnFrame>
  void handle(std::uint32_t events, OnFrame&& on_frame) {
    if (events & EPOLLOUT)
      flush();
    if (events & (EPOLLIN | EPOLLERR | EPOLLHUP)) {
      receive_or_throw();
      Frame frame;
      while (next_frame(frame))
        on_frame(frame);
    }
  }

  // Sends a close frame (status 1000); the connection then only waits for the server to close.
  void begin_close();
  // For an event of a closing connection: reads and discards; true once the server has closed
  // (the socket is then released).
  bool finish_close(std::uint32_t events);

private:
  enum class State { idle, connecting, handshaking, open, closing, closed };

  // Reads once into the receive buffer: the bytes read, 0 when nothing was there, -1 at the end
  // of the stream or on an error (then `errno` tells which; 0 for the end of the stream).
  long receive();
  void receive_or_throw();
  // Takes the next whole data frame out of the receive buffer; control frames are dealt with
  // here. False when no whole data frame is left.
  bool next_frame(Frame& frame);
  void flush();
  void watch(bool want_write);
  void make_room(std::size_t bytes);
  [[noreturn]] void fail(const std::string& what) const;
  void release();

  std::uint32_t id_;
  Poller& poller_;
  int fd_ = -1;
  State state_ = State::idle;
  bool watching_write_ = false;
  std::string host_;
  std::vector<char> in_; // received bytes in [begin_, end_)
  std::size_t begin_ = 0, end_ = 0;
  std::string out_;      // bytes the socket has not taken yet, from out_begin_
  std::size_t out_begin_ = 0;
  unsigned char mask_[4];
  bool offered_deflate_ = false;
  std::optional<DeflateAnswer> deflate_;
  std::unique_ptr<MessageInflater> inflater_;
};

// Opens `count` connections to the target with their handshakes complete, a few dozen
// handshakes at a time so that the listener's backlog never overflows. Ids are 0..count-1.
// Throws BenchError when a connection fails or not all are open by the deadline.
std::vector<std::unique_ptr<Connection>> open_connections(const Target& target, std::size_t count, Poller& poller,
                                                          Clock::time_point deadline);

// Closes every connection with a close frame and waits for the server to close each, until the
// deadline at the latest; what is still open then is simply closed.
void close_connections(std::vector<std::unique_ptr<Connection>>& connections, Poller& poller,
                       Clock::time_point deadline);

} // namespace korva_bench
