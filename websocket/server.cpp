#include "websocket/impl/server_base.hpp"

#include <chrono>

namespace KorvaWeb {

template class SocketServerBase<boost::asio::ip::tcp::socket>;

// Compiled here, once, rather than inline in every file that registers an endpoint.
EndpointPattern::EndpointPattern(const std::string& text) : pattern(text), text(text) {}
EndpointPattern::EndpointPattern(const char* text) : EndpointPattern(std::string(text)) {}

void SocketServer::accept() {
  // Exactly one accept is pending at any time: each completion posts the next one first. A
  // listener that shutdown() has closed accepts nothing more.
  if (!acceptor || !acceptor->is_open())
    return;
  auto connection = new_connection();
  acceptor->async_accept(*connection->socket, [this, connection](const boost::system::error_code& ec) {
    auto guard = connection->handler_runner->acquire();
    if (!guard)
      return;
    if (ec == boost::asio::error::operation_aborted)
      return;
    if (ec == boost::asio::error::no_descriptors || ec == boost::system::errc::too_many_files_open_in_system ||
        ec == boost::asio::error::no_buffer_space || ec == boost::asio::error::no_memory) {
      accept_after_pause();
      return;
    }
    accept();
    if (ec)
      return; // the connection is dropped with this handler
    boost::system::error_code no_delay_error;
    connection->socket->set_option(boost::asio::ip::tcp::no_delay(true), no_delay_error);
    if (no_delay_error)
      return; // a socket that cannot take the option is dropped; the server goes on serving
    detail::set_buffer_sizes(*connection->socket, config); // also where the listener was handed over
    if (admit(connection))
      read_request(connection);
  });
}

void SocketServer::accept_after_pause() {
  if (!accept_pause)
    accept_pause.reset(new boost::asio::steady_timer(*io_service));
  accept_pause->expires_after(std::chrono::milliseconds(100));
  accept_pause->async_wait([this, runner = handler_runner](const boost::system::error_code& ec) {
    auto guard = runner->acquire();
    if (!guard || ec)
      return;
    accept();
  });
}

} // namespace KorvaWeb
