#include "service/log_queue.hpp"

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <iostream>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace korva {

namespace {

constexpr std::size_t stdout_capacity = 1024 * 1024;
constexpr std::size_t stderr_capacity = 64 * 1024;
constexpr std::chrono::seconds exit_drain_limit{1};
// A write buffer that grew beyond this for a burst is given back once written.
constexpr std::size_t kept_buffer = 64 * 1024;
constexpr std::chrono::milliseconds gather_time{1};

std::atomic<std::uint64_t> next_queue_id{1};

// Each thread's unfinished entries, one per queue it writes to (usually one or two).
thread_local std::vector<std::pair<std::uint64_t, std::string>> pending_entries;

std::size_t count_lines(const char* data, std::size_t size) {
  return static_cast<std::size_t>(std::count(data, data + size, '\n'));
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

// Moves past the entry (line) that starts at `data`.
void skip_entry(const char*& data, std::size_t& size) {
  const void* end = std::memchr(data, '\n', size);
  const std::size_t skipped = end ? static_cast<std::size_t>(static_cast<const char*>(end) - data) + 1 : size;
  data += skipped;
  size -= skipped;
}

bool same_file(int a, int b) {
  struct stat first {}, second {};
  return ::fstat(a, &first) == 0 && ::fstat(b, &second) == 0 && first.st_dev == second.st_dev &&
         first.st_ino == second.st_ino;
}

} // namespace

// What the writer thread shares with the buffer. The thread holds it too: it ends on its own once
// told to stop and done with the queue, and one stuck in a write keeps what it uses.
struct LogQueue::Shared {
  explicit Shared(int descriptor, std::size_t bound) : fd(descriptor), capacity(bound) {}

  // Queues whole entries, or drops them when they do not fit. Called with the queue unlocked.
  void push(const char* data, std::size_t size) {
    bool wake_writer = false;
    {
      std::lock_guard<std::mutex> lock(mutex);
      wake_writer = waiting;
      if (dropped > 0 || queue.size() + in_flight + size > capacity) {
        dropped += std::max<std::size_t>(1, count_lines(data, size));
      } else {
        queue.append(data, size);
        queued_total += size;
      }
    }
    if (wake_writer)
      wake.notify_one();
  }

  void drop(std::size_t entries) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      dropped += entries;
    }
    wake.notify_one();
  }

  // The writer thread: takes the whole queue, writes it outside the lock, and again.
  void run() {
    std::string writing;
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      waiting = true;
      wake.wait(lock, [this] { return !queue.empty() || dropped > 0 || stopping; });
      waiting = false;
      if (queue.empty() && dropped == 0)
        return; // stopping, and everything written
      if (!stopping) {
        // Let the entries of a burst gather, so that a busy service wakes this thread and
        // writes once per batch instead of once per entry.
        lock.unlock();
        std::this_thread::sleep_for(gather_time);
        lock.lock();
      }
      std::swap(queue, writing);
      in_flight = writing.size();
      if (dropped > 0) {
        // The log moves again: the entries before the gap are in `writing`, so the count
        // of the gap comes first in the queue.
        const std::string notice = "Server: Log full, entries dropped: " + std::to_string(dropped) + "\n";
        queue.append(notice);
        queued_total += notice.size();
        dropped = 0;
      }
      lock.unlock();
      write_entries(writing.data(), writing.size());
      if (writing.capacity() > kept_buffer)
        std::string().swap(writing);
      else
        writing.clear();
      lock.lock();
      written_total += in_flight;
      in_flight = 0;
      written.notify_all();
    }
  }

  // Writes whole entries, in as few writes as the descriptor takes. When it refuses a write, the
  // entry being written is lost and the next is tried; an entry it had taken in part gets its
  // line ended first, so that the next entry does not run on from its remains.
  void write_entries(const char* data, std::size_t size) {
    while (size > 0) {
      if (cut_short) {
        if (write_once(fd, "\n", 1) != 1) {
          skip_entry(data, size);
          continue;
        }
        cut_short = false;
      }
      const ssize_t written = write_once(fd, data, size);
      if (written > 0) {
        mid_entry = data[written - 1] != '\n';
        data += written;
        size -= static_cast<std::size_t>(written);
        continue;
      }
      cut_short = mid_entry;
      mid_entry = false;
      skip_entry(data, size);
    }
  }

  bool drain(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex);
    const std::uint64_t target = queued_total;
    return written.wait_until(lock, deadline, [&] { return written_total >= target; });
  }

  const int fd;
  const std::size_t capacity;
  std::mutex mutex;
  std::condition_variable wake;    // the writer: something to write, or stop
  std::condition_variable written; // drain(): a batch has been written
  std::string queue;               // whole entries, in order
  std::size_t in_flight = 0;       // bytes the writer is writing
  std::size_t dropped = 0;         // entries dropped since the writer last took the queue
  std::uint64_t queued_total = 0;  // bytes ever queued
  std::uint64_t written_total = 0; // bytes ever written or failed
  bool stopping = false;
  bool waiting = false; // the writer waits for entries: the next push wakes it
  // Only the writer thread: the descriptor holds part of an entry (a write took some of it), and
  // one whose rest was then lost.
  bool mid_entry = false;
  bool cut_short = false;
};

LogQueue::LogQueue(int fd, std::size_t capacity)
    : id_(next_queue_id++), capacity_(capacity), shared_(std::make_shared<Shared>(fd, capacity)) {
  std::thread([shared = shared_] { shared->run(); }).detach();
}

LogQueue::~LogQueue() {
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->stopping = true;
  }
  shared_->wake.notify_one();
}

bool LogQueue::drain(std::chrono::steady_clock::time_point deadline) { return shared_->drain(deadline); }

std::string& LogQueue::pending() {
  for (auto& entry : pending_entries)
    if (entry.first == id_)
      return entry.second;
  pending_entries.emplace_back(id_, std::string());
  return pending_entries.back().second;
}

// An unfinished entry that has outgrown the whole queue can never be queued: dropped now.
void LogQueue::bound(std::string& text) {
  if (text.size() <= capacity_)
    return;
  shared_->drop(std::max<std::size_t>(1, count_lines(text.data(), text.size())));
  text.clear();
}

// Queues the thread's finished entries: everything up to and including the last newline.
void LogQueue::queue_finished(std::string& text) {
  const std::size_t end = text.rfind('\n');
  if (end == std::string::npos)
    return; // the entry is not finished yet
  shared_->push(text.data(), end + 1);
  text.erase(0, end + 1);
}

std::streamsize LogQueue::xsputn(const char* data, std::streamsize size) {
  std::string& text = pending();
  text.append(data, static_cast<std::size_t>(size));
  // An entry ends with its newline, flushed or not: a logger that never flushes loses nothing.
  if (std::memchr(data, '\n', static_cast<std::size_t>(size)))
    queue_finished(text);
  bound(text);
  return size; // never a failure: a stream in a failed state would stay silent for good
}

LogQueue::int_type LogQueue::overflow(int_type c) {
  if (traits_type::eq_int_type(c, traits_type::eof()))
    return traits_type::not_eof(c);
  std::string& text = pending();
  text.push_back(traits_type::to_char_type(c));
  if (traits_type::to_char_type(c) == '\n')
    queue_finished(text);
  bound(text);
  return c;
}

int LogQueue::sync() {
  queue_finished(pending());
  return 0;
}

ServiceLog::ServiceLog() {
  const bool shared_sink = same_file(STDOUT_FILENO, STDERR_FILENO);
  out_ = std::make_unique<LogQueue>(STDOUT_FILENO, stdout_capacity);
  if (!shared_sink)
    err_ = std::make_unique<LogQueue>(STDERR_FILENO, stderr_capacity);
  saved_out_ = std::cout.rdbuf(out_.get());
  saved_err_ = std::cerr.rdbuf(err_ ? err_.get() : out_.get());
}

ServiceLog::~ServiceLog() {
  drain(exit_drain_limit);
  std::cerr.rdbuf(saved_err_);
  std::cout.rdbuf(saved_out_);
}

bool ServiceLog::drain(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  // This thread's finished entries are queued at a flush.
  std::cout.flush();
  std::cerr.flush();
  bool done = !err_ || err_->drain(deadline);
  return out_->drain(deadline) && done;
}

} // namespace korva
