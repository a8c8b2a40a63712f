// The service under the service manager's protocols: readiness, status, watchdog and stopping sent
// to $NOTIFY_SOCKET, and a listening socket handed over ($LISTEN_FDS) that it takes, so that a
// restart refuses no connection. Every test here holds 127.0.0.1:8888.

#include "service/notify.hpp"
#include "tests/support/notify_listener.hpp"
#include "tests/support/scoped_env.hpp"
#include "tests/support/service_process.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <thread>

using namespace korva_test;
using namespace std::chrono_literals;

namespace {

// A listening socket on 127.0.0.1:`port` (0: any free port), inherited by the processes started.
int listening_socket(unsigned short port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  EXPECT_EQ(::listen(fd, 128), 0);
  return fd;
}

// The service, started as the service manager starts it with a socket: `fd` becomes its descriptor
// 3, and LISTEN_PID names the process (`pid`: another one).
std::unique_ptr<ChildProcess> start_with_socket(int fd, const std::string& count = "1", const std::string& pid = "$$") {
  std::vector<std::string> command{"-c", "LISTEN_PID=" + pid + " LISTEN_FDS=" + count + " exec \"$0\" \"$@\" 3<&" +
                                             std::to_string(fd) + (fd == 3 ? "" : " " + std::to_string(fd) + "<&-")};
  for (const std::string& word : service_command())
    command.push_back(word);
  return std::make_unique<ChildProcess>("/bin/bash", command);
}

// Connects to 127.0.0.1:8888 and asks for the upgrade: true when the 101 came within `limit`.
bool upgraded(std::chrono::milliseconds limit) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(service_port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string answer;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    const std::string request = upgrade_request();
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
      const auto deadline = std::chrono::steady_clock::now() + limit;
      while (answer.find("\r\n\r\n") == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd readable{fd, POLLIN, 0};
        char buffer[512];
        if (left.count() <= 0 || ::poll(&readable, 1, static_cast<int>(left.count())) <= 0)
          break;
        const ssize_t size = ::recv(fd, buffer, sizeof buffer, 0);
        if (size <= 0)
          break;
        answer.append(buffer, static_cast<std::size_t>(size));
      }
    }
  }
  ::close(fd);
  return answer.rfind("HTTP/1.1 101 ", 0) == 0;
}

// Readiness only once the port takes connections, the status line, the watchdog fed while the
// service is idle, and the stop announced; at a path, as systemd's own socket is (other tests use
// an abstract one).
TEST(Notify, ReadyOnceListeningThenStatusWatchdogAndStopping) {
  NotifyListener manager(false);
  ChildProcess service(service_command(), {manager.variable(), "WATCHDOG_USEC=200000"});
  ASSERT_EQ(manager.wait_for("READY=1"), "READY=1") << service.stderr_text();
  auto client = connect_to_service(); // no wait: ready means listening
  for (int feed = 0; feed < 3; ++feed)
    EXPECT_EQ(manager.wait_for("WATCHDOG=1"), "WATCHDOG=1") << feed;
  const std::string status = manager.wait_for("STATUS=open connections: 1;", 15s); // every 5 s
  EXPECT_NE(status.find("; cut since start: 0 memory budget, 0 send queue limit, 0 message stalled, 0 closed for another address; "
                        "log entries dropped: 0; pushes dropped: 0"),
            std::string::npos)
      << status;
  service.kill_now(SIGTERM);
  EXPECT_EQ(manager.wait_for("STOPPING=1"), "STOPPING=1");
  EXPECT_EQ(client->read_frame().fin_rsv_opcode, 0x88);
  client->send_raw(make_close_frame(1001, ""));
  EXPECT_EQ(service.wait_exit(), 0) << service.stderr_text();
}

// The watchdog is fed at half the manager's time, but a time of microseconds makes no busy loop, and
// one too long for the clock (or for 64 bits) is a long time, not a short one.
TEST(Notify, TheWatchdogIntervalIsNeitherShortNorWrappedAround) {
  const struct {
    const char* usec;
    std::chrono::microseconds interval;
  } rows[] = {{"2", 100ms}, {"36893488147419104", 24h}, {"99999999999999999999999", 24h}};
  for (const auto& row : rows) {
    ScopedEnv socket("NOTIFY_SOCKET", "@korva-test-unused"), usec("WATCHDOG_USEC", row.usec); // taken at every call
    EXPECT_EQ(korva::Notifier::from_environment().watchdog_interval().count(), row.interval.count()) << row.usec;
  }
}

TEST(SocketActivation, TheSocketThatSystemdSocketActivateHandsOverIsTaken) {
  if (::access("/usr/bin/systemd-socket-activate", X_OK) != 0)
    GTEST_SKIP() << "no systemd-socket-activate";
  std::vector<std::string> command{"-l", "127.0.0.1:8888"};
  for (const std::string& word : service_command())
    command.push_back(word);
  ChildProcess activator("/usr/bin/systemd-socket-activate", command);
  // Its own socket: the first connection starts the service, which would fail to bind it.
  ASSERT_TRUE(wait_for_listener(service_port));
  auto client = connect_to_service();
  client->send_text(R"({"command":"echo"})");
  EXPECT_EQ(client->read_frame().payload, R"({"command":"echo"})");
  EXPECT_TRUE(activator.wait_for_stdout("Starting korva-server\n"));
  EXPECT_EQ(activator.stderr_text().find("korva-server:"), std::string::npos) << activator.stderr_text();
  activator.kill_now(SIGTERM);
  EXPECT_EQ(client->read_frame().fin_rsv_opcode, 0x88);
  client->send_raw(make_close_frame(1001, ""));
  EXPECT_EQ(activator.wait_exit(), 0);
}

// Anything but one listening TCP socket on 127.0.0.1:8888 for this process is ignored, with the
// reason on standard error, and the service listens by itself. What was handed to it is closed,
// so that nobody connects to a socket that nobody serves.
TEST(SocketActivation, AnythingElseHandedOverIsIgnoredAndSaidSo) {
  const int other_port = listening_socket(0);
  struct stat other_socket {};
  ASSERT_EQ(::fstat(other_port, &other_socket), 0);
  struct Case {
    std::string count, pid, why;
  };
  for (const Case& test : {Case{"2", "$$", "one listening socket is taken, not 2"},
                           Case{"1", "1", "the sockets are not for this process"},
                           Case{"1", "$$", "it is not bound to 127.0.0.1:8888"}}) {
    auto service = start_with_socket(other_port, test.count, test.pid);
    ASSERT_TRUE(wait_for_listener(service_port)) << service->stderr_text();
    EXPECT_TRUE(service->wait_for_stderr(" ignored, " + test.why + "; listening on 127.0.0.1:8888 itself\n"))
        << service->stderr_text();
    char fd3[64] = {};
    if (test.pid == "$$" && ::readlink(("/proc/" + std::to_string(service->pid()) + "/fd/3").c_str(), fd3, sizeof fd3 - 1) > 0) {
      EXPECT_NE(fd3, "socket:[" + std::to_string(other_socket.st_ino) + "]") << test.why;
    }
    auto client = connect_to_service();
    client->send_text(R"({"command":"echo"})");
    EXPECT_EQ(client->read_frame().payload, R"({"command":"echo"})");
  }
  ::close(other_port);
}

struct Restarts {
  int attempts = 0, refused = 0;
};

// Three restarts of the service while a client asks for the upgrade every 20 ms; with `handed`,
// the test holds the listening socket and hands it to each new process.
Restarts restart_under_load(bool handed) {
  const int holder = handed ? listening_socket(service_port) : -1;
  std::atomic<int> attempts{0}, served{0}, refused{0};
  std::atomic<bool> stop{false};
  std::vector<std::thread> clients;
  std::thread pacer([&] {
    while (!stop) {
      clients.emplace_back([&] {
        ++attempts;
        ++(upgraded(5s) ? served : refused);
      });
      std::this_thread::sleep_for(20ms); // the pace of the clients, the subject here
    }
  });
  const auto start = [&] { return handed ? start_with_socket(holder) : std::make_unique<ChildProcess>(service_command()); };
  // Each process serves a dozen clients (about a quarter of a second) before it is stopped.
  const auto serve = [&](int clients_served) {
    auto service = start();
    const int before = served;
    EXPECT_TRUE(eventually([&] { return served >= before + clients_served; })) << service->stderr_text();
    return service;
  };
  for (int round = 0; round < 3; ++round) {
    auto service = serve(12);
    service->kill_now(SIGTERM);
    EXPECT_EQ(service->wait_exit(), 0) << service->stderr_text();
  }
  auto last = serve(1); // and the clients still waiting
  stop = true;
  pacer.join();
  for (std::thread& client : clients)
    client.join();
  last->kill_now(SIGTERM);
  EXPECT_EQ(last->wait_exit(), 0) << last->stderr_text();
  if (holder >= 0)
    ::close(holder);
  return Restarts{attempts, refused};
}

TEST(SocketActivation, ARestartWithTheSocketHeldRefusesNoConnection) {
  const Restarts held = restart_under_load(true);
  const Restarts bound = restart_under_load(false);
  std::printf("figure: restarts with the socket held: %d of %d connections refused; binding itself: %d of %d\n",
              held.refused, held.attempts, bound.refused, bound.attempts);
  EXPECT_EQ(held.refused, 0);
  EXPECT_GT(held.attempts, 20);
}

} // namespace
