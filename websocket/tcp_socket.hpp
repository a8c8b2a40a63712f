#pragma once
// What the server does with a TCP socket beyond reading and writing it: its peer, its buffer sizes,
// what the kernel holds of the bytes sent through it, and its end, in order or with a reset. Those
// a connection uses have an overload for other stream types (the tests' in-memory stream).

#include "websocket/config.hpp"

#include <boost/asio/ip/tcp.hpp>

#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace KorvaWeb {
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

// Closes a socket with a reset: the kernel drops whatever it still holds to send and lets go of
// its buffers at once, where an orderly close would keep them for a peer that does not read. The
// server does this only to connections that one of its limits cuts.
template <class Socket>
void abort_socket(Socket& socket) {
  boost::system::error_code ignored;
  socket.set_option(boost::asio::socket_base::linger(true, 0), ignored);
  socket.close(ignored);
}

// The end of a connection's socket, when the connection is destroyed. One whose kernel still holds
// bytes it could not even send is reset: closed in order it would stay in the kernel with them,
// for minutes if its client never reads (a reported connection is kept by its close timer until
// its client has taken everything, so only one dropped otherwise gets here with unsent bytes: the
// server ending, a handshake given up). Otherwise it ends in order: a FIN after the last byte,
// where what the client sent meanwhile is read and dropped first (a buffer's worth at most), since
// a socket closed with unread bytes sends a reset instead.
inline void close_at_end(boost::asio::ip::tcp::socket& socket) {
  if (!socket.is_open())
    return;
  int unsent = 0;
  if (::ioctl(socket.native_handle(), SIOCOUTQNSD, &unsent) == 0 && unsent > 0) {
    abort_socket(socket);
    return;
  }
  boost::system::error_code ignored;
  socket.shutdown(boost::asio::socket_base::shutdown_send, ignored);
  unsigned char discard[4096];
  for (int reads = 0; reads < 16; ++reads) {
    boost::system::error_code ec;
    const std::size_t waiting = socket.available(ec);
    if (ec || waiting == 0 ||
        socket.read_some(boost::asio::buffer(discard, std::min(waiting, sizeof discard)), ec) == 0 || ec)
      break;
  }
  socket.close(ignored);
}
template <class Socket>
void close_at_end(Socket& socket) {
  boost::system::error_code ignored;
  socket.shutdown(boost::asio::socket_base::shutdown_send, ignored);
  socket.close(ignored);
}

// Bytes written into a TCP socket that its peer has not acknowledged yet (sent or not); none where
// the kernel cannot tell, or for other stream types, whose writes reach the peer at once. A
// connection its peer has reset holds nothing for it any more, whatever the count says.
inline std::optional<std::size_t> unacknowledged(boost::asio::ip::tcp::socket& socket) noexcept {
  int bytes = 0;
  if (!socket.is_open() || ::ioctl(socket.native_handle(), SIOCOUTQ, &bytes) != 0 || bytes < 0)
    return std::nullopt;
  if (bytes > 0) {
    tcp_info info{};
    socklen_t size = sizeof info;
    if (::getsockopt(socket.native_handle(), IPPROTO_TCP, TCP_INFO, &info, &size) == 0 &&
        size >= sizeof info.tcpi_state && info.tcpi_state == TCP_CLOSE)
      return 0;
  }
  return static_cast<std::size_t>(bytes);
}
template <class Stream>
std::optional<std::size_t> unacknowledged(Stream&) noexcept {
  return std::nullopt;
}

// What the kernel holds for a TCP socket's send buffer: its queued bytes with its own bookkeeping
// (SO_MEMINFO, since Linux 4.6), else the bytes its peer has not acknowledged yet (an emulator, an
// older kernel); none where it cannot tell, or for other stream types (test doubles).
inline std::optional<std::size_t> sent_memory(boost::asio::ip::tcp::socket& socket) noexcept {
  std::uint32_t meminfo[SK_MEMINFO_VARS] = {};
  socklen_t size = sizeof meminfo;
  if (::getsockopt(socket.native_handle(), SOL_SOCKET, SO_MEMINFO, meminfo, &size) == 0 &&
      size >= sizeof(std::uint32_t) * (SK_MEMINFO_WMEM_QUEUED + 1))
    return meminfo[SK_MEMINFO_WMEM_QUEUED];
  return unacknowledged(socket);
}
template <class Stream>
std::optional<std::size_t> sent_memory(Stream&) noexcept {
  return std::nullopt;
}

// The buffer sizes of `config` on a TCP socket or a listener; one that does not take them keeps the
// kernel's sizes.
//
// A receive buffer of a few KiB also caps the segment size that the client is told to use: the
// window such a buffer offers is about two segments of the client's, and once it falls just short
// of one (the kernel rounds it down to the segment sizes it has seen) the client sends nothing more
// of a message until a window probe, which every segment the service sends it puts off again (a
// request of a few KB then stalls for as long as the service keeps pushing; measured in
// docs/performance.md). Segments of a quarter of the buffer keep several in any window it offers.
template <class Socket>
void set_buffer_sizes(Socket& socket, const Config& config) {
  boost::system::error_code ignored;
  if (config.send_buffer_size > 0)
    socket.set_option(boost::asio::socket_base::send_buffer_size(config.send_buffer_size), ignored);
  if (config.receive_buffer_size > 0) {
    socket.set_option(boost::asio::socket_base::receive_buffer_size(config.receive_buffer_size), ignored);
    using segment_size = boost::asio::detail::socket_option::integer<IPPROTO_TCP, TCP_MAXSEG>;
    const int quarter = std::max(config.receive_buffer_size / 4, 536);
    if (quarter <= 32767) // the largest segment size the kernel lets a socket ask for
      socket.set_option(segment_size(quarter), ignored);
  }
}
} // namespace detail
} // namespace KorvaWeb
