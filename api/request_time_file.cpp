#include "api/request_time_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>

namespace korva {

namespace {
// O_NOFOLLOW: never a symbolic link's target. O_NONBLOCK: a FIFO without a reader fails at once.
// O_NOCTTY: a terminal at the path does not become the service's controlling terminal.
constexpr int open_flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;

// The magic numbers of statfs(2) for the file systems in memory.
constexpr long tmpfs_magic = 0x01021994;
constexpr long ramfs_magic = 0x858458f6;

// How often the file system is looked up again.
constexpr unsigned file_system_check_interval = 256;

void write_all(int fd, const std::string& line) {
  const char* data = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    const ssize_t written = ::write(fd, data, left);
    if (written < 0 && errno == EINTR)
      continue;
    if (written <= 0)
      return; // a full disk or an I/O error: the line is lost
    data += written;
    left -= static_cast<std::size_t>(written);
  }
}
} // namespace

bool RequestTimeFileSystem::keeps_open(int fd) {
  if (requests_++ % file_system_check_interval == 0) {
    struct statfs status {};
    in_memory_ = ::fstatfs(fd, &status) == 0 &&
                 (static_cast<long>(status.f_type) == tmpfs_magic || static_cast<long>(status.f_type) == ramfs_magic);
  }
  return in_memory_;
}

RequestTimeFile::RequestTimeFile(const std::string& path, RequestTimeFileSystem& file_system) : path_(path) {
  // O_TRUNC empties only a regular file; on a FIFO or a device it does nothing.
  fd_ = ::open(path_.c_str(), open_flags | O_TRUNC, 0644);
  if (fd_ >= 0 && !file_system.keeps_open(fd_)) {
    ::close(fd_);
    fd_ = -1;
  }
}

RequestTimeFile::~RequestTimeFile() {
  if (fd_ >= 0)
    ::close(fd_);
}

void RequestTimeFile::write(const std::string& line) {
  const bool reopened = fd_ < 0;
  if (reopened) {
    fd_ = ::open(path_.c_str(), open_flags, 0644);
    if (fd_ < 0)
      return;
  }
  struct stat status {};
  if (::fstat(fd_, &status) != 0 || !S_ISREG(status.st_mode))
    return; // the destructor closes it
  // A reopened file was emptied when the request started; something else may have written it
  // since.
  if (reopened && status.st_size != 0 && ::ftruncate(fd_, 0) != 0)
    return;
  write_all(fd_, line);
}

} // namespace korva
