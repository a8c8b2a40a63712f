#include "service/notify.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace korva {

namespace {

constexpr std::chrono::microseconds shortest_watchdog_interval = std::chrono::milliseconds(100);
constexpr std::chrono::microseconds longest_watchdog_interval = std::chrono::hours(24);

// $WATCHDOG_USEC: decimal digits, and a value too large to hold is the longest there is; zero
// for anything else.
std::chrono::microseconds parse_watchdog_usec(const std::string& text) {
  using Rep = std::chrono::microseconds::rep;
  constexpr Rep most = std::chrono::microseconds::max().count();
  Rep value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9')
      return std::chrono::microseconds::zero();
    const Rep digit = c - '0';
    value = value > (most - digit) / 10 ? most : value * 10 + digit;
  }
  return std::chrono::microseconds(value);
}

} // namespace

std::string take_manager_variable(const char* name) {
  const char* value = std::getenv(name);
  std::string text = value ? value : "";
  ::unsetenv(name);
  return text;
}

Notifier Notifier::from_environment() {
  const std::string socket = take_manager_variable("NOTIFY_SOCKET");
  const std::string usec = take_manager_variable("WATCHDOG_USEC");
  const std::string pid = take_manager_variable("WATCHDOG_PID");
  std::chrono::microseconds watchdog{0};
  // The watchdog is for this process only when no other one is named.
  if (pid.empty() || pid == std::to_string(::getpid()))
    watchdog = parse_watchdog_usec(usec);
  if (socket.empty())
    return Notifier();
  return Notifier(socket, watchdog);
}

Notifier::Notifier(const std::string& socket, std::chrono::microseconds watchdog) : watchdog_(watchdog) {
  // A path, or an abstract name: '@' stands for the leading NUL byte.
  if (socket.size() < 2 || socket.size() >= sizeof address_.sun_path || (socket[0] != '/' && socket[0] != '@'))
    return;
  address_.sun_family = AF_UNIX;
  std::memcpy(address_.sun_path, socket.data(), socket.size());
  if (socket[0] == '@')
    address_.sun_path[0] = '\0';
  address_length_ = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + socket.size() + (socket[0] == '/' ? 1 : 0));
  fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
}

Notifier::Notifier(Notifier&& other) noexcept
    : fd_(other.fd_), address_(other.address_), address_length_(other.address_length_), watchdog_(other.watchdog_) {
  other.fd_ = -1;
}

Notifier::~Notifier() {
  if (fd_ >= 0)
    ::close(fd_);
}

std::chrono::microseconds Notifier::watchdog_interval() const noexcept {
  if (!enabled() || watchdog_ <= watchdog_.zero())
    return watchdog_.zero();
  return std::clamp(watchdog_ / 2, shortest_watchdog_interval, longest_watchdog_interval);
}

bool Notifier::notify(const std::string& state) const noexcept {
  if (fd_ < 0)
    return false;
  for (;;) {
    const ssize_t sent = ::sendto(fd_, state.data(), state.size(), MSG_NOSIGNAL,
                                  reinterpret_cast<const sockaddr*>(&address_), address_length_);
    if (sent >= 0)
      return true;
    if (errno != EINTR)
      return false;
  }
}

} // namespace korva
