#pragma once
// The service's own log sink. std::cout and std::cerr write into a bounded queue in memory, which
// one thread writes out to standard output and standard error. Whoever logs (the event-loop thread
// above all) never waits for the reader of the log, only for a short lock on the queue: a reader
// that stalls, goes away or fails costs log entries, never a client's answer.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <streambuf>
#include <string>

namespace korva {

class LogEntryBuffer;

// Whole log entries for two descriptors, "out" and "err", queued in memory and written by one
// thread of its own.
//
// Entries: out() and err() hand over each thread's entries whole (service/log_entry_buffer.hpp).
// They reach their descriptor whole and in order. An entry that comes after a quiet millisecond
// wakes the writer and is written at once; those that come while it writes, or within a
// millisecond of its last write, wake nobody and go out together in its next write.
//
// Bound: each descriptor's entries, queued or being written, take at most its capacity. An entry
// that does not fit is dropped and counted, and so is every later one for that descriptor until
// the writer takes the queue; the entry "Server: Log full, entries dropped: N" then stands where
// they are missing.
//
// Failures: an entry whose write fails is lost, and the writer goes on with the next
// (service/log_sink.hpp). While one descriptor does not take a write, the other's entries wait too
// (and are dropped when they no longer fit).
//
// Threads: out() and err() may be written, and the other members called, from any thread.
class LogQueue {
public:
  struct Sink {
    int fd;
    std::size_t capacity; // bytes
  };

  // Starts the writer. When both sinks have the same descriptor, err() writes into out()'s queue
  // (one order, one capacity). The queue writes to duplicates of the descriptors, closed once the
  // writer has ended after the destructor: the caller may close its own whenever it likes.
  LogQueue(Sink out, Sink err);
  // finish() without waiting: the writer stops after the write it is in, without being waited for
  // (a writer stuck in a write that never returns must not keep the process from ending). Call
  // finish() or drain() first to have the queue written.
  ~LogQueue();
  LogQueue(const LogQueue&) = delete;
  LogQueue& operator=(const LogQueue&) = delete;

  std::streambuf& out();
  std::streambuf& err();

  // Waits until every entry logged before the call has been written (or its write has failed),
  // or counted in a "Server: Log full" entry that has been; false when `deadline` passes first.
  bool drain(std::chrono::steady_clock::time_point deadline);

  // Ends the log; entries logged from the call on are not written. The writer has until
  // `deadline` to write the queue and the counts of what was dropped; then it stops. Then, straight
  // to the err descriptor, whatever the queue holds, once the writer is between writes to it
  // (waiting for that and for room a second at most; a writer stuck in a write to the other
  // descriptor is not waited for): "Server: Log full, entries dropped: N" when entries were not
  // written, N counting every entry not known to be written (those of a write still in progress
  // may yet come out), and `last_words` (if not empty) with a newline. True when nothing was lost.
  // Later calls write only their `last_words`.
  bool finish(std::chrono::steady_clock::time_point deadline, const std::string& last_words = {});

  // Entries dropped since the start because the queue had no room for them (those that the
  // "Server: Log full" entries count while the log runs).
  std::uint64_t dropped() const noexcept;

private:
  struct Core;
  std::shared_ptr<Core> core_;
  std::unique_ptr<LogEntryBuffer> out_, err_;
};

// Points std::cout and std::cerr at a log queue for its lifetime: standard output with 1 MiB,
// standard error with 64 KiB, or one queue of 1 MiB for both when they are the same file (a
// terminal, one pipe, the journal's socket), so that their entries keep one order and never cut
// into each other. Made once, first thing in main.
class ServiceLog {
public:
  ServiceLog();
  // finish() with a second's time, then puts the streams' own buffers back.
  ~ServiceLog();
  ServiceLog(const ServiceLog&) = delete;
  ServiceLog& operator=(const ServiceLog&) = delete;

  // LogQueue::finish with `limit` from now: for the fatal path (`last_words`: its reason) and the
  // orderly end.
  bool finish(std::chrono::milliseconds limit, const std::string& last_words = {});

  // LogQueue::dropped: log entries dropped since the start.
  std::uint64_t dropped() const noexcept;

private:
  std::unique_ptr<LogQueue> queue_;
  std::streambuf* saved_out_ = nullptr;
  std::streambuf* saved_err_ = nullptr;
};

} // namespace korva
