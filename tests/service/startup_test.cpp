// The service binary's start-up, its orderly stop and its failures. Every test here holds
// 127.0.0.1:8888.

#include "tests/support/service_process.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace korva_test;
using namespace std::chrono_literals;

namespace {

TEST(StartUp, DeviceInterfaceFailureEndsWithItsTextAndStatus1) {
  const std::string text = "device interface unavailable: /dev/korva0: No such device";
  ChildProcess service(service_command(), {"KORVA_SIM_FAIL_START=" + text});
  EXPECT_EQ(service.wait_exit(), 1);
  EXPECT_EQ(service.stdout_text(), "Starting korva-server\n");
  EXPECT_EQ(service.stderr_text(), text + "\n");
  EXPECT_TRUE(nothing_listens(service_port));
}

TEST(StartUp, PortInUseIsReportedWithStatus1) {
  int holder = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(holder, 0);
  int on = 1;
  setsockopt(holder, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(service_port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(holder, 4), 0);

  ChildProcess service(service_command());
  EXPECT_EQ(service.wait_exit(), 1);
  close(holder);
  EXPECT_EQ(service.stdout_text(), "Starting korva-server\n");
  EXPECT_EQ(service.stderr_text(), "korva-server: cannot listen on 127.0.0.1:8888: bind: Address already in use\n");
}

TEST(StartUp, CommandLineArgumentsChangeNothing) {
  auto service = start_service({}, {"--port", "9999", "--address=0.0.0.0", "-h", "--help"});
  EXPECT_TRUE(nothing_listens(9999));
  auto client = connect_to_service();
  client->send_text(R"({"command":"echo","args":"ignored"})");
  EXPECT_EQ(client->read_frame().payload, R"({"command":"echo","args":"ignored"})");
  EXPECT_TRUE(service->wait_for_stdout("Starting korva-server\n"));
  EXPECT_EQ(service->stdout_text().rfind("Starting korva-server\n", 0), 0u);
}

TEST(StartUp, ServiceKeepsServingWhenThePushHandlerReturnsAtOnce) {
  auto start = std::chrono::steady_clock::now();
  auto service = start_service({"KORVA_SIM_PUSH_RUN_RETURNS=1"});
  auto client = connect_to_service();
  // The handler runs after start-up's one-second pause; give it time to return.
  auto waited = std::chrono::steady_clock::now() - start;
  if (waited < 2s) {
    EXPECT_TRUE(client->silent_for(std::chrono::duration_cast<std::chrono::milliseconds>(2s - waited)));
  }
  EXPECT_TRUE(service->running());
  client->send_text(R"({"command":"echo"})");
  EXPECT_EQ(client->read_frame().payload, R"({"command":"echo"})");
  auto late = connect_to_service();
  late->send_text(R"({"command":"echo","n":2})");
  EXPECT_EQ(late->read_frame().payload, R"({"command":"echo","n":2})");
  EXPECT_EQ(service->stderr_text(), "");
}

// SIGTERM and SIGINT: every open connection gets close 1001, and once its client has answered,
// the log is written out and the service ends with status 0, its answered requests logged.
TEST(Stop, SigtermAndSigintCloseEveryClientWith1001AndEndWithStatus0) {
  for (int signal : {SIGTERM, SIGINT}) {
    auto service = start_service();
    auto client = connect_to_service();
    client->send_text(R"({"command":"echo","last":true})");
    EXPECT_EQ(client->read_frame().payload, R"({"command":"echo","last":true})");
    service->kill_now(signal);
    Frame close = client->read_frame();
    EXPECT_EQ(close.fin_rsv_opcode, 0x88) << signal;
    EXPECT_EQ(close.payload, std::string("\x03\xE9") + "service stopping") << signal;
    client->send_raw(make_close_frame(1001, ""));
    EXPECT_EQ(service->wait_exit(), 0) << signal << ": " << service->stderr_text();
    const std::string log = service->stdout_text();
    EXPECT_NE(log.find("Received command: echo\n"), std::string::npos) << signal;
    EXPECT_NE(log.find("Stopping korva-server\n"), std::string::npos) << signal;
    EXPECT_EQ(service->stderr_text(), "") << signal;
  }
}

// A client that does not answer the close keeps the stop waiting (for a second at most); a second
// signal meanwhile ends the process at once.
TEST(Stop, ASecondSignalDuringTheStopEndsTheProcessAtOnce) {
  auto service = start_service();
  auto client = connect_to_service();
  service->kill_now(SIGTERM);
  EXPECT_EQ(client->read_frame().fin_rsv_opcode, 0x88); // the stop is under way
  service->kill_now(SIGTERM);
  EXPECT_EQ(service->wait_exit(), 128 + SIGTERM) << service->stderr_text();
}

} // namespace
