#pragma once
// The service manager's end of the notification protocol, for tests: a datagram socket whose name
// goes into the service's $NOTIFY_SOCKET. Each datagram is one message of NAME=value lines.

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace korva_test {

class NotifyListener {
public:
  // An abstract socket ("@...") or one at a path in /tmp.
  explicit NotifyListener(bool abstract) {
    static std::atomic<int> count{0};
    name_ = (abstract ? "@" : "/tmp/") + std::string("korva-notify-") + std::to_string(::getpid()) + "-" +
            std::to_string(count++);
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, name_.data(), name_.size());
    if (abstract)
      address.sun_path[0] = '\0';
    ::unlink(name_.c_str());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name_.size());
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), length) != 0)
      throw std::runtime_error("cannot bind the notification socket " + name_);
  }
  ~NotifyListener() {
    ::close(fd_);
    if (name_[0] == '/')
      ::unlink(name_.c_str());
  }
  NotifyListener(const NotifyListener&) = delete;
  NotifyListener& operator=(const NotifyListener&) = delete;

  std::string variable() const { return "NOTIFY_SOCKET=" + name_; }

  // Waits for a message with a line that starts with `line`; returns that line, or "" when none
  // came within `limit`. Messages before it are kept in received().
  std::string wait_for(const std::string& line, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      pollfd ready{fd_, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&ready, 1, static_cast<int>(left.count())) <= 0)
        return std::string();
      char buffer[4096];
      const ssize_t size = ::recv(fd_, buffer, sizeof buffer, 0);
      if (size <= 0)
        continue;
      received.emplace_back(buffer, static_cast<std::size_t>(size));
      std::size_t start = 0;
      const std::string& message = received.back();
      while (start <= message.size()) {
        const std::size_t end = std::min(message.find('\n', start), message.size());
        if (message.compare(start, line.size(), line) == 0)
          return message.substr(start, end - start);
        start = end + 1;
      }
    }
  }

  std::vector<std::string> received;

private:
  std::string name_;
  int fd_ = -1;
};

} // namespace korva_test
