#pragma once
// One descriptor of the service's log (standard output or standard error), as the log queue's
// writer thread writes it: whole entries, in as few writes as the descriptor takes, and a write
// that fails costs its own entry only.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

namespace korva {

class LogSink {
public:
  // Writes to a duplicate of `fd`, closed with the sink, so that the caller may close its own
  // whenever it likes (or `fd` itself when no duplicate can be had).
  explicit LogSink(int fd);
  ~LogSink();
  LogSink(const LogSink&) = delete;
  LogSink& operator=(const LogSink&) = delete;

  // One thread (the writer) at a time. Writes the entries (lines) of `batch` in writes of at most
  // PIPE_BUF bytes that end with an entry (an entry longer than that takes several), waiting for
  // room as long as the descriptor takes none. An entry whose write fails (a reader that went
  // away, a full disk) is lost and the next is tried; when the descriptor took part of it, a
  // newline ends that part first, so that the next entry starts a line of its own. Needs SIGPIPE
  // not to end the process. Stops between writes once `stop` is set.
  void write_entries(const std::string& batch, const std::atomic<bool>& stop);

  // Any thread, for the end of the log, once `stop` of write_entries is set: waits until
  // `deadline` for the writer to be between writes (it then starts no other), and writes `text`
  // straight, after a newline when the writer left a line open (or is still in a write at the
  // deadline), in pieces of at most PIPE_BUF bytes, each once poll() has seen room; gives up once
  // there has been no room until `deadline`.
  void write_direct(std::string text, std::chrono::steady_clock::time_point deadline);

private:
  const int own_; // our duplicate of the descriptor, or -1
  const int fd_;
  std::mutex mutex_;                       // the two below; never held across a write
  std::condition_variable between_writes_; // the writer has left a write
  bool writing_ = false;                   // the writer is in a write
  bool line_open_ = false;                 // the descriptor holds part of an entry
};

} // namespace korva
