#pragma once
// The WebSocket server: listening and accepting, the opening handshake, frames in and out,
// closing. It knows nothing of what the messages mean.
//
// Use: construct, set `config` fields, register handlers with `endpoint["^/path$"].on_message =
// ...`, then call start() on the thread that is to run the event loop. start() returns only when
// the loop has ended. Other threads may call get_connections() and Connection::send().
//
// Threads and locks. Everything of a connection (its reader, timers, send queue and socket) and
// of the server belongs to the event loop's one thread. Other threads only take snapshots of the
// connections and send, which posts the frame to the loop. Three locks remain, each because a
// snapshot may hold the last reference to a connection, so that a connection can end on any
// thread, or because snapshots are taken there:
//   - each endpoint's connections_mutex guards its set of open connections, which snapshots copy;
//   - connection_list_mutex guards the kept snapshot list and its count of changes;
//   - the budget's lock guards its list of connections, from which a connection ending on another
//     thread unlinks itself (websocket/budget.hpp);
//   - the hand-over's lock guards the broadcasts other threads hand to the loop (handover.hpp).
// None is held while a handler runs or a frame is sent, and no two are held together.

#include "websocket/address_shares.hpp"
#include "websocket/config.hpp"
#include "websocket/connection.hpp"
#include "websocket/endpoint.hpp"
#include "websocket/handover.hpp"
#include "websocket/write_turn.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
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

  // Queues `payload` as one frame on every connection of `connections` (a snapshot from
  // get_connection_list()), with `callback` for each. On the loop's thread at once, like send();
  // from any other thread it is handed over to the loop as one piece (handover.hpp), which bounds
  // what waits there by config.handover_reserve and does `when_full` when it is reached. Pieces
  // from other threads are queued in the order they were handed over.
  void broadcast(std::shared_ptr<const ConnectionList> connections, std::shared_ptr<SendStream> payload,
                 SendCallback callback, WhenFull when_full,
                 unsigned char fin_rsv_opcode = fin_rsv_opcodes::text);
  // Called on the loop with the number of broadcasts dropped (WhenFull::drop_oldest) once it has
  // caught up after them; optional, set before start().
  std::function<void(std::uint64_t dropped)> on_broadcasts_dropped;

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
  // The event loop's permessage-deflate streams, made by the first connection that agrees on it.
  std::shared_ptr<Compression> compression;
  // The broadcasts other threads hand to the loop; made with config.handover_reserve by the first
  // new_connection().
  std::shared_ptr<Handover<Connection>> handover;

  // The connection's road, in the order it takes it (public so that tests and fuzzers can drive
  // a connection without an acceptor).
  virtual void accept() = 0;
  // A connection on the event loop with the bounds and time-outs of `config`, not yet accepted.
  std::shared_ptr<Connection> new_connection();
  // The connection has been accepted: it takes its place under the limit of connections, or, at
  // that limit, waits for its request head beyond it (impl/admission.hpp). False: dropped at once.
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
  // Reading the socket (impl/read_socket.hpp).
  template <class Step>
  void when_readable(const std::shared_ptr<Connection>& connection, bool drained, Step step);
  template <class Next>
  void read_more(const std::shared_ptr<Connection>& connection, std::size_t wanted, std::size_t limit, bool drained,
                 Next next);

  // The handshake (impl/read_request.hpp) and the limit of connections (impl/admission.hpp).
  void read_request_head(const std::shared_ptr<Connection>& connection, std::size_t searched, bool drained);
  using Place = typename Connection::Place;
  enum class Verdict { in, unavailable, dropped };
  Verdict let_in(const std::shared_ptr<Connection>& connection);
  void take_place(const std::shared_ptr<Connection>& connection);
  void leave_waiting(const std::shared_ptr<Connection>& connection);
  void give_way(const std::shared_ptr<Connection>& connection, Endpoint* endpoint);
  void answer_unavailable(const std::shared_ptr<Connection>& connection);

  // Frames (impl/read_frames.hpp, impl/dispatch_frame.hpp, impl/inflate_message.hpp).
  enum class AfterFrame {
    next,        // reading goes on
    turn_over,   // a message was handed to on_message: the connection's turn ends
    later,       // a step of inflating is done: the rest comes in a later turn
    needs_bytes, // the buffer holds no whole frame: the socket is read
    ended        // reading has stopped (a close, or a refused frame)
  };
  void handle_frames(const std::shared_ptr<Connection>& connection, Endpoint& endpoint, bool drained);
  AfterFrame take_frame(const std::shared_ptr<Connection>& connection, Endpoint& endpoint);
  void read_frame_bytes(const std::shared_ptr<Connection>& connection, Endpoint& endpoint, bool drained);
  void read_payload(const std::shared_ptr<Connection>& connection, Endpoint& endpoint, bool drained);
  FrameReader::Step read_into_payload(const std::shared_ptr<Connection>& connection, std::size_t& room,
                                      std::size_t& bytes, boost::system::error_code& ec);
  bool reading_ended(const std::shared_ptr<Connection>& connection, Endpoint& endpoint,
                     const boost::system::error_code& ec = boost::system::error_code());
  AfterFrame inflate_message(const std::shared_ptr<Connection>& connection, Endpoint& endpoint);
  void wait_for_room(const std::shared_ptr<Connection>& connection, Endpoint& endpoint);
  void next_turn(const std::shared_ptr<Connection>& connection, Endpoint& endpoint);
  void stop_reading(const std::shared_ptr<Connection>& connection);
  AfterFrame act_on_frame(const std::shared_ptr<Connection>& connection, Endpoint& endpoint, FrameReader::Frame frame);
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
  // With a limit of connections (on the loop): those that hold a place under it by client address;
  // beyond it, those waiting for their request heads, those taken on trial, and those that gave
  // way to another and are still ending, each in the order they came.
  AddressShares<Connection, Endpoint> address_shares;
  std::deque<std::weak_ptr<Connection>> waiting_, on_trial_, given_way_;
  std::unique_ptr<boost::asio::steady_timer> shutdown_timer;
  // Waits for a few quiet seconds after a flood (Budget::on_quiet), on the connections' clock.
  using QuietTimer = typename detail::timer_of<socket_type>::type;
  std::unique_ptr<QuietTimer> quiet_timer;
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
