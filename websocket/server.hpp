#pragma once
// The WebSocket server: listening and accepting, the opening handshake, frames in and out,
// closing. It knows nothing of what the messages mean.
//
// Use: construct, set `config` fields, register handlers with `endpoint["^/path$"].on_message =
// ...`, then call start() on the thread that is to run the event loop. start() returns only when
// the loop has ended. Other threads may call get_connections() and Connection::send().

#include "websocket/connection.hpp"
#include "websocket/write_turn.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

namespace KorvaWeb {

struct Config {
  unsigned short port = 80;
  // Threads that run the event loop, the caller of start() included; 0: start() only listens.
  // More than 1 is refused by start(): a connection's reader, timers and send queue share state
  // that only one event-loop thread may touch.
  std::size_t thread_pool_size = 1;
  // Seconds to receive the upgrade request, and again to write the 101 response; 0: no limit.
  long timeout_request = 5;
  // Seconds of silence before the server closes an open connection; 0: never.
  long timeout_idle = 0;
  // Seconds from the report of a connection's close or failure until it is cut (socket closed,
  // queue freed), even if frames are still queued for a client that does not read them; 0: only
  // when they are written.
  long timeout_close = 5;
  // While more than this many bytes are queued for a connection, its next frame is not read, so
  // that a client that sends without reading is slowed down by TCP instead of growing its queue;
  // 0: read regardless.
  std::size_t send_queue_high_water = 0;
  // A frame that would take a connection's queue over this many bytes cuts the connection:
  // socket closed, queue freed, error::send_queue_limit (ENOBUFS) to on_error; 0: no limit.
  std::size_t send_queue_limit = 0;
  // Seconds a started frame or fragmented message may go without a byte before its connection is
  // cut (error::message_stalled); 0: no limit. An idle connection has no such limit.
  long timeout_message = 0;
  // Bytes the server may hold for all its clients together (messages being received, frames
  // queued; see websocket/budget.hpp). When a read or a frame would pass it, the connection that
  // holds the most is cut (error::memory_budget); 0: no limit.
  std::size_t memory_budget = 0;
  // Connections accepted and not yet ended; one more is answered "503 Service Unavailable" instead
  // of the 101 and closed; 0: no limit.
  std::size_t max_connections = 0;
  // Send and receive buffer of every accepted socket (SO_SNDBUF, SO_RCVBUF), in place of the
  // kernel's own sizing, which lets a client that does not read make the kernel hold megabytes for
  // it; the full send buffer of such a client counts against memory_budget; 0: the kernel's sizing.
  int socket_buffer_size = 0;
  // Largest accepted message in bytes.
  std::size_t max_message_size = std::numeric_limits<std::size_t>::max();
  // Local address to bind (an IPv4 or IPv6 literal); empty: every IPv4 address.
  std::string address;
  bool reuse_address = true;
};

// A path pattern (ECMAScript, full match), ordered by its source text. The order is the order in
// which the handshake tries the patterns.
class EndpointPattern {
public:
  // Implicit, so that `endpoints["^/api/?$"]` registers a pattern.
  EndpointPattern(const std::string& text);
  EndpointPattern(const char* text);

  bool operator<(const EndpointPattern& other) const noexcept { return text < other.text; }

  std::regex pattern;
  std::string text;
};

template <class Connection>
class BasicEndpoint {
public:
  // Open connections of this endpoint, guarded by connections_mutex, which is never held while
  // a handler runs.
  std::unordered_set<std::shared_ptr<Connection>> connections;
  std::mutex connections_mutex;

  // Optional handlers; all run on an event-loop thread.
  std::function<void(std::shared_ptr<Connection>)> on_open;
  std::function<void(std::shared_ptr<Connection>, std::shared_ptr<Message>)> on_message;
  std::function<void(std::shared_ptr<Connection>, int status, const std::string& reason)> on_close;
  std::function<void(std::shared_ptr<Connection>, const boost::system::error_code&)> on_error;
  std::function<void(std::shared_ptr<Connection>)> on_ping;
  std::function<void(std::shared_ptr<Connection>)> on_pong;
};

template <class socket_type>
class SocketServerBase {
public:
  using Connection = BasicConnection<socket_type>;
  using Endpoint = BasicEndpoint<Connection>;
  using Message = KorvaWeb::Message;
  using SendStream = KorvaWeb::SendStream;

  SocketServerBase() : handler_runner(new ScopeRunner()) {}
  virtual ~SocketServerBase();

  SocketServerBase(const SocketServerBase&) = delete;
  SocketServerBase& operator=(const SocketServerBase&) = delete;

  // Opens the listener (unless `acceptor` is open already: it must then be listening) and runs the
  // event loop; returns when the loop has ended. Throws
  // boost::system::system_error naming the failed step ("open", "set_option", "bind", "listen")
  // or an invalid address, and std::invalid_argument for a thread_pool_size above 1.
  virtual void start();

  // A new set holding every open connection of every endpoint. The references keep those
  // connections alive until the caller drops the set.
  std::unordered_set<std::shared_ptr<Connection>> get_connections();
  // The same snapshot as a list, in the endpoints' order, each connection once, shared by its
  // callers: one list is kept until a connection opens or ends, so that code that goes through
  // every connection for each message (the follow-up notifications) takes it for one reference.
  using ConnectionList = std::vector<std::shared_ptr<Connection>>;
  std::shared_ptr<const ConnectionList> get_connection_list();

  // Port the listener is bound to once start() has set it up (0 before); useful with port 0.
  unsigned short bound_port() const noexcept { return bound_port_.load(); }

  // Ends the event loop from any thread: start() then returns.
  void stop();

  // Ends the server in order, from any thread that `io_service` was set before (an event loop
  // given to the server before start(), or one that start() made before the thread learnt of it):
  // it accepts no more connections, sends every open one a close frame with `status` and
  // `reason`, and ends the event loop once every connection has ended (its client answered the
  // close, or went) or `grace` has passed.
  void shutdown(int status, const std::string& reason, std::chrono::milliseconds grace);

  Config config;
  std::map<EndpointPattern, Endpoint> endpoints;
  std::shared_ptr<boost::asio::io_context> io_service;
  bool owns_io_service = false;
  std::unique_ptr<boost::asio::ip::tcp::acceptor> acceptor;
  std::vector<std::thread> threads;
  std::shared_ptr<ScopeRunner> handler_runner;
  // What the server holds for its clients; made with config.memory_budget by the first
  // new_connection().
  std::shared_ptr<Budget> budget;
  // The task of the event loop's turn that starts the writing of the queues that became busy in
  // it; made by the first new_connection().
  std::shared_ptr<WriteTurn> write_turn;

  // The connection's road, in the order it takes it (public so that tests and fuzzers can drive
  // a connection without an acceptor).
  virtual void accept() = 0;
  // A connection on the event loop with the bounds and time-outs of `config`, not yet accepted.
  std::shared_ptr<Connection> new_connection();
  // The connection has been accepted: it counts against the budget and the connection limit, or,
  // beyond that limit, is marked to be answered 503. False: dropped at once (too many refusals).
  bool admit(const std::shared_ptr<Connection>& connection);
  void read_request(const std::shared_ptr<Connection>& connection);
  void answer_handshake(const std::shared_ptr<Connection>& connection);
  void report_open(const std::shared_ptr<Connection>& connection, Endpoint& endpoint);
  // Takes every whole frame from the input buffer, then reads from the socket for the next one.
  void read_frame(const std::shared_ptr<Connection>& connection, Endpoint& endpoint);
  void report_close(const std::shared_ptr<Connection>& connection, Endpoint& endpoint, int status,
                    const std::string& reason);
  void report_error(const std::shared_ptr<Connection>& connection, Endpoint& endpoint,
                    const boost::system::error_code& error);

private:
  // Reading the socket (impl/server_base.hpp).
  template <class Step>
  void when_readable(const std::shared_ptr<Connection>& connection, bool drained, Step step);
  template <class Next>
  void read_more(const std::shared_ptr<Connection>& connection, std::size_t wanted, std::size_t limit, bool drained,
                 Next next);

  // The handshake (impl/read_request.hpp).
  void read_request_head(const std::shared_ptr<Connection>& connection, std::size_t searched, bool drained);

  // Frames (impl/read_frames.hpp, impl/dispatch_frame.hpp).
  enum class FrameStep {
    taken,      // a frame was taken and handled; reading goes on
    delivered,  // a message was handed to on_message: the connection's turn ends
    incomplete, // the input buffer holds no whole frame
    payload,    // a frame's payload is read straight into its message (payload_read)
    ended       // reading has stopped (a close, or a refused frame)
  };
  void handle_frames(const std::shared_ptr<Connection>& connection, Endpoint& endpoint, bool drained);
  void read_payload(const std::shared_ptr<Connection>& connection, Endpoint& endpoint, bool drained);
  void stop_reading(const std::shared_ptr<Connection>& connection);
  FrameStep take_frame(const std::shared_ptr<Connection>& connection, Endpoint& endpoint, std::size_t& wanted);
  bool text_checked(const std::shared_ptr<Connection>& connection, unsigned char fin_rsv_opcode,
                    const unsigned char* bytes, std::size_t size, bool ends);
  std::shared_ptr<Message> message_for_frame(const std::shared_ptr<Connection>& connection,
                                             unsigned char fin_rsv_opcode, std::size_t length, bool whole);
  FrameStep act_on_frame(const std::shared_ptr<Connection>& connection, Endpoint& endpoint,
                         const std::shared_ptr<Message>& target, unsigned char fin_rsv_opcode, std::size_t length);
  void answer_close(const std::shared_ptr<Connection>& connection, Endpoint& endpoint, Message& target,
                    std::size_t length);
  void answer_ping(const std::shared_ptr<Connection>& connection, Endpoint& endpoint, Message& target,
                   unsigned char fin_rsv_opcode, std::size_t length);

  // Closing (impl/closing.hpp).
  void retire(const std::shared_ptr<Connection>& connection, Endpoint& endpoint);
  void refuse_frame(const std::shared_ptr<Connection>& connection, Endpoint& endpoint, error failure);

  // Looks every few milliseconds whether the connections have all gone, until `deadline`.
  void end_when_closed(std::chrono::steady_clock::time_point deadline);

  // A connection opened or ended: the kept list is out of date (any thread; takes no other lock).
  void connections_changed();

  std::atomic<unsigned short> bound_port_{0};
  // The list that get_connection_list() hands out, and the count of changes that tells a list made
  // meanwhile from an up-to-date one.
  std::mutex connection_list_mutex;
  std::shared_ptr<const ConnectionList> connection_list;
  std::uint64_t connection_changes = 0;
  std::unique_ptr<boost::asio::steady_timer> shutdown_timer;
  // Set by shutdown() (on the event loop): the close every connection gets, also one that opens
  // afterwards.
  std::optional<std::pair<int, std::string>> stop_close;
};

// The server over plain TCP.
class SocketServer : public SocketServerBase<boost::asio::ip::tcp::socket> {
public:
  SocketServer() = default;
  void accept() override;

private:
  // Posts the next accept after a short pause: used when accepting failed for want of file
  // descriptors or memory, which would otherwise fail again at once, round and round.
  void accept_after_pause();
  std::unique_ptr<boost::asio::steady_timer> accept_pause;
};

extern template class SocketServerBase<boost::asio::ip::tcp::socket>;

} // namespace KorvaWeb
