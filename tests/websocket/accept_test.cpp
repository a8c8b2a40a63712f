// Accepting when the process has run out of file descriptors.

#include "tests/websocket/server_fixture.hpp"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

using namespace korva_test;

namespace {

std::size_t open_descriptors() {
  std::size_t count = 0;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (readdir(dir))
      ++count;
    closedir(dir);
  }
  return count;
}

std::chrono::nanoseconds thread_cpu_time(std::thread& thread) {
  clockid_t clock;
  pthread_getcpuclockid(thread.native_handle(), &clock);
  timespec t{};
  clock_gettime(clock, &t);
  return std::chrono::seconds(t.tv_sec) + std::chrono::nanoseconds(t.tv_nsec);
}

TEST(Accept, OutOfDescriptorsPausesInsteadOfSpinningAndRecovers) {
  TestServer test;
  // Sockets made before the limit is lowered, connected after: the server cannot accept them.
  constexpr int waiting = 20;
  std::vector<int> sockets;
  for (int i = 0; i < waiting; ++i)
    sockets.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));

  rlimit original{};
  getrlimit(RLIMIT_NOFILE, &original);
  rlimit lowered = original;
  lowered.rlim_cur = open_descriptors() + 2;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);

  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(test.port());
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  for (int fd : sockets)
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

  // Accept now fails with "too many open files" for as long as the limit holds. A server that
  // re-posted its accept at once would burn its thread's whole time slice here.
  auto before = thread_cpu_time(test.thread);
  std::this_thread::sleep_for(500ms); // the time that passes is what is under test
  auto used = thread_cpu_time(test.thread) - before;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &original), 0);
  EXPECT_LT(used, 100ms);

  // With descriptors back, the waiting connections are served.
  const std::string request = upgrade_request();
  for (int fd : sockets)
    ASSERT_EQ(::send(fd, request.data(), request.size(), MSG_NOSIGNAL), static_cast<ssize_t>(request.size()));
  test.events.wait_for("open", waiting);
  for (int fd : sockets)
    ::close(fd);
}

} // namespace
