#include "api/request_time_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace korva {

RequestTimeFile::RequestTimeFile(const std::string& path) {
  // O_TRUNC empties only a regular file; on a FIFO or a device it does nothing. O_NOCTTY keeps a
  // terminal at the path from becoming the service's controlling terminal.
  fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0644);
  if (fd_ < 0)
    return;
  struct stat status {};
  if (::fstat(fd_, &status) != 0 || !S_ISREG(status.st_mode)) {
    ::close(fd_);
    fd_ = -1;
  }
}

RequestTimeFile::~RequestTimeFile() {
  if (fd_ >= 0)
    ::close(fd_);
}

void RequestTimeFile::write(const std::string& line) {
  if (fd_ < 0)
    return;
  const char* data = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    const ssize_t written = ::write(fd_, data, left);
    if (written < 0 && errno == EINTR)
      continue;
    if (written <= 0)
      return; // a full disk or an I/O error: the line is lost
    data += written;
    left -= static_cast<std::size_t>(written);
  }
}

} // namespace korva
