#pragma once
// The opening handshake: the upgrade request is read into the connection's input buffer until its
// blank line, parsed, matched against the endpoints' patterns and answered with the 101 response;
// then the connection joins its endpoint and the frame reader takes over. Every failure before
// the response is written drops the connection without an answer.

#include "websocket/handshake.hpp"
#include "websocket/server.hpp"

#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>

#include <cstring>
#include <istream>
#include <streambuf>

namespace KorvaWeb {

namespace detail {
// The connection reads what its socket holds, and writes what it takes, without ever waiting in a
// read or a write: the socket must not block.
inline bool make_non_blocking(boost::asio::ip::tcp::socket& socket) {
  boost::system::error_code ec;
  socket.non_blocking(true, ec);
  return !ec;
}
template <class Socket>
bool make_non_blocking(Socket&) {
  return true;
}

// An input stream over bytes that stay where they are (the request head in the input buffer).
class HeadStreambuf : public std::streambuf {
public:
  HeadStreambuf(const unsigned char* data, std::size_t size) {
    char* begin = const_cast<char*>(reinterpret_cast<const char*>(data));
    setg(begin, begin, begin + size);
  }
  std::size_t consumed() const noexcept { return static_cast<std::size_t>(gptr() - eback()); }
};
} // namespace detail

template <class socket_type>
void SocketServerBase<socket_type>::read_request(const std::shared_ptr<Connection>& connection) {
  detail::read_peer(*connection->socket, connection->remote_endpoint);
  if (!detail::make_non_blocking(*connection->socket))
    return; // dropped: a socket that could block would hold up every other connection
  connection->set_timeout(connection->place == Place::on_trial ? trial_seconds : config.timeout_request);
  read_request_head(connection, 0, false);
}

// Reads until the buffer holds "\r\n\r\n" within the first max_request_head_size bytes. Bytes
// behind the blank line that came in the same read stay in the input buffer: they are the start of
// the first frame.
template <class socket_type>
void SocketServerBase<socket_type>::read_request_head(const std::shared_ptr<Connection>& connection,
                                                      std::size_t searched, bool drained) {
  auto& buffer = connection->input_buffer;
  const std::size_t size = buffer.size();
  const std::size_t head_end =
      find_request_head_end(reinterpret_cast<const char*>(buffer.data()), size, searched);
  if (head_end == 0 && size < max_request_head_size) {
    const std::size_t room = max_request_head_size + 4 - size;
    read_more(connection, std::min(room, ReadBuffer::chunk_size), room, drained,
              [this, connection, size](const boost::system::error_code& ec, bool drained) {
                if (ec) { // the peer went, or the request timer closed the socket: dropped
                  connection->cancel_timeout();
                  return;
                }
                read_request_head(connection, size, drained);
              });
    return;
  }

  connection->cancel_timeout();
  if (head_end == 0 || head_end > max_request_head_size)
    return; // error::head_too_big: dropped, no answer
  // The parser takes lines up to the first one without ':', normally the blank line; what it
  // leaves stays in the buffer ahead of everything read later, as frame bytes.
  detail::HeadStreambuf head(buffer.data(), head_end);
  std::istream stream(&head);
  const boost::system::error_code refused = parse_request(
      stream, connection->method, connection->path, connection->query_string, connection->http_version,
      connection->header);
  buffer.consume(head.consumed());
  buffer.release_unused(); // the head's storage does not stay with the connection
  connection->limits.settle();
  connection->head_complete = true;
  if (!refused) // a malformed head, or too many header lines: dropped, no answer
    answer_handshake(connection);
}

template <class socket_type>
void SocketServerBase<socket_type>::answer_handshake(const std::shared_ptr<Connection>& connection) {
  if (connection->path.size() > max_matched_path_size)
    return; // matches no pattern: dropped without an answer
  for (auto& entry : endpoints) {
    std::smatch path_match;
    if (!std::regex_match(connection->path, path_match, entry.first.pattern))
      continue;
    auto response = std::make_shared<boost::asio::streambuf>();
    std::ostream stream(response.get());
    if (config.permessage_deflate && (connection->deflate = negotiate_deflate(connection->header))) {
      if (!compression)
        compression = std::make_shared<Compression>();
      connection->compression = compression;
    }
    if (!make_handshake_response(connection->header, stream,
                                 connection->deflate ? deflate_answer(*connection->deflate) : std::string()))
      return; // no key: dropped without an answer
    switch (let_in(connection)) {
    case Verdict::in:
      break;
    case Verdict::unavailable: // at the limit of connections, and no other address makes room
      answer_unavailable(connection);
      return;
    case Verdict::dropped:
      return;
    }
    connection->path_match = std::move(path_match);
    connection->set_timeout(config.timeout_request);
    Endpoint* endpoint = &entry.second;
    boost::asio::async_write(*connection->socket, *response,
                             [this, connection, response, endpoint](const boost::system::error_code& ec, std::size_t) {
                               connection->cancel_timeout();
                               auto guard = connection->handler_runner->acquire();
                               if (!guard)
                                 return;
                               if (ec) {
                                 report_error(connection, *endpoint, ec);
                                 return;
                               }
                               report_open(connection, *endpoint);
                               read_frame(connection, *endpoint);
                             });
    return;
  }
  // No pattern matches the path: dropped without an answer.
}

template <class socket_type>
void SocketServerBase<socket_type>::report_open(const std::shared_ptr<Connection>& connection, Endpoint& endpoint) {
  connection->set_timeout(); // the request timer gives way to the idle timer
  {
    std::lock_guard<std::mutex> lock(endpoint.connections_mutex);
    endpoint.connections.insert(connection);
  }
  connections_changed();
  if (config.max_connections != 0)
    address_shares.opened(*connection, client_address(connection->header), endpoint);
  if (endpoint.on_open)
    endpoint.on_open(connection);
  if (stop_close) // the server is stopping: this one is closed like all the others
    connection->send_close(stop_close->first, stop_close->second);
}

} // namespace KorvaWeb
