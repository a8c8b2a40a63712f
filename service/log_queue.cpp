#include "service/log_queue.hpp"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace korva {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t stdout_capacity = 1024 * 1024;
constexpr std::size_t stderr_capacity = 64 * 1024;
constexpr std::chrono::seconds exit_finish_limit{1};
constexpr std::chrono::seconds direct_write_limit{1};
constexpr std::chrono::milliseconds gather_time{1};
// A write buffer that grew beyond this for a burst is given back once written.
constexpr std::size_t kept_buffer = 64 * 1024;

std::string dropped_notice(std::uint64_t entries) {
  return "Server: Log full, entries dropped: " + std::to_string(entries) + "\n";
}

// The length of the whole entries (lines) at the start of `data`.
std::size_t whole_entries(const char* data, std::size_t size) {
  const void* last = ::memrchr(data, '\n', size);
  return last ? static_cast<std::size_t>(static_cast<const char*>(last) - data) + 1 : 0;
}

// Moves past the entry (line) that starts at `data`.
void skip_entry(const char*& data, std::size_t& size) {
  const void* end = std::memchr(data, '\n', size);
  const std::size_t skipped = end ? static_cast<std::size_t>(static_cast<const char*>(end) - data) + 1 : size;
  data += skipped;
  size -= skipped;
}

// One write of what `fd` takes of the bytes; -1 when it refuses them.
ssize_t write_once(int fd, const char* data, std::size_t size) {
  for (;;) {
    const ssize_t written = ::write(fd, data, size);
    if (written > 0)
      return written;
    if (written < 0 && errno == EINTR)
      continue;
    if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // Someone made the descriptor non-blocking: wait for room as a blocking write would.
      pollfd room{fd, POLLOUT, 0};
      ::poll(&room, 1, -1);
      continue;
    }
    return -1;
  }
}

// Writes `text` to `fd`, giving up once the descriptor has had no room until `deadline`: pieces
// of at most PIPE_BUF bytes, each after poll() has seen room, so that a full pipe cannot hold the
// caller in write().
void write_direct(int fd, const std::string& text, Clock::time_point deadline) {
  const char* data = text.data();
  std::size_t size = text.size();
  while (size > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd room{fd, POLLOUT, 0};
    const int ready = ::poll(&room, 1, static_cast<int>(std::max<decltype(left)>(0, left)));
    if (ready < 0 && errno == EINTR)
      continue;
    if (ready <= 0)
      return;
    const ssize_t written = ::write(fd, data, std::min<std::size_t>(size, PIPE_BUF));
    if (written < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)
      return;
    if (written > 0) {
      data += written;
      size -= static_cast<std::size_t>(written);
    }
  }
}

bool same_file(int a, int b) {
  struct stat first {}, second {};
  return ::fstat(a, &first) == 0 && ::fstat(b, &second) == 0 && first.st_dev == second.st_dev &&
         first.st_ino == second.st_ino;
}

// A thread's unfinished entry for one stream buffer.
struct Unfinished {
  std::string text;
  bool skipping = false; // the entry outgrew the queue and was dropped: its rest goes too
};

std::atomic<std::uint64_t> next_channel_id{1};
// Each thread's unfinished entries, one per stream buffer it writes to (usually one or two).
thread_local std::vector<std::pair<std::uint64_t, Unfinished>> unfinished_entries;

} // namespace

// The queue, shared by the stream buffers, the owner and the writer thread. The thread holds it
// too: once stopped it ends on its own, and one stuck in a write keeps what it uses.
struct LogQueue::Core {
  struct Target {
    Target(Sink sink)
        : own(::fcntl(sink.fd, F_DUPFD_CLOEXEC, 3)), fd(own >= 0 ? own : sink.fd), capacity(sink.capacity) {}
    ~Target() {
      if (own >= 0)
        ::close(own);
    }
    const int own; // our duplicate of the descriptor, or -1 when there was none to be had
    const int fd;
    const std::size_t capacity;
    std::string queue;         // whole entries, in order
    std::size_t in_flight = 0; // bytes the writer is writing
    std::size_t dropped = 0;   // entries dropped since the writer last took the queue
    // The writer writes to this target, and makes no write once it has seen `stopping` here.
    std::atomic<bool> writing{false};
    // Only the writer (finish() once `writing` is false): the descriptor holds part of an entry (a
    // write took some of it), and one whose rest was then lost.
    bool open_line = false;
    bool cut_short = false;
  };

  Core(Sink out, Sink err) : targets{out, err}, shared(out.fd == err.fd) {}

  Target& target_of(int channel) { return targets[shared ? 0 : channel]; }

  bool idle() const {
    return targets[0].queue.empty() && targets[1].queue.empty() && targets[0].dropped == 0 && targets[1].dropped == 0;
  }
  std::uint64_t unwritten() const { return queued_entries - done_entries + dropped_entries - reported_entries; }

  // Queues `entries` whole entries, or counts them dropped when they do not fit (or `data` is
  // null).
  void push(int channel, const char* data, std::size_t size, std::size_t entries) {
    bool wake_writer = false;
    {
      std::lock_guard<std::mutex> lock(mutex);
      Target& target = target_of(channel);
      if (closed || entries == 0)
        return;
      if (!data || target.dropped > 0 || target.queue.size() + target.in_flight + size > target.capacity) {
        target.dropped += entries;
        dropped_entries += entries;
      } else {
        target.queue.append(data, size);
        queued_entries += entries;
      }
      wake_writer = waiting;
      waiting = false;
    }
    if (wake_writer)
      wake.notify_one();
  }

  // The writer thread: takes both queues, writes them outside the lock, and again.
  void run() {
    std::string writing[2];
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      // What comes within gather_time of a write waits for the next one unannounced: a busy
      // service wakes nobody and writes many entries at once. After a quiet gather_time the next
      // entry wakes the writer, which writes it at once.
      wake.wait_for(lock, gather_time, [this] { return stopping.load(); });
      while (idle() && !stopping) {
        waiting = true;
        wake.wait(lock);
      }
      waiting = false;
      if (stopping)
        return;
      const std::uint64_t taken = queued_entries;
      std::uint64_t reporting = 0;
      for (int t = 0; t < 2; ++t) {
        std::swap(targets[t].queue, writing[t]);
        if (targets[t].dropped > 0) {
          // The log moves again: the entries before the gap are in this batch, so the count of
          // the gap goes after them.
          writing[t] += dropped_notice(targets[t].dropped);
          reporting += targets[t].dropped;
          targets[t].dropped = 0;
        }
        targets[t].in_flight = writing[t].size();
      }
      lock.unlock();
      write_entries(targets[0], writing[0]);
      write_entries(targets[1], writing[1]);
      lock.lock();
      if (stopping)
        return;
      for (int t = 0; t < 2; ++t) {
        targets[t].in_flight = 0;
        if (writing[t].capacity() > kept_buffer)
          std::string().swap(writing[t]);
        writing[t].clear();
      }
      done_entries = taken;
      reported_entries += reporting;
      written.notify_all();
    }
  }

  // Writes whole entries in as few writes as the descriptor takes. When it refuses a write, the
  // entry being written is lost and the next is tried; an entry it had taken in part gets its line
  // ended first, so that the next entry does not run on from its remains. Stops between writes
  // once the log is stopped.
  void write_entries(Target& target, const std::string& batch) {
    const char* data = batch.data();
    std::size_t size = batch.size();
    target.writing = true;
    while (size > 0 && !stopping) {
      if (target.cut_short) {
        if (write_once(target.fd, "\n", 1) != 1) {
          skip_entry(data, size);
          continue;
        }
        target.cut_short = target.open_line = false;
      }
      const ssize_t written = write_once(target.fd, data, size);
      if (written > 0) {
        target.open_line = data[written - 1] != '\n';
        data += written;
        size -= static_cast<std::size_t>(written);
      } else {
        target.cut_short = target.open_line;
        skip_entry(data, size);
      }
    }
    target.writing = false;
  }

  bool drain(Clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex);
    const std::uint64_t queued = queued_entries, dropped = dropped_entries;
    const auto done = [&] { return done_entries >= queued && reported_entries >= dropped; };
    written.wait_until(lock, deadline, [&] { return done() || stopping; });
    return done();
  }

  bool finish(Clock::time_point deadline, const std::string& last_words) {
    std::lock_guard<std::mutex> one_at_a_time(finish_mutex);
    std::string text;
    Target& err = target_of(1);
    {
      std::unique_lock<std::mutex> lock(mutex);
      if (!closed) {
        closed = true;
        written.wait_until(lock, deadline, [this] { return unwritten() == 0; });
        complete = unwritten() == 0;
        if (!complete)
          text = dropped_notice(unwritten());
      }
      stopping = true;
      if (!last_words.empty())
        text += last_words + "\n";
    }
    wake.notify_one();
    // The writer makes no further write, but may be in one that leaves a line open.
    if (!text.empty() && (err.writing || err.open_line))
      text.insert(0, 1, '\n');
    write_direct(err.fd, text, Clock::now() + direct_write_limit);
    return complete;
  }

  void stop() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      closed = stopping = true;
    }
    wake.notify_one();
  }

  Target targets[2];
  const bool shared; // one descriptor: both channels write into targets[0]
  std::mutex mutex;
  std::condition_variable wake;       // the writer: something to write, or stop
  std::condition_variable written;    // drain(), finish(): a batch has been written
  std::uint64_t queued_entries = 0;   // ever queued
  std::uint64_t done_entries = 0;     // ever written or failed
  std::uint64_t dropped_entries = 0;  // ever dropped
  std::uint64_t reported_entries = 0; // ever dropped and their count written (or failed)
  bool waiting = false;               // the writer waits for entries: the next push wakes it
  bool closed = false;                // finish() has begun: later entries are not queued
  // Set under `mutex`; the writer reads it between writes without the lock.
  std::atomic<bool> stopping{false};
  std::mutex finish_mutex;
  bool complete = true; // under finish_mutex: what the first finish() returned
};

// A stream buffer that hands the entries of one channel to the queue, whole.
class LogQueue::Channel : public std::streambuf {
public:
  Channel(Core& core, int index)
      : core_(core), index_(index), capacity_(core.target_of(index).capacity), id_(next_channel_id++) {}

protected:
  std::streamsize xsputn(const char* data, std::streamsize count) override {
    auto size = static_cast<std::size_t>(count);
    Unfinished& entry = unfinished();
    if (entry.skipping) {
      const void* end = std::memchr(data, '\n', size);
      if (end == nullptr)
        return count;
      entry.skipping = false;
      size -= static_cast<std::size_t>(static_cast<const char*>(end) + 1 - data);
      data = static_cast<const char*>(end) + 1;
    }
    if (entry.text.empty()) {
      // The usual case, entries handed over whole: queued straight from the caller's bytes.
      const std::size_t whole = whole_entries(data, size);
      push(data, whole);
      entry.text.assign(data + whole, size - whole);
    } else {
      entry.text.append(data, size);
      const std::size_t whole = whole_entries(entry.text.data(), entry.text.size());
      push(entry.text.data(), whole);
      entry.text.erase(0, whole);
    }
    if (entry.text.size() > capacity_) {
      // An unfinished entry that has outgrown the whole queue can never be queued.
      core_.push(index_, nullptr, 0, 1);
      entry.text.clear();
      entry.skipping = true;
    }
    return count; // never a failure: a stream in a failed state would stay silent for good
  }

  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof()))
      return traits_type::not_eof(c);
    const char byte = traits_type::to_char_type(c);
    xsputn(&byte, 1);
    return c;
  }

private:
  void push(const char* data, std::size_t size) {
    core_.push(index_, data, size, static_cast<std::size_t>(std::count(data, data + size, '\n')));
  }

  // The calling thread's unfinished entry for this buffer.
  Unfinished& unfinished() {
    for (auto& entry : unfinished_entries)
      if (entry.first == id_)
        return entry.second;
    unfinished_entries.emplace_back(id_, Unfinished{});
    return unfinished_entries.back().second;
  }

  Core& core_;
  const int index_;
  const std::size_t capacity_;
  const std::uint64_t id_;
};

LogQueue::LogQueue(Sink out, Sink err)
    : core_(std::make_shared<Core>(out, err)), out_(std::make_unique<Channel>(*core_, 0)),
      err_(std::make_unique<Channel>(*core_, 1)) {
  std::thread([core = core_] { core->run(); }).detach();
}

LogQueue::~LogQueue() { core_->stop(); }

std::uint64_t LogQueue::dropped() const noexcept {
  std::lock_guard<std::mutex> lock(core_->mutex);
  return core_->dropped_entries;
}

std::streambuf& LogQueue::out() { return *out_; }
std::streambuf& LogQueue::err() { return *err_; }

bool LogQueue::drain(std::chrono::steady_clock::time_point deadline) { return core_->drain(deadline); }

bool LogQueue::finish(std::chrono::steady_clock::time_point deadline, const std::string& last_words) {
  return core_->finish(deadline, last_words);
}

ServiceLog::ServiceLog() {
  const int err_fd = same_file(STDOUT_FILENO, STDERR_FILENO) ? STDOUT_FILENO : STDERR_FILENO;
  queue_ = std::make_unique<LogQueue>(LogQueue::Sink{STDOUT_FILENO, stdout_capacity},
                                      LogQueue::Sink{err_fd, stderr_capacity});
  saved_out_ = std::cout.rdbuf(&queue_->out());
  saved_err_ = std::cerr.rdbuf(&queue_->err());
}

ServiceLog::~ServiceLog() {
  finish(exit_finish_limit);
  std::cerr.rdbuf(saved_err_);
  std::cout.rdbuf(saved_out_);
}

bool ServiceLog::finish(std::chrono::milliseconds limit, const std::string& last_words) {
  return queue_->finish(Clock::now() + limit, last_words);
}

} // namespace korva
