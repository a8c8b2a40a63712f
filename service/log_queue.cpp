#include "service/log_queue.hpp"

#include "service/log_entry_buffer.hpp"
#include "service/log_sink.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <iostream>
#include <mutex>
#include <thread>

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

} // namespace

// The queue, shared by the stream buffers, the owner and the writer thread. The thread holds it
// too: once stopped it ends on its own, and one stuck in a write keeps what it uses.
struct LogQueue::Core {
  struct Target {
    Target(Sink given) : sink(given.fd), capacity(given.capacity) {}
    LogSink sink;
    const std::size_t capacity;
    std::string queue;         // whole entries, in order
    std::uint64_t dropped = 0; // entries dropped since the writer last took the queue
    std::size_t writing = 0;   // bytes of the batch the writer has taken
  };

  Core(Sink out, Sink err) : targets{out, err}, shared(out.fd == err.fd) {}

  Target& target_of(int channel) { return targets[shared ? 0 : channel]; }

  // Queues `size` bytes holding `entries` whole entries, or counts them dropped when they do not
  // fit (or `data` is null).
  void push(int channel, const char* data, std::size_t size, std::uint64_t entries) {
    std::unique_lock<std::mutex> lock(mutex);
    Target& target = target_of(channel);
    if (closed || entries == 0)
      return;
    logged += entries;
    if (!data || target.dropped > 0 || target.queue.size() + target.writing + size > target.capacity) {
      target.dropped += entries;
      dropped += entries;
    } else {
      target.queue.append(data, size);
    }
    if (writer_waits) { // only a writer that has run out of entries is woken, and once
      writer_waits = false;
      lock.unlock();
      wake.notify_one();
    }
  }

  // The writer thread: takes both queues whole, writes them outside the lock, and again. The
  // count of the entries dropped goes after the entries that came before them.
  void run() {
    std::string batch[2];
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      // What comes within gather_time of a write waits for the next one unannounced: a busy
      // service wakes nobody and writes many entries at once (woken for every entry instead, the
      // writer costs the service noticeably more CPU per request; measured in docs/performance.md).
      // After a quiet gather_time the next entry wakes the writer, which writes it at once.
      wake.wait_for(lock, gather_time, [this] { return stopping.load(); });
      while (!stopping && logged == taken) {
        writer_waits = true;
        wake.wait(lock);
      }
      writer_waits = false;
      if (stopping)
        return;
      taken = logged;
      for (int t = 0; t < 2; ++t) {
        batch[t].swap(targets[t].queue);
        if (targets[t].dropped > 0)
          batch[t] += dropped_notice(targets[t].dropped);
        targets[t].dropped = 0;
        targets[t].writing = batch[t].size();
      }
      lock.unlock();
      targets[0].sink.write_entries(batch[0], stopping);
      targets[1].sink.write_entries(batch[1], stopping);
      lock.lock();
      if (stopping)
        return;
      for (int t = 0; t < 2; ++t) {
        targets[t].writing = 0;
        if (batch[t].capacity() > kept_buffer)
          std::string().swap(batch[t]);
        batch[t].clear();
      }
      done = taken; // only the writer changes it
      written.notify_all();
    }
  }

  bool drain(Clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex);
    const std::uint64_t until = logged;
    written.wait_until(lock, deadline, [&] { return done >= until || stopping; });
    return done >= until;
  }

  bool finish(Clock::time_point deadline, const std::string& last_words) {
    std::lock_guard<std::mutex> one_at_a_time(finish_mutex);
    std::string text;
    {
      std::unique_lock<std::mutex> lock(mutex);
      if (!closed) {
        closed = true;
        written.wait_until(lock, deadline, [this] { return done == logged; });
        complete = done == logged;
        if (!complete) // the entries of a write still in progress may yet come out, and count too
          text = dropped_notice(logged - done);
      }
      stopping = true;
    }
    wake.notify_one();
    if (!last_words.empty())
      text += last_words + "\n";
    target_of(1).sink.write_direct(std::move(text), Clock::now() + direct_write_limit);
    return complete;
  }

  Target targets[2];
  const bool shared; // one descriptor: both channels write into targets[0]
  std::mutex mutex;
  std::condition_variable wake;    // the writer: entries to write, or stop
  std::condition_variable written; // drain(), finish(): a batch has been written
  // Entries since the start: logged (queued or dropped), taken by the writer, and done (written,
  // failed, or counted in a "Log full" entry that was written).
  std::uint64_t logged = 0, taken = 0, done = 0;
  std::atomic<std::uint64_t> dropped{0}; // for want of room
  bool writer_waits = false;
  bool closed = false;               // finish() has begun: later entries are not queued
  std::atomic<bool> stopping{false}; // set under `mutex`; the writer reads it between writes
  std::mutex finish_mutex;
  bool complete = true; // under finish_mutex: what the first finish() returned
};

LogQueue::LogQueue(Sink out, Sink err) : core_(std::make_shared<Core>(out, err)) {
  Core* core = core_.get();
  out_ = std::make_unique<LogEntryBuffer>(
      [core](const char* data, std::size_t size, std::uint64_t entries) { core->push(0, data, size, entries); },
      core->target_of(0).capacity);
  err_ = std::make_unique<LogEntryBuffer>(
      [core](const char* data, std::size_t size, std::uint64_t entries) { core->push(1, data, size, entries); },
      core->target_of(1).capacity);
  std::thread([core = core_] { core->run(); }).detach();
}

LogQueue::~LogQueue() { core_->finish(Clock::now(), {}); }

std::streambuf& LogQueue::out() { return *out_; }
std::streambuf& LogQueue::err() { return *err_; }
bool LogQueue::drain(Clock::time_point deadline) { return core_->drain(deadline); }
bool LogQueue::finish(Clock::time_point deadline, const std::string& last_words) {
  return core_->finish(deadline, last_words);
}
std::uint64_t LogQueue::dropped() const noexcept { return core_->dropped.load(std::memory_order_relaxed); }

ServiceLog::ServiceLog() {
  struct stat out {}, err {};
  const bool same_file = ::fstat(STDOUT_FILENO, &out) == 0 && ::fstat(STDERR_FILENO, &err) == 0 &&
                         out.st_dev == err.st_dev && out.st_ino == err.st_ino;
  queue_ = std::make_unique<LogQueue>(LogQueue::Sink{STDOUT_FILENO, stdout_capacity},
                                      LogQueue::Sink{same_file ? STDOUT_FILENO : STDERR_FILENO, stderr_capacity});
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

std::uint64_t ServiceLog::dropped() const noexcept { return queue_->dropped(); }

} // namespace korva
