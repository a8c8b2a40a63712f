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
// The file is emptied by an open with truncation that is closed at once, and the line is written
// through a second open without truncation. On ext4, closing a file that was truncated and then
// written makes the kernel write it to disk at once (its safeguard for files replaced by
// truncation), and the next request's truncation waits for that: 200 µs per request where this
// sequence takes 15.

#include <string>

namespace korva {

class RequestTimeFile {
public:
  // Empties the file (a regular file only; anything else is left as it is), or creates it empty
  // with mode 0644.
  explicit RequestTimeFile(const std::string& path);
  RequestTimeFile(const RequestTimeFile&) = delete;
  RequestTimeFile& operator=(const RequestTimeFile&) = delete;

  // Makes `line` the file's contents: opens the file again (creating it if it went meanwhile),
  // writes the line in one write and closes it. Lost if the path is not a regular file, or the
  // write fails.
  void write(const std::string& line);

private:
  const std::string& path_;
};

} // namespace korva
