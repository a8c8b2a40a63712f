#include "bench/ws_client.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <random>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace korva_bench {

namespace {

// The sample key of the WebSocket RFC and its accept value: the generator checks the server's
// answer without a SHA-1 of its own.
constexpr const char* upgrade_key = "dGhlIHNhbXBsZSBub25jZQ==";
constexpr const char* upgrade_accept = "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=";

// The largest frame the generator accepts; the service's largest reply is 16 MiB.
constexpr std::uint64_t max_frame_length = 64u << 20;
// Handshakes in progress at once while opening many connections (the service's backlog is 128).
constexpr std::size_t handshake_window = 64;

std::string errno_text(int error) { return error == 0 ? "end of stream" : std::strerror(error); }

// The value of the first header line of that name (in lower case) in a response head; none when
// there is no such line.
std::optional<std::string> header_value(const std::string& head, const char* lower_name) {
  std::size_t at = head.find("\r\n");
  const std::size_t name_size = std::strlen(lower_name);
  while (at != std::string::npos && at + 2 < head.size()) {
    std::size_t begin = at + 2, end = head.find("\r\n", begin);
    if (end == std::string::npos)
      break;
    std::size_t colon = head.find(':', begin);
    if (colon < end && colon - begin == name_size &&
        std::equal(head.begin() + static_cast<long>(begin), head.begin() + static_cast<long>(colon), lower_name,
                   [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == b; }))
      return head.substr(colon + 1, end - colon - 1);
    at = end;
  }
  return std::nullopt;
}

} // namespace

Poller::Poller() : fd_(::epoll_create1(EPOLL_CLOEXEC)), events_(256) {
  if (fd_ < 0)
    throw BenchError(std::string("epoll_create1: ") + std::strerror(errno));
}

Poller::~Poller() { ::close(fd_); }

void Poller::add(int fd, std::uint32_t id, std::uint32_t events) {
  epoll_event event{};
  event.events = events;
  event.data.u32 = id;
  if (::epoll_ctl(fd_, EPOLL_CTL_ADD, fd, &event) != 0)
    throw BenchError(std::string("epoll_ctl: ") + std::strerror(errno));
}

void Poller::modify(int fd, std::uint32_t id, std::uint32_t events) {
  epoll_event event{};
  event.events = events;
  event.data.u32 = id;
  if (::epoll_ctl(fd_, EPOLL_CTL_MOD, fd, &event) != 0)
    throw BenchError(std::string("epoll_ctl: ") + std::strerror(errno));
}

int Poller::wait(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  // Round up so that a wait never returns just before its deadline and spins.
  int timeout = static_cast<int>(std::clamp<long long>(left + 1, 0, 1000));
  int n = ::epoll_wait(fd_, events_.data(), static_cast<int>(events_.size()), timeout);
  if (n < 0 && errno != EINTR)
    throw BenchError(std::string("epoll_wait: ") + std::strerror(errno));
  return std::max(n, 0);
}

Connection::Connection(std::uint32_t id, Poller& poller) : id_(id), poller_(poller) {
  static std::mt19937 random{std::random_device{}()};
  for (auto& byte : mask_)
    byte = static_cast<unsigned char>(random());
}

Connection::~Connection() { release(); }

void Connection::release() {
  if (fd_ >= 0)
    ::close(fd_);
  fd_ = -1;
  state_ = State::closed;
}

void Connection::fail(const std::string& what) const {
  throw BenchError("connection " + std::to_string(id_) + ": " + what);
}

void Connection::start(const Target& target) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(target.port);
  if (::inet_pton(AF_INET, target.host.c_str(), &address.sin_addr) != 1)
    throw BenchError("not a numeric IPv4 address: " + target.host);
  host_ = target.host + ":" + std::to_string(target.port);

  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd_ < 0)
    throw BenchError(std::string("socket: ") + std::strerror(errno) +
                     (errno == EMFILE ? " (raise the open-file limit: ulimit -n)" : ""));
  int one = 1;
  ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 && errno != EINPROGRESS)
    throw BenchError("cannot connect to " + host_ + ": " + std::strerror(errno));

  out_ = "GET " + target.path + " HTTP/1.1\r\nHost: " + host_ +
         "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: " + upgrade_key +
         "\r\nSec-WebSocket-Version: 13\r\n" +
         (target.deflate ? std::string("Sec-WebSocket-Extensions: ") + deflate_offer + "\r\n" : std::string()) +
         "\r\n";
  offered_deflate_ = target.deflate;
  out_begin_ = 0;
  state_ = State::connecting;
  watching_write_ = true;
  poller_.add(fd_, id_, EPOLLIN | EPOLLOUT);
}

bool Connection::advance_handshake(std::uint32_t events) {
  if (state_ == State::connecting) {
    if (!(events & (EPOLLOUT | EPOLLERR | EPOLLHUP)))
      return false;
    int error = 0;
    socklen_t size = sizeof error;
    ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &size);
    if (error != 0)
      throw BenchError("cannot connect to " + host_ + ": " + std::strerror(error));
    state_ = State::handshaking;
  }
  if (events & EPOLLOUT)
    flush();
  if (!(events & (EPOLLIN | EPOLLERR | EPOLLHUP)))
    return false;
  if (receive() < 0)
    fail("the server closed the connection during the handshake (" + errno_text(errno) +
         "): is this a WebSocket server, and the path right?");
  static const char blank_line[] = "\r\n\r\n";
  auto head_end = std::search(in_.begin() + static_cast<long>(begin_), in_.begin() + static_cast<long>(end_),
                              blank_line, blank_line + 4);
  if (head_end == in_.begin() + static_cast<long>(end_)) {
    if (end_ - begin_ > 64 * 1024)
      fail("the answer to the upgrade request has no end");
    return false;
  }
  std::string head(in_.begin() + static_cast<long>(begin_), head_end + 4);
  begin_ += head.size();
  if (head.compare(0, 12, "HTTP/1.1 101") != 0 || head.find(upgrade_accept) == std::string::npos)
    fail("the server refused the upgrade: " + head.substr(0, head.find('\r')));
  if (auto extensions = header_value(head, "sec-websocket-extensions")) {
    if (!offered_deflate_ || !(deflate_ = parse_deflate_answer(*extensions)))
      fail("the server answered with an extension the generator did not offer: " + *extensions);
  } else if (offered_deflate_) {
    fail("the server did not agree on permessage-deflate");
  }
  state_ = State::open;
  return true;
}

void Connection::send(const char* data, std::size_t length) {
  if (out_begin_ == out_.size()) {
    out_.clear();
    out_begin_ = 0;
    ssize_t n = ::send(fd_, data, length, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno != EAGAIN && errno != EWOULDBLOCK)
        fail(std::string("send: ") + std::strerror(errno));
      n = 0;
    }
    data += n;
    length -= static_cast<std::size_t>(n);
    if (length == 0)
      return;
  }
  out_.append(data, length);
  if (!watching_write_)
    watch(true);
}

std::string_view Connection::inflate(const Frame& frame) {
  if (!inflater_)
    inflater_ = std::make_unique<MessageInflater>(deflate_->server_max_window_bits, !deflate_->server_no_context_takeover);
  try {
    return inflater_->inflate(frame.payload, frame.length);
  } catch (const BenchError& e) {
    fail(e.what());
  }
}

void Connection::flush() {
  while (out_begin_ < out_.size()) {
    ssize_t n = ::send(fd_, out_.data() + out_begin_, out_.size() - out_begin_, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK)
        return;
      if (state_ == State::closing)
        return; // the server went first; finish_close sees the end of the stream
      fail(std::string("send: ") + std::strerror(errno));
    }
    out_begin_ += static_cast<std::size_t>(n);
  }
  out_.clear();
  out_begin_ = 0;
  if (watching_write_)
    watch(false);
}

void Connection::watch(bool want_write) {
  watching_write_ = want_write;
  poller_.modify(fd_, id_, EPOLLIN | (want_write ? EPOLLOUT : 0u));
}

void Connection::make_room(std::size_t bytes) {
  if (begin_ == end_)
    begin_ = end_ = 0;
  if (in_.size() - end_ >= bytes)
    return;
  if (begin_ > 0) {
    std::memmove(in_.data(), in_.data() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
  }
  if (in_.size() - end_ < bytes)
    in_.resize(std::max(in_.size() * 2, end_ + bytes));
}

long Connection::receive() {
  if (in_.empty())
    in_.resize(16 * 1024);
  make_room(4096);
  ssize_t n = ::recv(fd_, in_.data() + end_, in_.size() - end_, 0);
  if (n > 0) {
    end_ += static_cast<std::size_t>(n);
    return n;
  }
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
    return 0;
  if (n == 0)
    errno = 0;
  return -1;
}

void Connection::receive_or_throw() {
  if (receive() < 0)
    fail("the server closed the connection (" + errno_text(errno) + ")");
}

bool Connection::next_frame(Frame& frame) {
  for (;;) {
    std::size_t available = end_ - begin_;
    if (available < 2)
      return false;
    auto* bytes = reinterpret_cast<const unsigned char*>(in_.data() + begin_);
    if (bytes[1] & 0x80)
      fail("the server sent a masked frame");
    std::uint64_t length = bytes[1] & 0x7F;
    std::size_t head = 2;
    if (length == 126) {
      head = 4;
      if (available < head)
        return false;
      length = (std::uint64_t{bytes[2]} << 8) | bytes[3];
    } else if (length == 127) {
      head = 10;
      if (available < head)
        return false;
      length = 0;
      for (int i = 2; i < 10; ++i)
        length = (length << 8) | bytes[i];
    }
    if (length > max_frame_length)
      fail("the server sent a frame of " + std::to_string(length) + " bytes");
    if (available < head + length) {
      make_room(head + length - available);
      return false;
    }
    const char* payload = in_.data() + begin_ + head;
    begin_ += head + static_cast<std::size_t>(length);
    unsigned char fin_rsv_opcode = bytes[0];
    unsigned opcode = fin_rsv_opcode & 0x0F;
    if ((fin_rsv_opcode & 0x70) != 0 && ((fin_rsv_opcode & 0x70) != 0x40 || !deflate_ || opcode >= 0x8))
      fail("the server sent a frame with RSV bits it may not set");
    if (opcode == 0x9) { // ping: answer with a pong carrying its data
      std::string pong;
      append_client_frame(pong, 0x8A, payload, static_cast<std::size_t>(length), mask_);
      send(pong.data(), pong.size());
      continue;
    }
    if (opcode == 0xA) // an unsolicited pong: nothing to do
      continue;
    if (opcode == 0x8) {
      int status = length >= 2 ? (static_cast<unsigned char>(payload[0]) << 8 | static_cast<unsigned char>(payload[1])) : 0;
      std::string reason = length > 2 ? std::string(payload + 2, static_cast<std::size_t>(length) - 2) : "";
      fail("the server closed the connection with status " + std::to_string(status) +
           (reason.empty() ? "" : " \"" + reason + "\""));
    }
    if (!(fin_rsv_opcode & 0x80) || opcode == 0x0)
      fail("the server sent a fragmented message, which the generator does not take");
    frame = Frame{fin_rsv_opcode, payload, static_cast<std::size_t>(length), head + static_cast<std::size_t>(length)};
    return true;
  }
}

void Connection::begin_close() {
  if (state_ != State::open) {
    release(); // still connecting or in its handshake: nothing to close politely
    return;
  }
  static const unsigned char status[2] = {0x03, 0xE8}; // 1000
  std::string close;
  append_client_frame(close, 0x88, reinterpret_cast<const char*>(status), 2, mask_);
  state_ = State::closing;
  try {
    send(close.data(), close.size());
  } catch (const BenchError&) {
    release(); // the server went first
  }
}

bool Connection::finish_close(std::uint32_t events) {
  if (state_ == State::closed)
    return true;
  if (events & EPOLLOUT)
    flush();
  if (events & (EPOLLIN | EPOLLERR | EPOLLHUP)) {
    long n = receive();
    begin_ = end_ = 0; // whatever still arrives is of no interest now
    if (n < 0) {
      release();
      return true;
    }
  }
  return false;
}

std::vector<std::unique_ptr<Connection>> open_connections(const Target& target, std::size_t count, Poller& poller,
                                                          Clock::time_point deadline) {
  std::vector<std::unique_ptr<Connection>> connections;
  connections.reserve(count);
  std::size_t open = 0;
  while (open < count) {
    while (connections.size() < count && connections.size() - open < handshake_window) {
      connections.push_back(std::make_unique<Connection>(static_cast<std::uint32_t>(connections.size()), poller));
      connections.back()->start(target);
    }
    if (Clock::now() >= deadline)
      throw BenchError("only " + std::to_string(open) + " of " + std::to_string(count) +
                       " connections completed their handshake in time");
    int n = poller.wait(deadline);
    for (int i = 0; i < n; ++i) {
      const auto& event = poller.event(i);
      auto& connection = *connections.at(event.data.u32);
      if (connection.is_open()) {
        // An open connection that the server already writes to: read it (a push, say) so that
        // the level-triggered event does not come back at once.
        connection.handle(event.events, [](const Frame&) {});
      } else if (connection.advance_handshake(event.events)) {
        ++open;
      }
    }
  }
  return connections;
}

void close_connections(std::vector<std::unique_ptr<Connection>>& connections, Poller& poller,
                       Clock::time_point deadline) {
  std::size_t left = 0;
  for (auto& connection : connections) {
    connection->begin_close();
    if (!connection->is_closed())
      ++left;
  }
  while (left > 0 && Clock::now() < deadline) {
    int n = poller.wait(deadline);
    for (int i = 0; i < n; ++i) {
      auto& connection = *connections.at(poller.event(i).data.u32);
      if (!connection.is_closed() && connection.finish_close(poller.event(i).events))
        --left;
    }
  }
  connections.clear();
}

} // namespace korva_bench
