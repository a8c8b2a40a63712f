#pragma once
// The request-time file: opened anew for every request, emptied when the request starts, and
// given that request's one line when it has been answered. Every system call on the file is in
// this one place.
//
// The file lies in a directory other programs write to, and the service runs as root, so it is
// opened without following a symbolic link and without waiting (a FIFO without a reader fails at
// once instead of holding up every client), and it is written only when it is a regular file.
// Anything else at the path is left alone: like any other failure of this file, it costs the
// line and nothing more.
//
// How the file is opened depends on the file system under it. On a disk file system (ext4 and
// the like), closing a file that was truncated and then written makes the kernel write it to the
// disk at once (a safeguard for files replaced by truncation), and the next request's truncation
// waits for that disk write, which costs many times the rest of the file's work (measured in
// docs/performance.md). There the file is emptied by an open with truncation that is closed at
// once, and the line is written through a second open without truncation. On a file system in
// memory (tmpfs, ramfs) nothing is flushed, and the request keeps the file open from the
// truncation to its line, which saves an open and a close. What the file holds, and when, is the
// same either way.

#include <string>

namespace korva {

// What the service knows about the file system under the request-time file; kept from request to
// request by the message handler, on the event-loop thread.
class RequestTimeFileSystem {
public:
  // Whether the file may stay open from its truncation to its line. Looked up again now and
  // then, in case a file system is mounted over the folder while the service runs.
  bool keeps_open(int fd);

private:
  unsigned requests_ = 0;
  bool in_memory_ = false;
};

class RequestTimeFile {
public:
  // Empties the file (a regular file only; anything else is left as it is), or creates it empty
  // with mode 0644.
  RequestTimeFile(const std::string& path, RequestTimeFileSystem& file_system);
  ~RequestTimeFile(); // closes the file if it is still open
  RequestTimeFile(const RequestTimeFile&) = delete;
  RequestTimeFile& operator=(const RequestTimeFile&) = delete;

  // Makes `line` the file's contents in one write (opening the file again where it was closed,
  // and creating it if it went meanwhile). Lost if the path is not a regular file, or the write
  // fails.
  void write(const std::string& line);

private:
  const std::string& path_;
  int fd_ = -1; // open from the truncation to the line on a file system in memory
};

} // namespace korva
