#include "tests/support/test_client.hpp"
#include "tests/support/client_frame.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <linux/tcp.h> // struct tcp_info with the peer's window
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <stdexcept>

namespace korva_test {

namespace {
constexpr unsigned char mask_key[4] = {0x12, 0x34, 0x56, 0x78};
}

std::string make_frame(unsigned char fin_rsv_opcode, const std::string& payload, bool masked, int length_form) {
  std::string frame;
  frame.reserve(14 + payload.size());
  append_client_frame(frame, fin_rsv_opcode, payload.data(), payload.size(), masked ? mask_key : nullptr, length_form);
  return frame;
}

std::string make_close_frame(int status, const std::string& reason) {
  std::string payload;
  payload.push_back(static_cast<char>((status >> 8) & 0xFF));
  payload.push_back(static_cast<char>(status & 0xFF));
  return make_frame(0x88, payload + reason);
}

std::string upgrade_request(const std::string& target, const std::string& extra_headers) {
  return "GET " + target + " HTTP/1.1\r\n"
         "Host: 127.0.0.1\r\n"
         "Upgrade: websocket\r\n"
         "Connection: Upgrade\r\n"
         "Sec-WebSocket-Key: " + std::string(sample_key) + "\r\n"
         "Sec-WebSocket-Version: 13\r\n" + extra_headers + "\r\n";
}

TestClient::TestClient(unsigned short port, const std::string& host, int receive_buffer) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0)
    throw std::runtime_error("socket: " + std::string(std::strerror(errno)));
  if (receive_buffer > 0)
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  ::inet_pton(AF_INET, host.c_str(), &address.sin_addr);
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd_);
    fd_ = -1;
    return;
  }
  int one = 1;
  ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

TestClient::~TestClient() { close(); }

bool TestClient::handshake(const std::string& target, const std::string& extra_headers) {
  send_raw(upgrade_request(target, extra_headers));
  std::string response = read_until("\r\n\r\n");
  return response == std::string("HTTP/1.1 101 Web Socket Protocol Handshake\r\n"
                                 "Upgrade: websocket\r\n"
                                 "Connection: Upgrade\r\n"
                                 "Sec-WebSocket-Accept: ") +
                         sample_accept + "\r\n\r\n";
}

bool TestClient::send_raw(const std::string& bytes) {
  std::size_t sent = 0;
  while (fd_ >= 0 && sent < bytes.size()) {
    ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false; // the server has gone; the reads that follow tell the test
    sent += static_cast<std::size_t>(n);
  }
  return fd_ >= 0;
}

std::size_t TestClient::send_within(const std::string& bytes, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  std::size_t sent = 0;
  while (fd_ >= 0 && sent < bytes.size()) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd p{fd_, POLLOUT, 0};
    if (::poll(&p, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0) > 0) {
      ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0)
        sent += static_cast<std::size_t>(n);
      else if (n == 0 || (errno != EINTR && errno != EAGAIN))
        break; // the server has gone
    }
    if (left.count() <= 0)
      break; // one try only once the time is up
  }
  return sent;
}

std::optional<bool> TestClient::peer_window_closed() const {
  tcp_info info{};
  socklen_t size = sizeof info;
  if (fd_ < 0 || ::getsockopt(fd_, IPPROTO_TCP, TCP_INFO, &info, &size) != 0 ||
      size < offsetof(tcp_info, tcpi_snd_wnd) + sizeof info.tcpi_snd_wnd)
    return std::nullopt;
  return info.tcpi_snd_wnd == 0;
}

void TestClient::set_receive_buffer(int bytes) { ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes); }

bool TestClient::fill(std::chrono::steady_clock::time_point deadline) {
  if (fd_ < 0 || eof_)
    return false;
  auto now = std::chrono::steady_clock::now();
  if (now >= deadline)
    return false;
  pollfd p{fd_, POLLIN, 0};
  int wait_ms = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count()) + 1;
  int ready = ::poll(&p, 1, wait_ms);
  if (ready <= 0)
    return false;
  char buffer[65536];
  ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
  if (n <= 0) {
    eof_ = true;
    reset_ = n < 0 && errno == ECONNRESET;
    return false;
  }
  pending_.append(buffer, static_cast<std::size_t>(n));
  return true;
}

std::string TestClient::read_exact(std::size_t n, std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (pending_.size() < n)
    if (!fill(deadline)) {
      ADD_FAILURE() << "read_exact: wanted " << n << " bytes, got " << pending_.size()
                    << (eof_ ? " before end of stream" : " before the time limit");
      std::string partial;
      partial.swap(pending_);
      return partial;
    }
  std::string result = pending_.substr(0, n);
  pending_.erase(0, n);
  return result;
}

std::string TestClient::read_until(const std::string& delimiter, std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  std::size_t found;
  while ((found = pending_.find(delimiter)) == std::string::npos)
    if (!fill(deadline)) {
      ADD_FAILURE() << "read_until: no delimiter in " << pending_.size() << " bytes";
      std::string partial;
      partial.swap(pending_);
      return partial;
    }
  std::string result = pending_.substr(0, found + delimiter.size());
  pending_.erase(0, found + delimiter.size());
  return result;
}

Frame TestClient::read_frame(std::chrono::milliseconds limit) {
  Frame frame;
  auto deadline = std::chrono::steady_clock::now() + limit;
  auto need = [&](std::size_t n) {
    while (pending_.size() < n)
      if (!fill(deadline))
        return false;
    return true;
  };
  if (!need(2))
    return frame;
  auto byte = [&](std::size_t i) { return static_cast<unsigned char>(pending_[i]); };
  std::uint64_t length = byte(1) & 0x7F;
  std::size_t header = 2;
  if (length == 126) {
    if (!need(4))
      return frame;
    length = (std::uint64_t(byte(2)) << 8) | byte(3);
    header = 4;
  } else if (length == 127) {
    if (!need(10))
      return frame;
    length = 0;
    for (int i = 0; i < 8; ++i)
      length = (length << 8) | byte(2 + i);
    header = 10;
  }
  if (byte(1) & 0x80) {
    ADD_FAILURE() << "server frame is masked";
    return frame;
  }
  if (!need(header + length))
    return frame;
  frame.fin_rsv_opcode = byte(0);
  frame.payload = pending_.substr(header, length);
  pending_.erase(0, header + length);
  frame.ok = true;
  return frame;
}

std::size_t TestClient::read_available(std::size_t most, bool& closed, std::string* into) {
  std::string buffer(most, '\0');
  const ssize_t n = fd_ < 0 ? 0 : ::recv(fd_, &buffer[0], most, MSG_DONTWAIT);
  closed = fd_ < 0 || n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
  if (n < 0 && errno == ECONNRESET)
    reset_ = true;
  if (into && n > 0)
    into->append(buffer, 0, static_cast<std::size_t>(n));
  return n > 0 ? static_cast<std::size_t>(n) : 0;
}

std::string TestClient::read_until_closed(std::chrono::milliseconds limit, bool& closed) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (fill(deadline)) {
  }
  closed = eof_;
  std::string received;
  received.swap(pending_);
  return received;
}

bool TestClient::wait_closed(std::chrono::milliseconds limit) {
  bool closed = false;
  read_until_closed(limit, closed);
  return closed;
}

bool TestClient::silent_for(std::chrono::milliseconds time) {
  auto deadline = std::chrono::steady_clock::now() + time;
  bool got = fill(deadline);
  return !got && !eof_ && pending_.empty();
}

void TestClient::shutdown_write() {
  if (fd_ >= 0)
    ::shutdown(fd_, SHUT_WR);
}

void TestClient::close(bool reset) {
  if (fd_ < 0)
    return;
  if (reset) {
    linger option{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &option, sizeof option);
  }
  ::close(fd_);
  fd_ = -1;
}

unsigned short TestClient::local_port() const {
  sockaddr_in address{};
  socklen_t size = sizeof address;
  ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size);
  return ntohs(address.sin_port);
}

} // namespace korva_test
