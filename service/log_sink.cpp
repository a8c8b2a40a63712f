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

// The bytes of `batch` from `at` on that one write takes: PIPE_BUF at most (a pipe takes that much
// whole, and the writer is soon between writes again), up to the end of the last entry that fits
// whole.
std::size_t piece(const std::string& batch, std::size_t at) {
  const std::size_t most = std::min<std::size_t>(batch.size() - at, PIPE_BUF);
  if (at + most == batch.size())
    return most;
  const std::size_t last_end = batch.rfind('\n', at + most - 1);
  return last_end != std::string::npos && last_end >= at ? last_end + 1 - at : most;
}

} // namespace

LogSink::LogSink(int fd) : own_(::fcntl(fd, F_DUPFD_CLOEXEC, 3)), fd_(own_ >= 0 ? own_ : fd) {}

LogSink::~LogSink() {
  if (own_ >= 0)
    ::close(own_);
}

void LogSink::write_entries(const std::string& batch, const std::atomic<bool>& stop) {
  std::unique_lock<std::mutex> lock(mutex_);
  for (std::size_t at = 0; at < batch.size() && !stop;) {
    const bool ending_line = line_open_ && (at == 0 || batch[at - 1] == '\n');
    writing_ = true;
    lock.unlock();
    const ssize_t written =
        ending_line ? write_some(fd_, "\n", 1) : write_some(fd_, batch.data() + at, piece(batch, at));
    lock.lock();
    writing_ = false;
    between_writes_.notify_all();
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
}

void LogSink::write_direct(std::string text, std::chrono::steady_clock::time_point deadline) {
  if (text.empty())
    return;
  {
    // `stop` was set before this lock: the writer, which reads it under the lock before each
    // write, starts no other once this has had the lock.
    std::unique_lock<std::mutex> lock(mutex_);
    if (!between_writes_.wait_until(lock, deadline, [this] { return !writing_; }) || line_open_)
      text.insert(0, 1, '\n');
  }
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
