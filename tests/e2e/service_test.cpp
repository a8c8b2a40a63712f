// The service binary with the simulated device, driven over 127.0.0.1:8888 by raw-socket clients.
// Every test holds the port8888 lock and runs its own service process.

#include "device/system_api.hpp"
#include "tests/support/service_process.hpp"

#include <unistd.h>

#include <cstdio>

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>

using namespace korva_test;
using namespace std::chrono_literals;

namespace {

std::string make_ping() { return make_frame(0x89, ""); }

// The identity that the open record gives the connection with this peer port.
std::string identity_of_port(const ChildProcess& service, unsigned short port) {
  std::regex record("Server: Opened connection (0x[0-9a-f]+)\n    ip: +[^\n]*\n    port: +" + std::to_string(port) + "\n");
  std::smatch match;
  std::string log = service.stdout_text();
  return std::regex_search(log, match, record) ? match[1].str() : std::string();
}

// Reads frames until `expected` (any order) have all come, failing on any other frame.
void expect_frames(TestClient& client, std::multiset<std::string> expected, std::chrono::milliseconds limit,
                   const char* who) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!expected.empty()) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    Frame frame = client.read_frame(std::max(left, 1ms));
    ASSERT_TRUE(frame.ok) << who << ": " << expected.size() << " frame(s) missing, first: " << *expected.begin();
    EXPECT_EQ(frame.fin_rsv_opcode, 0x81) << who;
    auto found = expected.find(frame.payload);
    ASSERT_NE(found, expected.end()) << who << " got an unexpected frame: " << frame.payload;
    expected.erase(found);
  }
}

TEST(Service, EchoIsAnsweredByteForByte) {
  auto service = start_service();
  auto client = connect_to_service();
  std::string request = R"({"command":"echo","data":")" + std::string(70000, 'q') + "\\u00e9 \xc3\xa9\"}";
  client->send_text(request);
  Frame reply = client->read_frame();
  EXPECT_EQ(reply.fin_rsv_opcode, 0x81);
  EXPECT_TRUE(reply.payload == request) << "reply of " << reply.payload.size() << " bytes differs";
  EXPECT_TRUE(service->wait_for_stdout("Received command: echo\n"));
}

TEST(Service, SetValueIsAnsweredNotifiedToTheOthersAndPushedByTheMonitor) {
  // The monitor takes its starting picture of the device's values when its thread starts, and it
  // never pushes a change made before that: the change waits until the simulated monitor says
  // that it has taken the picture.
  const std::string ready = "/tmp/korva-monitor-ready-" + std::to_string(::getpid());
  std::remove(ready.c_str());
  auto service = start_service({"KORVA_SIM_MONITOR_READY_FILE=" + ready});
  auto requester = connect_to_service();
  ASSERT_TRUE(eventually([&] { return ::access(ready.c_str(), F_OK) == 0; })) << "the monitor never started";
  std::remove(ready.c_str());
  SystemAPI device(false);
  auto second = connect_to_service();
  auto third = connect_to_service();
  // The texts the device gives for this change, from the same device library in this process.
  const std::string request = R"({"command":"set_value","group":2,"id":61,"index":1,"value":4711})";
  const std::string reply = device.doRequest(request, "", 0);
  const std::string notification = SystemAPI::formRequestForPushNotification(reply).at(0);
  const std::string data = device.readData(2, 61, 1);

  requester->send_text(request);
  // The monitor polls every 10 seconds: its push comes within one cycle.
  expect_frames(*requester, {reply, data}, 12s, "requester");
  expect_frames(*second, {notification, data}, 12s, "second");
  expect_frames(*third, {notification, data}, 12s, "third");
  for (auto* client : {requester.get(), second.get(), third.get()}) {
    client->send_raw(make_ping());
    EXPECT_EQ(client->read_frame().fin_rsv_opcode, 0x8A) << "nothing else came before the pong";
  }
}

TEST(Service, AfterRebootLaterRequestsGetNoAnswerAndConnectionsStayOpen) {
  auto service = start_service();
  auto requester = connect_to_service();
  auto other = connect_to_service();
  requester->send_text(R"({"command":"reboot"})");
  Frame reply = requester->read_frame();
  EXPECT_NE(reply.payload.find("rebooting"), std::string::npos) << reply.payload;
  for (auto* client : {requester.get(), other.get(), requester.get()}) {
    client->send_text(R"({"command":"echo","late":true})");
    client->send_raw(make_ping()); // answered only after the request before it was handled
    Frame next = client->read_frame();
    EXPECT_EQ(next.fin_rsv_opcode, 0x8A) << "got instead: " << next.payload;
  }
  std::string log;
  int dropped = 0;
  // The log is written by a thread of its own, shortly after the events it records.
  eventually([&] {
    log = service->stdout_text();
    std::size_t at = log.find("Received command: reboot\"}\n");
    for (dropped = 0, at = log.find("Received command: echo\n", at); at != std::string::npos;
         at = log.find("Received command: echo\n", at + 1))
      ++dropped;
    return dropped == 3;
  });
  ASSERT_NE(log.find("Received command: reboot\"}\n"), std::string::npos);
  EXPECT_EQ(dropped, 3);
  EXPECT_EQ(log.find("Server: Closed connection"), std::string::npos);
  EXPECT_EQ(log.find("Server: Error in connection"), std::string::npos);
}

TEST(Service, RequestTimeFileHoldsTheLatestRequest) {
  const char* path = "/var/log/webserver-request-time";
  if (!std::ofstream(path, std::ios::app))
    GTEST_SKIP() << path << " cannot be written by this user; the request-time line is not checked";
  auto service = start_service();
  auto client = connect_to_service();
  client->send_text(R"({"command":"get_values"})");
  EXPECT_TRUE(client->read_frame().ok);
  client->send_text(R"({"command":"echo","id":1})");
  EXPECT_TRUE(client->read_frame().ok);
  std::string identity;
  EXPECT_TRUE(eventually([&] { return !(identity = identity_of_port(*service, client->local_port())).empty(); }));
  ASSERT_FALSE(identity.empty()) << service->stdout_text();
  std::regex line("Server: Message responded: \"echo\" from " + identity + "\t\t[0-9]+ms\n");
  auto text = [&] {
    std::ifstream file(path);
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
  };
  EXPECT_TRUE(eventually([&] { return std::regex_match(text(), line); })) << text();
}

TEST(Service, ConnectionRecordsForACloseAndForADroppedConnection) {
  auto service = start_service();
  auto closing = connect_to_service("/api/?lang=en", "X-Real-IP: 192.0.2.44\r\nX-Trace: 1\r\nX-Trace: 2\r\n");
  unsigned short closing_port = closing->local_port();
  closing->send_raw(make_close_frame(1000, "bye"));
  Frame echo = closing->read_frame();
  EXPECT_EQ(echo.fin_rsv_opcode, 0x88);
  EXPECT_EQ(echo.payload, std::string("\x03\xe8", 2) + "bye");
  ASSERT_TRUE(service->wait_for_stdout("    reason: bye\n"));

  std::string id = identity_of_port(*service, closing_port);
  ASSERT_FALSE(id.empty()) << service->stdout_text();
  std::string log = service->stdout_text();
  std::string port = std::to_string(closing_port);
  EXPECT_NE(log.find("Server: Opened connection " + id +
                     "\n"
                     "    ip:                      192.0.2.44\n"
                     "    port:                    " +
                     port +
                     "\n"
                     "    connection path:         /api/\n"
                     "    connection query string: lang=en\n"
                     "    connection header:\n"),
            std::string::npos)
      << log;
  for (const char* header : {"        X-Real-IP: 192.0.2.44\n", "        X-Trace: 1\n", "        X-Trace: 2\n",
                             "        Sec-WebSocket-Version: 13\n", "        Host: 127.0.0.1\n"})
    EXPECT_NE(log.find(header), std::string::npos) << header;
  EXPECT_NE(log.find("Server: Closed connection " + id +
                     "\n"
                     "    ip:     192.0.2.44\n"
                     "    port:   " +
                     port +
                     "\n"
                     "    status: 1000\n"
                     "    reason: bye\n"),
            std::string::npos)
      << log;

  auto dropping = connect_to_service();
  unsigned short dropping_port = dropping->local_port();
  dropping->close();
  ASSERT_TRUE(service->wait_for_stdout("    message: End of file\n"));
  id = identity_of_port(*service, dropping_port);
  ASSERT_FALSE(id.empty());
  EXPECT_NE(service->stdout_text().find("Server: Error in connection " + id +
                                        "\n"
                                        "    ip:      \n"
                                        "    port:    " +
                                        std::to_string(dropping_port) +
                                        "\n"
                                        "    error:   asio.misc:2\n"
                                        "    message: End of file\n"),
            std::string::npos)
      << service->stdout_text();
}

TEST(Service, LocalPushNotificationsReachEveryConnection) {
  auto service = start_service({"KORVA_SIM_PUSH_PERIOD_MS=200"});
  auto first = connect_to_service();
  auto second = connect_to_service();
  SystemAPI device(false);
  // The simulator notifies its values in turn; these are the device's starting values.
  std::set<std::string> known{device.readData(0, 1, 0), device.readData(0, 2, 0), device.readData(0, 3, 0),
                              device.readData(1, 1, 0), device.readData(1, 1, 1)};
  for (auto* client : {first.get(), second.get()})
    for (int i = 0; i < 3; ++i) {
      Frame frame = client->read_frame(5s);
      ASSERT_TRUE(frame.ok);
      EXPECT_EQ(frame.fin_rsv_opcode, 0x81);
      EXPECT_EQ(known.count(frame.payload), 1u) << frame.payload;
    }
}

TEST(Service, MessagesOver16MiBAreRefusedWith1009) {
  auto service = start_service();
  auto client = connect_to_service();
  // Only the header: the size is judged before any payload is read.
  std::string header("\x81\xff", 2);
  const std::uint64_t length = 16u * 1024 * 1024 + 1;
  for (int shift = 56; shift >= 0; shift -= 8)
    header.push_back(static_cast<char>((length >> shift) & 0xff));
  client->send_raw(header);
  Frame close = client->read_frame();
  EXPECT_EQ(close.fin_rsv_opcode, 0x88);
  EXPECT_EQ(close.payload, std::string("\x03\xf1", 2) + "message too big");
  ASSERT_TRUE(service->wait_for_stdout("    reason: message too big\n"));
  std::string log = service->stdout_text();
  std::size_t error = log.find("    error:   generic:90\n    message: Message too long\n");
  std::size_t closed = log.find("    status: 1009\n    reason: message too big\n");
  EXPECT_NE(error, std::string::npos) << log;
  EXPECT_LT(error, closed) << "the error record comes first";

  // Exactly 16 MiB is still a request.
  auto big = connect_to_service();
  big->send_raw(make_frame(0x81, std::string(16u * 1024 * 1024, 'x')));
  Frame reply = big->read_frame(30s);
  EXPECT_EQ(reply.fin_rsv_opcode, 0x81);
  EXPECT_NE(reply.payload.find("not valid JSON"), std::string::npos) << reply.payload;
}

// The log of the real binary with what a hostile client sends: control characters in the query
// string, a header and a close reason, and a command name that forges a record, are escaped, so
// every record keeps its own lines; a command name of almost 16 MiB is logged as a few hundred bytes.
TEST(Service, ClientTextCannotForgeOrFloodTheLog) {
  auto service = start_service();
  auto client = connect_to_service("/api?q=\x1b[2J", "X-Real-IP: 10.0.0.1\x1b[31m\x7f\r\n");
  client->send_text("{\"command\":\"x\nServer: Closed connection 0xdeadbeef\",\"id\":1}");
  EXPECT_TRUE(client->read_frame().ok);
  ASSERT_TRUE(service->wait_for_stdout("Received command: x\\nServer: Closed connection 0xdeadbeef\n"));

  const std::size_t before = service->stdout_text().size();
  const std::size_t name_size = 16u * 1024 * 1024 - 12; // the whole message is 16 MiB
  client->send_text(R"({"command":")" + std::string(name_size, 'A'));
  EXPECT_TRUE(client->read_frame(30s).ok);
  const std::string cut_line =
      "Received command: " + std::string(256, 'A') + "...[cut " + std::to_string(name_size - 256) + " bytes]\n";
  ASSERT_TRUE(service->wait_for_stdout(cut_line));
  EXPECT_EQ(service->stdout_text().size() - before, cut_line.size());

  client->send_raw(make_close_frame(1000, "bye\x1b[2J\nServer: Opened connection 0x1"));
  ASSERT_TRUE(service->wait_for_stdout("    reason: bye\\x1b[2J\\nServer: Opened connection 0x1\n"));
  const std::string log = service->stdout_text();
  EXPECT_NE(log.find("    ip:                      10.0.0.1\\x1b[31m\\x7f\n"), std::string::npos) << log;
  EXPECT_NE(log.find("    connection query string: q=\\x1b[2J\n"), std::string::npos) << log;
  EXPECT_NE(log.find("    ip:     10.0.0.1\\x1b[31m\\x7f\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("\nServer: Closed connection 0xdeadbeef"), std::string::npos);
  EXPECT_EQ(log.find("\nServer: Opened connection 0x1\n"), std::string::npos);
  EXPECT_EQ(log.find('\x1b'), std::string::npos);
}

} // namespace
