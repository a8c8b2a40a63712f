#include "api/connection_log.hpp"

#include "device/log_safe.hpp"
#include "api/request_handler.hpp"
#include "device/logger.hpp"

#include <iostream>

namespace korva {

namespace {
const void* identity(const std::shared_ptr<Connection>& connection) { return connection.get(); }
int peer_port(const std::shared_ptr<Connection>& connection) {
  return static_cast<int>(connection->remote_endpoint.port());
}
// The client's own text (forwarded address, path, query, headers, close reason) goes into the
// log escaped and cut (log_safe); identities, ports, status and error codes are the service's.
std::string client_address(const std::shared_ptr<Connection>& connection) {
  return log_safe(get_client_address(connection));
}
} // namespace

void on_open(std::shared_ptr<Connection> connection) {
  Logger(std::cout) << "Server: Opened connection " << identity(connection);
  Logger(std::cout) << "    ip:                      " << client_address(connection);
  Logger(std::cout) << "    port:                    " << peer_port(connection);
  Logger(std::cout) << "    connection path:         " << log_safe(connection->path);
  Logger(std::cout) << "    connection query string: " << log_safe(connection->query_string);
  Logger(std::cout) << "    connection header:";
  for (const auto& field : connection->header)
    Logger(std::cout) << "        " << log_safe(field.first) << ": " << log_safe(field.second);
}

void on_close(std::shared_ptr<Connection> connection, int status, const std::string& reason) {
  Logger(std::cout) << "Server: Closed connection " << identity(connection);
  Logger(std::cout) << "    ip:     " << client_address(connection);
  Logger(std::cout) << "    port:   " << peer_port(connection);
  Logger(std::cout) << "    status: " << status;
  Logger(std::cout) << "    reason: " << log_safe(reason);
}

void on_error(std::shared_ptr<Connection> connection, const boost::system::error_code& error) {
  Logger(std::cout) << "Server: Error in connection " << identity(connection);
  Logger(std::cout) << "    ip:      " << client_address(connection);
  Logger(std::cout) << "    port:    " << peer_port(connection);
  Logger(std::cout) << "    error:   " << error.category().name() << ":" << error.value();
  Logger(std::cout) << "    message: " << error.message();
}

} // namespace korva
