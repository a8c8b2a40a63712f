#pragma once
// Definitions of SocketServerBase's operations. Included by server.cpp, which instantiates them
// for TCP sockets, and by test doubles that instantiate them for other stream types.
//
// Every completion handler below holds its connection through a shared_ptr and first takes the
// handler_runner guard, returning at once if it is refused.
//
// One connection's road:
//   accept -> read_request (request timer) -> answer_handshake (request timer) -> report_open
//   -> read_frame -> read_payload -> dispatch_frame -> read_frame ...
//   ... -> report_close (close frame, unmasked frame, too big) or report_error (read failure)

#include "websocket/handshake.hpp"
#include "websocket/server.hpp"

#include <boost/asio/ip/address.hpp>
#include <boost/asio/read.hpp>
#include <boost/system/system_error.hpp>

#include <algorithm>
#include <cerrno>

namespace KorvaWeb {

template <class socket_type>
SocketServerBase<socket_type>::~SocketServerBase() {
  handler_runner.reset();
  threads.clear();
  acceptor.reset();
  // Connections still in the endpoints' sets own sockets and timers made on the event loop; they
  // go before the loop does, so that none of them is destroyed after it.
  for (auto& entry : endpoints) {
    std::lock_guard<std::mutex> lock(entry.second.connections_mutex);
    entry.second.connections.clear();
  }
  io_service.reset();
}

template <class socket_type>
void SocketServerBase<socket_type>::start() {
  if (!io_service) {
    io_service = std::make_shared<boost::asio::io_context>();
    owns_io_service = true;
  }
  if (io_service->stopped())
    io_service->restart();

  boost::asio::ip::tcp::endpoint endpoint;
  if (!config.address.empty())
    endpoint = boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address(config.address), config.port);
  else
    endpoint = boost::asio::ip::tcp::endpoint(boost::asio::ip::tcp::v4(), config.port);

  if (!acceptor)
    acceptor.reset(new boost::asio::ip::tcp::acceptor(*io_service));
  acceptor->open(endpoint.protocol());
  acceptor->set_option(boost::asio::socket_base::reuse_address(config.reuse_address));
  acceptor->bind(endpoint);
  acceptor->listen(128);
  bound_port_ = acceptor->local_endpoint().port();

  accept();

  if (!owns_io_service)
    return;
  threads.clear();
  for (std::size_t c = 1; c < config.thread_pool_size; ++c)
    threads.emplace_back([this]() { io_service->run(); });
  if (config.thread_pool_size > 0)
    io_service->run();
  for (auto& thread : threads)
    thread.join();
}

template <class socket_type>
void SocketServerBase<socket_type>::stop() {
  if (io_service)
    io_service->stop();
}

template <class socket_type>
std::unordered_set<std::shared_ptr<typename SocketServerBase<socket_type>::Connection>>
SocketServerBase<socket_type>::get_connections() {
  std::unordered_set<std::shared_ptr<Connection>> all;
  for (auto& entry : endpoints) {
    std::lock_guard<std::mutex> lock(entry.second.connections_mutex);
    all.insert(entry.second.connections.begin(), entry.second.connections.end());
  }
  return all;
}

// --- Opening handshake ---------------------------------------------------------------------

template <class socket_type>
void SocketServerBase<socket_type>::read_request(const std::shared_ptr<Connection>& connection) {
  detail::read_peer(*connection->socket, connection->remote_endpoint);
  connection->set_timeout(config.timeout_request);
  read_request_head(connection, 0);
}

// Reads until the buffer holds "\r\n\r\n". Bytes behind the blank line that came in the same read
// stay in input_buffer: they are the start of the first frame.
template <class socket_type>
void SocketServerBase<socket_type>::read_request_head(const std::shared_ptr<Connection>& connection,
                                                      std::size_t searched) {
  std::size_t room = max_request_head_size + 4 - connection->input_buffer.size();
  auto buffers = connection->input_buffer.prepare(std::min<std::size_t>(room, 4096));
  connection->socket->async_read_some(buffers, [this, connection, searched](const boost::system::error_code& ec,
                                                                            std::size_t bytes) {
    connection->input_buffer.commit(bytes);
    auto data = connection->input_buffer.data();
    std::size_t size = data.size();
    std::size_t head_end = ec ? 0 : find_request_head_end(static_cast<const char*>(data.data()), size, searched);
    bool head_complete = head_end != 0 && head_end <= max_request_head_size;
    bool go_on_reading = !ec && head_end == 0 && size < max_request_head_size;
    if (go_on_reading) {
      auto guard = connection->handler_runner->acquire();
      if (!guard)
        return;
      read_request_head(connection, size);
      return;
    }

    connection->cancel_timeout();
    auto guard = connection->handler_runner->acquire();
    if (!guard)
      return;
    // A read error (peer gone, request time-out) or a head over the cap: dropped, no answer.
    if (!head_complete)
      return;
    std::istream stream(&connection->input_buffer);
    if (parse_request(stream, connection->method, connection->path, connection->query_string,
                      connection->http_version, connection->header))
      answer_handshake(connection);
  });
}

template <class socket_type>
void SocketServerBase<socket_type>::answer_handshake(const std::shared_ptr<Connection>& connection) {
  for (auto& entry : endpoints) {
    std::smatch path_match;
    if (!std::regex_match(connection->path, path_match, entry.first.pattern))
      continue;
    auto response = std::make_shared<boost::asio::streambuf>();
    std::ostream stream(response.get());
    if (!make_handshake_response(connection->header, stream))
      return; // no key: dropped without an answer
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
  connection->cancel_timeout();
  connection->set_timeout();
  {
    std::lock_guard<std::mutex> lock(endpoint.connections_mutex);
    endpoint.connections.insert(connection);
  }
  if (endpoint.on_open)
    endpoint.on_open(connection);
}

// --- Receiving frames ----------------------------------------------------------------------

template <class socket_type>
template <class Next>
void SocketServerBase<socket_type>::read_frame_bytes(const std::shared_ptr<Connection>& connection, Endpoint& endpoint,
                                                     std::size_t count, Next next) {
  auto completion = [this, connection, &endpoint, next = std::move(next)](const boost::system::error_code& ec) mutable {
    auto guard = connection->handler_runner->acquire();
    if (!guard)
      return;
    if (ec) {
      report_error(connection, endpoint, ec);
      return;
    }
    next();
  };
  std::size_t buffered = connection->input_buffer.size();
  if (buffered >= count) {
    // The bytes came in behind the handshake request: handled at once, without a socket read.
    boost::asio::post(connection->socket->get_executor(),
                      [completion = std::move(completion)]() mutable { completion(boost::system::error_code()); });
    return;
  }
  boost::asio::async_read(*connection->socket, connection->input_buffer,
                          boost::asio::transfer_exactly(count - buffered),
                          [completion = std::move(completion)](const boost::system::error_code& ec, std::size_t) mutable {
                            completion(ec);
                          });
}

template <class socket_type>
void SocketServerBase<socket_type>::read_frame(const std::shared_ptr<Connection>& connection, Endpoint& endpoint) {
  read_frame_bytes(connection, endpoint, 2, [this, connection, &endpoint]() {
    unsigned char first_bytes[2];
    connection->input_buffer.sgetn(reinterpret_cast<char*>(first_bytes), 2);
    unsigned char fin_rsv_opcode = first_bytes[0];

    if (!frame_is_masked(first_bytes[1])) {
      connection->send_close(close_reasons::not_masked_status, close_reasons::not_masked);
      report_close(connection, endpoint, close_reasons::not_masked_status, close_reasons::not_masked);
      return;
    }

    unsigned char length_code = frame_length_code(first_bytes[1]);
    if (length_code < 126) {
      read_payload(connection, length_code, endpoint, fin_rsv_opcode);
      return;
    }
    std::size_t extended = length_code == 126 ? 2 : 8;
    read_frame_bytes(connection, endpoint, extended, [this, connection, &endpoint, fin_rsv_opcode, extended]() {
      unsigned char bytes[8];
      connection->input_buffer.sgetn(reinterpret_cast<char*>(bytes), static_cast<std::streamsize>(extended));
      read_payload(connection, read_big_endian(bytes, extended), endpoint, fin_rsv_opcode);
    });
  });
}

template <class socket_type>
void SocketServerBase<socket_type>::read_payload(const std::shared_ptr<Connection>& connection, std::uint64_t length,
                                                 Endpoint& endpoint, unsigned char fin_rsv_opcode) {
  std::size_t assembled = connection->fragmented_message ? connection->fragmented_message->length : 0;
  if (frame_too_big<std::size_t>(length, assembled, config.max_message_size)) {
    report_error(connection, endpoint, boost::system::error_code(EMSGSIZE, boost::system::generic_category()));
    connection->send_close(close_reasons::too_big_status, close_reasons::too_big);
    report_close(connection, endpoint, close_reasons::too_big_status, close_reasons::too_big);
    return;
  }
  // frame_too_big() has made sure that 4 + length fits the size type.
  auto payload_length = static_cast<std::size_t>(length);
  read_frame_bytes(connection, endpoint, 4 + payload_length, [this, connection, &endpoint, fin_rsv_opcode, payload_length]() {
    dispatch_frame(connection, endpoint, fin_rsv_opcode, payload_length);
  });
}

// The mask key and payload of one frame lie at the front of input_buffer: unmask them into their
// message and act on the frame. Runs inside a completion handler that holds the guard.
template <class socket_type>
void SocketServerBase<socket_type>::dispatch_frame(const std::shared_ptr<Connection>& connection, Endpoint& endpoint,
                                                   unsigned char fin_rsv_opcode, std::size_t length) {
  unsigned char opcode = frame_opcode(fin_rsv_opcode);
  bool final_frame = frame_is_final(fin_rsv_opcode);

  std::shared_ptr<Message> target;
  if (final_frame && opcode != 0) {
    target = std::make_shared<Message>(fin_rsv_opcode, length);
  } else if (connection->fragmented_message) {
    target = connection->fragmented_message;
    target->length += length;
  } else {
    target = std::make_shared<Message>(fin_rsv_opcode | 0x80, length);
    connection->fragmented_message = target;
  }

  const auto* mask_and_payload = static_cast<const unsigned char*>(connection->input_buffer.data().data());
  auto out = target->streambuf.prepare(length);
  unmask(mask_and_payload + 4, length, mask_and_payload, static_cast<unsigned char*>(out.data()));
  target->streambuf.commit(length);
  connection->input_buffer.consume(4 + length);

  if (opcode == 8) {
    connection->cancel_timeout();
    connection->set_timeout();
    int status = 0;
    if (length >= 2) {
      int high = target->get();
      int low = target->get();
      status = ((high & 0xFF) << 8) | (low & 0xFF);
    }
    std::string reason = target->content();
    connection->send_close(status, reason);
    report_close(connection, endpoint, status, reason);
    return;
  }
  if (opcode == 9) {
    connection->cancel_timeout();
    connection->set_timeout();
    connection->send(std::make_shared<SendStream>(), nullptr, static_cast<unsigned char>(fin_rsv_opcode + 1));
    if (endpoint.on_ping)
      endpoint.on_ping(connection);
  } else if (opcode == 10) {
    connection->cancel_timeout();
    connection->set_timeout();
    if (endpoint.on_pong)
      endpoint.on_pong(connection);
  } else if (final_frame) {
    connection->cancel_timeout();
    connection->set_timeout();
    if (endpoint.on_message)
      endpoint.on_message(connection, target);
    connection->fragmented_message.reset();
  }
  read_frame(connection, endpoint);
}

// --- Closing and errors ----------------------------------------------------------------------

template <class socket_type>
void SocketServerBase<socket_type>::report_close(const std::shared_ptr<Connection>& connection, Endpoint& endpoint,
                                                 int status, const std::string& reason) {
  connection->cancel_timeout();
  connection->set_timeout();
  {
    std::lock_guard<std::mutex> lock(endpoint.connections_mutex);
    endpoint.connections.erase(connection);
  }
  if (endpoint.on_close)
    endpoint.on_close(connection, status, reason);
}

template <class socket_type>
void SocketServerBase<socket_type>::report_error(const std::shared_ptr<Connection>& connection, Endpoint& endpoint,
                                                 const boost::system::error_code& error) {
  connection->cancel_timeout();
  connection->set_timeout();
  {
    std::lock_guard<std::mutex> lock(endpoint.connections_mutex);
    endpoint.connections.erase(connection);
  }
  if (endpoint.on_error)
    endpoint.on_error(connection, error);
}

} // namespace KorvaWeb
