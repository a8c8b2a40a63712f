#pragma once
// The API endpoint's connection event log: one record on standard output when a connection
// opens, closes or fails. Each line of a record is its own log entry; the labels of one record
// are padded so that the values line up.

#include "websocket/server.hpp"

#include <boost/system/error_code.hpp>

#include <memory>
#include <string>

namespace korva {

void on_open(std::shared_ptr<KorvaWeb::SocketServer::Connection> connection);
void on_close(std::shared_ptr<KorvaWeb::SocketServer::Connection> connection, int status, const std::string& reason);
void on_error(std::shared_ptr<KorvaWeb::SocketServer::Connection> connection, const boost::system::error_code& error);

} // namespace korva
