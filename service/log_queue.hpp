#pragma once
// The service's own log sink. std::cout and std::cerr write into bounded queues in memory, and
// one thread per queue writes them to the file descriptor. Whoever logs (the event-loop thread
// above all) never waits for the reader of the log, only for a short lock on the queue: a reader
// that stalls, goes away or fails costs log entries, never a client's answer.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <streambuf>
#include <string>

namespace korva {

// A stream buffer that queues whole log entries for one file descriptor.
//
// Entries: what each thread writes is collected apart from the other threads (a Logger may hand
// its entry over in pieces, and pieces of different threads must not mix) and queued up to and
// including its last newline, which the Logger puts at the end of each entry (std::cerr flushes
// after every piece, so a flush alone ends nothing). Queued entries keep their
// order and reach the descriptor whole, several of them in one write.
//
// Bound: at most `capacity` bytes are held, queued or being written. An entry that does not fit
// is dropped and counted, and so is every later one until the writer takes the queue; the next
// batch then starts with the entry "Server: Log full, entries dropped: N".
//
// Failures: an entry whose write fails (a reader that went away, a full disk, an I/O error) is
// lost, and the writer goes on with the next; nothing stays failed. Needs SIGPIPE ignored.
//
// Threads: the buffer may be written and flushed from any thread. The std::ostream above it is
// not made thread-safe by this; the Logger serialises its own use of the stream.
class LogQueue : public std::streambuf {
public:
  LogQueue(int fd, std::size_t capacity);
  // Tells the writer thread to end once it has written what is queued; does not wait for it (a
  // writer stuck in a write that never returns must not keep the process from ending). Call
  // drain() first to wait for the entries.
  ~LogQueue() override;
  LogQueue(const LogQueue&) = delete;
  LogQueue& operator=(const LogQueue&) = delete;

  // Waits until every entry queued before the call has been written (or has failed); false when
  // `deadline` passes first.
  bool drain(std::chrono::steady_clock::time_point deadline);

protected:
  std::streamsize xsputn(const char* data, std::streamsize size) override;
  int_type overflow(int_type c) override;
  int sync() override;

private:
  struct Shared;
  std::string& pending(); // the calling thread's unfinished bytes for this queue
  void queue_finished(std::string& pending);
  void bound(std::string& pending);

  const std::uint64_t id_;
  const std::size_t capacity_;
  std::shared_ptr<Shared> shared_;
};

// Points std::cout and std::cerr at log queues for its lifetime: standard output (1 MiB) and
// standard error (64 KiB) each with a writer of its own, so that a stalled standard output does
// not hold up the failure texts; or one queue for both when they are the same file (a terminal,
// one pipe, the journal's socket), so that their entries keep their order and never cut into
// each other. Made once, first thing in main.
class ServiceLog {
public:
  ServiceLog();
  // Drains (a second at most) and puts the streams' own buffers back.
  ~ServiceLog();
  ServiceLog(const ServiceLog&) = delete;
  ServiceLog& operator=(const ServiceLog&) = delete;

  // Waits until what was logged before the call has been written, standard error first; false
  // when `limit` runs out first.
  bool drain(std::chrono::milliseconds limit);

private:
  std::unique_ptr<LogQueue> out_, err_;
  std::streambuf* saved_out_ = nullptr;
  std::streambuf* saved_err_ = nullptr;
};

} // namespace korva
