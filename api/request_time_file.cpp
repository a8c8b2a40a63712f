#include "api/request_time_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace korva {

namespace {
// O_NOFOLLOW: never a symbolic link's target. O_NONBLOCK: a FIFO without a reader fails at once.
// O_NOCTTY: a terminal at the path does not become the service's controlling terminal.
constexpr int open_flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
} // namespace

RequestTimeFile::RequestTimeFile(const std::string& path) : path_(path) {
  // O_TRUNC empties only a regular file; on a FIFO or a device it does nothing.
  const int fd = ::open(path_.c_str(), open_flags | O_TRUNC, 0644);
  if (fd >= 0)
    ::close(fd);
}

void RequestTimeFile::write(const std::string& line) {
  const int fd = ::open(path_.c_str(), open_flags, 0644);
  if (fd < 0)
    return;
  struct stat status {};
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    ::close(fd);
    return;
  }
  // Emptied when the request started; something else may have written it since.
  if (status.st_size != 0 && ::ftruncate(fd, 0) != 0) {
    ::close(fd);
    return;
  }
  const char* data = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    const ssize_t written = ::write(fd, data, left);
    if (written < 0 && errno == EINTR)
      continue;
    if (written <= 0)
      break; // a full disk or an I/O error: the line is lost
    data += written;
    left -= static_cast<std::size_t>(written);
  }
  ::close(fd);
}

} // namespace korva
