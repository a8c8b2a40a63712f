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

#include <string>

namespace korva {

class RequestTimeFile {
public:
  // Creates the file, or empties it (a regular file only), with mode 0644.
  explicit RequestTimeFile(const std::string& path);
  ~RequestTimeFile(); // closes the file
  RequestTimeFile(const RequestTimeFile&) = delete;
  RequestTimeFile& operator=(const RequestTimeFile&) = delete;

  // Writes `line` in one write. Lost if the file could not be opened, is not a regular file, or
  // the write fails.
  void write(const std::string& line);

private:
  int fd_ = -1;
};

} // namespace korva
