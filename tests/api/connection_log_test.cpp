#include "api/connection_log.hpp"
#include "tests/support/library_server.hpp"

#include <gtest/gtest.h>

#include <boost/asio/error.hpp>
#include <boost/asio/io_context.hpp>

#include <cerrno>
#include <iostream>
#include <sstream>

using namespace korva_test;
using Connection = KorvaWeb::SocketServer::Connection;

namespace {

class ConnectionLog : public ::testing::Test {
protected:
  std::shared_ptr<Connection> make_connection() {
    auto connection = std::make_shared<Connection>(std::make_shared<KorvaWeb::ScopeRunner>(), 0, io);
    connection->path = "/api";
    connection->remote_endpoint =
        boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 40123);
    return connection;
  }
  std::string identity(const std::shared_ptr<Connection>& connection) {
    std::ostringstream text;
    text << static_cast<const void*>(connection.get());
    return text.str();
  }
  boost::asio::io_context io;
};

TEST_F(ConnectionLog, OpenRecordListsRequestFieldsAndEveryHeaderLine) {
  auto connection = make_connection();
  connection->query_string = "lang=en&x=1";
  connection->header.emplace("X-Real-IP", "192.0.2.10");
  connection->header.emplace("Cookie", "a=1");
  connection->header.emplace("Cookie", "b=2");
  std::string headers;
  for (const auto& field : connection->header)
    headers += "        " + field.first + ": " + field.second + "\n";

  CapturedStream output(std::cout);
  korva::on_open(connection);
  EXPECT_EQ(output.text(), "Server: Opened connection " + identity(connection) +
                               "\n"
                               "    ip:                      192.0.2.10\n"
                               "    port:                    40123\n"
                               "    connection path:         /api\n"
                               "    connection query string: lang=en&x=1\n"
                               "    connection header:\n" +
                               headers);
  EXPECT_NE(headers.find("Cookie: a=1"), std::string::npos);
  EXPECT_NE(headers.find("Cookie: b=2"), std::string::npos);
}

TEST_F(ConnectionLog, EmptyValuesLeaveTheLabelAlone) {
  auto connection = make_connection();
  CapturedStream output(std::cout);
  korva::on_open(connection);
  korva::on_close(connection, 1000, "");
  EXPECT_EQ(output.text(), "Server: Opened connection " + identity(connection) +
                               "\n"
                               "    ip:                      \n"
                               "    port:                    40123\n"
                               "    connection path:         /api\n"
                               "    connection query string: \n"
                               "    connection header:\n"
                               "Server: Closed connection " +
                               identity(connection) +
                               "\n"
                               "    ip:     \n"
                               "    port:   40123\n"
                               "    status: 1000\n"
                               "    reason: \n");
}

TEST_F(ConnectionLog, CloseAndErrorRecords) {
  auto connection = make_connection();
  connection->header.emplace("x-forwarded-for", "198.51.100.4, 10.0.0.1");
  CapturedStream output(std::cout);
  korva::on_error(connection, boost::asio::error::eof);
  korva::on_error(connection, boost::system::error_code(EMSGSIZE, boost::system::generic_category()));
  korva::on_close(connection, 1009, "message too big");
  std::string id = identity(connection);
  EXPECT_EQ(output.text(), "Server: Error in connection " + id +
                               "\n"
                               "    ip:      198.51.100.4, 10.0.0.1\n"
                               "    port:    40123\n"
                               "    error:   asio.misc:2\n"
                               "    message: End of file\n"
                               "Server: Error in connection " +
                               id +
                               "\n"
                               "    ip:      198.51.100.4, 10.0.0.1\n"
                               "    port:    40123\n"
                               "    error:   generic:90\n"
                               "    message: Message too long\n"
                               "Server: Closed connection " +
                               id +
                               "\n"
                               "    ip:     198.51.100.4, 10.0.0.1\n"
                               "    port:   40123\n"
                               "    status: 1009\n"
                               "    reason: message too big\n");
}

} // namespace
