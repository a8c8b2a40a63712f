// The service binary's start-up, its orderly stop and its failures. Every test here holds
// 127.0.0.1:8888.

#include "tests/support/notify_listener.hpp"
#include "tests/support/service_process.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

using namespace korva_test;
using namespace std::chrono_literals;

namespace {

// True when a thread of the process `pid` has the name `name`.
bool thread_named(pid_t pid, const std::string& name) {
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  DIR* folder = ::opendir(tasks.c_str());
  bool found = false;
  while (folder && !found) {
    const dirent* entry = ::readdir(folder);
    if (!entry)
      break;
    std::ifstream comm(tasks + "/" + entry->d_name + "/comm");
    std::string text;
    found = std::getline(comm, text) && text == name;
  }
  if (folder)
    ::closedir(folder);
  return found;
}

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

// A second signal at any point of the stop ends the process at once: while a client that does not
// answer the close keeps the stop waiting (for a second), and while the log is written out to a
// standard output that takes nothing (for 3 s at most), the signal taken by the stop's own thread.
TEST(Stop, ASecondSignalDuringTheStopEndsTheProcessAtOnce) {
  {
    auto service = start_service();
    auto client = connect_to_service();
    service->kill_now(SIGTERM);
    EXPECT_EQ(client->read_frame().fin_rsv_opcode, 0x88); // the stop is under way
    service->kill_now(SIGTERM);
    EXPECT_EQ(service->wait_exit(), 128 + SIGTERM) << service->stderr_text();
  }
  // Standard output: a FIFO held full by the test, which never reads it.
  const std::string fifo = "/tmp/korva-stdout-" + std::to_string(::getpid());
  ::unlink(fifo.c_str());
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const int full = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  const std::string block(4096, 'x');
  while (::write(full, block.data(), block.size()) > 0) {
  }
  NotifyListener manager(true);
  std::vector<std::string> command{"-c", "exec \"$0\" \"$@\" >" + fifo};
  for (const std::string& word : service_command())
    command.push_back(word);
  ChildProcess service("/bin/bash", command, {manager.variable()});
  ASSERT_EQ(manager.wait_for("READY=1"), "READY=1") << service.stderr_text();
  service.kill_now(SIGTERM);
  ASSERT_EQ(manager.wait_for("STOPPING=1"), "STOPPING=1");
  // The thread that writes out the log (and ends the process after it) has started.
  EXPECT_TRUE(eventually([&] { return thread_named(service.pid(), "korva-drain"); }));
  service.kill_now(SIGTERM);
  EXPECT_EQ(service.wait_exit(), 128 + SIGTERM) << service.stderr_text();
  ::close(full);
  ::unlink(fifo.c_str());
}

} // namespace
