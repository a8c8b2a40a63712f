#include "api/connection_log.hpp"
#include "tests/support/library_server.hpp"

#include <gtest/gtest.h>

#include <boost/asio/error.hpp>
#include <boost/asio/io_context.hpp>

#include <algorithm>
#include <cerrno>
#include <iostream>
#include <sstream>
#include <vector>

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

// Whatever the client sent is logged escaped and cut: it cannot start a line of its own, reach a
// terminal as a control sequence, or make an entry longer than a few KiB.
TEST_F(ConnectionLog, ClientTextIsEscapedAndCut) {
  using namespace std::string_literals;
  auto connection = make_connection();
  connection->query_string = "q=\x1b[2J\x01";
  connection->header.emplace("X-Real-IP", "10.0.0.1\x1b[31m\r\nServer: Opened connection 0x1");
  connection->header.emplace("X-Odd\x7f\0"s, "\t");
  connection->header.emplace("X-Long", std::string(10000, 'L'));
  CapturedStream output(std::cout);
  korva::on_open(connection);
  const std::string reason_start = "bye\x1b[2J\nServer: Opened connection 0x1";
  const std::string reason = reason_start + std::string(5000, 'r');
  korva::on_close(connection, 1000, reason);
  korva::on_error(connection, boost::asio::error::eof);
  const std::string log = output.text();
  const std::string ip = R"(10.0.0.1\x1b[31m\r\nServer: Opened connection 0x1)";
  for (const std::string& entry : std::vector<std::string>{
           "    ip:                      " + ip + "\n", "    connection query string: q=\\x1b[2J\\x01\n",
        "        X-Real-IP: " + ip + "\n", "        X-Odd\\x7f\\x00: \\t\n",
        "        X-Long: " + std::string(4096, 'L') + "...[cut 5904 bytes]\n", "    ip:     " + ip + "\n",
        "    reason: bye\\x1b[2J\\nServer: Opened connection 0x1" + std::string(4096 - reason_start.size(), 'r') +
            "...[cut " + std::to_string(reason.size() - 4096) + " bytes]\n",
        "    ip:      " + ip + "\n"})
    EXPECT_NE(log.find(entry), std::string::npos) << entry.substr(0, 100) << "\nin:\n" << log.substr(0, 2000);
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 6 + 3 + 5 + 5) << "one line per entry";
  EXPECT_EQ(log.find('\x1b'), std::string::npos);
  EXPECT_EQ(log.find('\r'), std::string::npos);
}

} // namespace
