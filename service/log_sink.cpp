#include "service/log_sink.hpp"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace korva {

namespace {

// One write of what `fd` takes of the bytes; -1 when it refuses them. A descriptor someone made
// non-blocking is waited for as a blocking one would be.
ssize_t write_some(int fd, const char* data, std::size_t size) {
  for (;;) {
    const ssize_t written = ::write(fd, data, size);
    if (written > 0)
      return written;
    if (written < 0 && errno == EAGAIN) {
      pollfd room{fd, POLLOUT, 0};
      ::poll(&room, 1, -1);
    } else if (written == 0 || errno != EINTR) {
      return -1;
    }
  }
}

} // namespace

LogSink::LogSink(int fd) : own_(::fcntl(fd, F_DUPFD_CLOEXEC, 3)), fd_(own_ >= 0 ? own_ : fd) {}

LogSink::~LogSink() {
  if (own_ >= 0)
    ::close(own_);
}

void LogSink::write_entries(const std::string& batch, const std::atomic<bool>& stop) {
  if (batch.empty())
    return;
  in_line_ = true;
  for (std::size_t at = 0; at < batch.size() && !stop;) {
    const bool ending_line = line_open_ && (at == 0 || batch[at - 1] == '\n');
    const ssize_t written =
        ending_line ? write_some(fd_, "\n", 1) : write_some(fd_, batch.data() + at, batch.size() - at);
    if (written < 0) { // the entry at `at` is lost (what is left of it, when it was begun)
      const void* newline = std::memchr(batch.data() + at, '\n', batch.size() - at);
      at = newline ? static_cast<std::size_t>(static_cast<const char*>(newline) - batch.data()) + 1 : batch.size();
    } else if (ending_line) {
      line_open_ = false;
    } else {
      at += static_cast<std::size_t>(written);
      line_open_ = batch[at - 1] != '\n';
    }
  }
  in_line_ = line_open_;
}

void LogSink::write_direct(std::string text, std::chrono::steady_clock::time_point deadline) {
  if (!text.empty() && in_line_)
    text.insert(0, 1, '\n');
  for (std::size_t at = 0; at < text.size();) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    pollfd room{fd_, POLLOUT, 0};
    const int ready = ::poll(&room, 1, static_cast<int>(std::max<decltype(left)>(0, left)));
    if (ready < 0 && errno == EINTR)
      continue;
    if (ready <= 0)
      return;
    const ssize_t written = ::write(fd_, text.data() + at, std::min<std::size_t>(text.size() - at, PIPE_BUF));
    if (written > 0)
      at += static_cast<std::size_t>(written);
    else if (written < 0 && errno != EINTR && errno != EAGAIN)
      return;
  }
}

} // namespace korva
