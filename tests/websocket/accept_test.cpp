// Accepting when the process has run out of file descriptors.

#include "tests/websocket/server_fixture.hpp"

#include <arpa/inet.h>
#include <dirent.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

using namespace korva_test;

namespace {

using Clock = std::chrono::steady_clock;

// When each accept of this process failed for want of a descriptor.
std::mutex failures_mutex;
std::condition_variable failed;
std::vector<Clock::time_point> failures;

} // namespace

// Every accept of this test binary comes here (the executable's own definition comes before the C
// library's), so that a test can see when the server tries to accept.
extern "C" int accept(int fd, sockaddr* __restrict address, socklen_t* __restrict length) {
  using Accept = int (*)(int, sockaddr*, socklen_t*);
  static const auto real_accept = reinterpret_cast<Accept>(::dlsym(RTLD_NEXT, "accept"));
  const int result = real_accept(fd, address, length);
  if (result < 0 && errno == EMFILE) {
    std::lock_guard<std::mutex> lock(failures_mutex);
    failures.push_back(Clock::now());
    failed.notify_all();
    errno = EMFILE;
  }
  return result;
}

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
  // tried again at once would fail thousands of times a second; this one pauses 100 ms each time.
  std::vector<Clock::time_point> seen;
  {
    std::unique_lock<std::mutex> lock(failures_mutex);
    failed.wait_for(lock, 10s, [] { return failures.size() >= 4; });
    seen = failures;
  }
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &original), 0);
  ASSERT_GE(seen.size(), 4u);
  for (std::size_t i = 1; i < 4; ++i)
    EXPECT_GE(seen[i] - seen[i - 1], 90ms) << "accept tried again without a pause";

  // With descriptors back, the waiting connections are served.
  const std::string request = upgrade_request();
  for (int fd : sockets)
    ASSERT_EQ(::send(fd, request.data(), request.size(), MSG_NOSIGNAL), static_cast<ssize_t>(request.size()));
  test.events.wait_for("open", waiting);
  for (int fd : sockets)
    ::close(fd);
}

} // namespace
