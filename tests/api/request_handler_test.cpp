#include "api/request_handler.hpp"
#include "push/broadcast.hpp"
#include "tests/support/library_server.hpp"

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <iostream>
#include <regex>
#include <sstream>

using namespace korva_test;
using namespace std::chrono_literals;

namespace {

TEST(ExtractCommand, FollowsTheKeyAndSeparatorRules) {
  struct Case {
    const char* request;
    const char* command;
  } cases[] = {
      {R"({"command":"get_info","id":3})", "get_info"},
      {R"({"command":"get_values"})", "get_values\"}"},      // last member: quote and brace stay
      {R"({"command" :"get_info","id":3})", "invalid command"}, // blank before the colon
      {R"({"command": "get_info","id":3})", "invalid command"}, // blank after the colon
      {R"({"command":"","id":3})", ""},                          // key, then the separator
      {"", "invalid command"},
      {R"({"command":"first","x":{"command":"second","y":1}})", "first"},
      {R"([1,{"command":"inner","y":2}])", "inner"}, // the key may stand anywhere
      {R"({"command":"tail)", "tail"},              // no separator: the whole rest
      {R"({"id":1})", "invalid command"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(korva::extract_command(c.request), c.command) << "request: " << c.request;
}

class ClientAddress : public ::testing::Test {
protected:
  std::shared_ptr<korva::Connection> connection_with(std::initializer_list<std::pair<const char*, const char*>> headers) {
    auto connection = std::make_shared<korva::Connection>(std::make_shared<KorvaWeb::ScopeRunner>(), 0, io);
    for (const auto& header : headers)
      connection->header.emplace(header.first, header.second);
    return connection;
  }
  boost::asio::io_context io;
};

TEST_F(ClientAddress, RealIpWinsOverForwardedForInAnyLetterCase) {
  EXPECT_EQ(korva::get_client_address(connection_with({{"X-Forwarded-For", "10.0.0.2"}, {"X-Real-IP", "10.0.0.1"}})),
            "10.0.0.1");
  EXPECT_EQ(korva::get_client_address(connection_with({{"x-real-ip", "10.0.0.1"}, {"X-FORWARDED-FOR", "10.0.0.2"}})),
            "10.0.0.1");
  EXPECT_EQ(korva::get_client_address(connection_with({{"x-forwarded-for", "10.0.0.2"}})), "10.0.0.2");
}

TEST_F(ClientAddress, ForwardedForIsTakenWholeAndNoHeaderGivesEmpty) {
  EXPECT_EQ(korva::get_client_address(connection_with({{"X-Forwarded-For", "203.0.113.7, 10.0.0.1"}})),
            "203.0.113.7, 10.0.0.1");
  EXPECT_EQ(korva::get_client_address(connection_with({{"Host", "device.local"}})), "");
}

// The handler on a real server, with the simulated device behind it.
class MessageHandler : public ::testing::Test {
protected:
  void SetUp() override {
    char pattern[] = "/tmp/korva-request-time-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    directory = pattern;
    time_file = directory + "/request-time";
    server.endpoint.on_message =
        korva::make_message_handler(system_api, server.server, request_mutex, rebooting, time_file);
    server.start();
  }
  void TearDown() override {
    server.stop();
    std::remove(time_file.c_str());
    rmdir(directory.c_str());
  }

  std::string file_text() const {
    std::ifstream file(time_file);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
  }

  static std::string address_of(const void* pointer) {
    std::ostringstream text;
    text << pointer;
    return text.str();
  }

  std::string directory, time_file;
  CapturedStream output{std::cout}; // outlives the server thread (declared before `server`)
  SystemAPI system_api{false};
  std::mutex request_mutex;
  bool rebooting = false;
  LibraryServer server;
};

TEST_F(MessageHandler, AnswersByteForByteAndRecordsTheRequestTime) {
  auto client = server.connect();
  auto connection = server.connection_of(*client);
  // Long enough for the 16-bit length form, with bytes outside ASCII.
  std::string request = R"({"command":"echo","text":")" + std::string(300, 'z') + "\u00e9\u4e2d\"}";
  client->send_text(request);
  Frame reply = client->read_frame();
  EXPECT_EQ(reply.fin_rsv_opcode, 0x81);
  EXPECT_EQ(reply.payload, request);

  std::regex line("Server: Message responded: \"echo\" from " + address_of(connection.get()) + "\t\t[0-9]+ms\n");
  EXPECT_TRUE(eventually([&] { return std::regex_match(file_text(), line); })) << file_text();

  client->send_text(R"({"command":"get_info"})");
  EXPECT_TRUE(client->read_frame().ok);
  std::regex second("Server: Message responded: \"get_info\"\\}\" from 0x[0-9a-f]+\t\t[0-9]+ms\n");
  EXPECT_TRUE(eventually([&] { return std::regex_match(file_text(), second); })) << "holds only the latest line: "
                                                                                  << file_text();
  server.stop();
  EXPECT_NE(output.text().find("Received command: echo\n"), std::string::npos);
  EXPECT_NE(output.text().find("Received command: get_info\"}\n"), std::string::npos);
}

TEST_F(MessageHandler, PassesClientAddressAndPeerPortToTheDevice) {
  auto client = server.connect("/api", "X-Forwarded-For: 203.0.113.7, 10.0.0.1\r\n");
  client->send_text(R"({"command":"get_info"})");
  Frame reply = client->read_frame();
  EXPECT_NE(reply.payload.find(R"("client":"203.0.113.7, 10.0.0.1")"), std::string::npos) << reply.payload;
  EXPECT_NE(reply.payload.find("\"port\":" + std::to_string(client->local_port()) + "}"), std::string::npos)
      << reply.payload;
}

TEST_F(MessageHandler, EmptyAndBinaryMessagesAreRequestsAnsweredAsText) {
  auto client = server.connect();
  client->send_text("");
  Frame reply = client->read_frame();
  EXPECT_EQ(reply.fin_rsv_opcode, 0x81);
  EXPECT_NE(reply.payload.find("request is empty"), std::string::npos) << "the device gets the empty text";

  client->send_raw(make_frame(0x82, R"({"command":"echo"})"));
  reply = client->read_frame();
  EXPECT_EQ(reply.fin_rsv_opcode, 0x81);
  EXPECT_EQ(reply.payload, R"({"command":"echo"})");
  server.stop();
  EXPECT_NE(output.text().find("Received command: invalid command\n"), std::string::npos);
}

TEST_F(MessageHandler, AfterARebootReplyEveryLaterRequestIsDropped) {
  auto requester = server.connect();
  auto other = server.connect();
  requester->send_text(R"({"command":"reboot"})");
  Frame reply = requester->read_frame();
  EXPECT_NE(reply.payload.find("rebooting"), std::string::npos) << reply.payload;
  EXPECT_TRUE(eventually([&] { return file_text().find("\"reboot\"") != std::string::npos; }));

  for (auto* client : {requester.get(), other.get()}) {
    client->send_text(R"({"command":"echo","after":"reboot"})");
    client->send_raw(ping_frame());
    Frame next = client->read_frame();
    EXPECT_EQ(next.fin_rsv_opcode, 0x8A) << "no answer before the pong, got: " << next.payload;
  }
  EXPECT_EQ(file_text(), "") << "a dropped request leaves the file empty";
  EXPECT_EQ(server.server.get_connections().size(), 2u) << "connections stay open";
  server.stop();
  std::string log = output.text();
  std::size_t first = log.find("Received command: echo\n");
  ASSERT_NE(first, std::string::npos);
  EXPECT_NE(log.find("Received command: echo\n", first + 1), std::string::npos);
}

TEST_F(MessageHandler, ServesRequestsWhenTheTimeFileCannotBeOpened) {
  SystemAPI device(false);
  std::mutex mutex;
  bool flag = false;
  LibraryServer other;
  other.endpoint.on_message =
      korva::make_message_handler(device, other.server, mutex, flag, directory + "/missing/request-time");
  other.start();
  auto client = other.connect();
  client->send_text(R"({"command":"echo"})");
  EXPECT_EQ(client->read_frame().payload, R"({"command":"echo"})");
}

// A command name goes into the log and the request-time file escaped and cut: a client cannot
// write a record of its own, nor one line of megabytes.
TEST_F(MessageHandler, CommandNamesAreLoggedEscapedAndCut) {
  auto client = server.connect();
  const std::string forged = "x\nServer: Closed connection 0xdeadbeef\n    ip:     10.0.0.66\x1b[2J";
  const std::string escaped = R"(x\nServer: Closed connection 0xdeadbeef\n    ip:     10.0.0.66\x1b[2J)";
  client->send_text(R"({"command":")" + forged + R"(","id":1})");
  EXPECT_TRUE(client->read_frame().ok);
  const std::string line_start = "Server: Message responded: \"" + escaped + "\" from 0x";
  EXPECT_TRUE(eventually([&] { return file_text().rfind(line_start, 0) == 0; })) << file_text();
  const std::string line = file_text();
  EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1) << line;

  const std::size_t long_name = 1u << 20; // no "," after it: the name runs to the end of the request
  client->send_text(R"({"command":")" + std::string(long_name, 'A'));
  EXPECT_TRUE(client->read_frame().ok);
  const std::string cut = std::string(256, 'A') + "...[cut " + std::to_string(long_name - 256) + " bytes]";
  EXPECT_TRUE(eventually([&] { return file_text().rfind("Server: Message responded: \"" + cut + "\" from 0x", 0) == 0; }))
      << file_text().substr(0, 400);
  EXPECT_LT(file_text().size(), 400u);
  server.stop();
  EXPECT_NE(output.text().find("Received command: " + escaped + "\n"), std::string::npos) << output.text();
  EXPECT_NE(output.text().find("Received command: " + cut + "\n"), std::string::npos);
  EXPECT_LT(output.text().size(), 2000u);
}

// The service runs as root and the request-time file lies in a shared directory: a symbolic link
// at its path is not followed, so its target keeps its contents; the request is served.
TEST_F(MessageHandler, ASymbolicLinkAtTheTimeFileIsNotFollowed) {
  const std::string target = directory + "/target";
  std::ofstream(target) << "keep\n";
  ASSERT_EQ(symlink(target.c_str(), time_file.c_str()), 0);
  auto client = server.connect();
  client->send_text(R"({"command":"echo"})");
  EXPECT_EQ(client->read_frame().payload, R"({"command":"echo"})");
  client->send_raw(ping_frame()); // answered once the request's handler has returned
  EXPECT_EQ(client->read_frame().fin_rsv_opcode, 0x8A);
  std::ifstream kept(target);
  std::string text((std::istreambuf_iterator<char>(kept)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text, "keep\n");
  struct stat status {};
  EXPECT_EQ(lstat(time_file.c_str(), &status), 0);
  EXPECT_TRUE(S_ISLNK(status.st_mode));
  std::remove(target.c_str());
}

// A FIFO at the request-time path holds up nothing: without a reader it is not waited for, and
// with one it is not written (only a regular file is).
TEST_F(MessageHandler, AFifoAtTheTimeFileHoldsUpNothingAndIsNotWritten) {
  ASSERT_EQ(mkfifo(time_file.c_str(), 0600), 0);
  auto client = server.connect();
  client->send_text(R"({"command":"echo","n":1})");
  // A handler that waited for a reader of the FIFO would never answer: the read's time limit
  // only keeps such a fault from hanging the test.
  Frame reply = client->read_frame();
  // Lets a handler that waits for a reader of the FIFO go on, so that the test can end.
  const int release = open(time_file.c_str(), O_RDONLY | O_NONBLOCK);
  EXPECT_EQ(reply.payload, R"({"command":"echo","n":1})") << "no answer while a FIFO without reader is there";
  if (!reply.ok) {
    EXPECT_TRUE(client->read_frame().ok);
  }

  client->send_text(R"({"command":"echo","n":2})");
  EXPECT_EQ(client->read_frame().payload, R"({"command":"echo","n":2})");
  client->send_raw(ping_frame()); // answered once the request's handler has returned
  EXPECT_EQ(client->read_frame().fin_rsv_opcode, 0x8A);
  char line[256];
  EXPECT_LE(read(release, line, sizeof line), 0) << "the request-time line went into the FIFO";
  close(release);
}

} // namespace
