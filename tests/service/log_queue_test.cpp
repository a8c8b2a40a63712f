// The log queue between the service's threads and its standard output and error: entries stay
// whole and in order however they are written, a sink that does not move costs entries, counted,
// instead of holding up the threads that log, and the end of the log gets its last words out.

#include "service/log_queue.hpp"
#include "tests/support/process.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <future>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// A pipe whose read end a thread of its own reads to the end, once started.
class PipeSink {
public:
  PipeSink() {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0)
      ADD_FAILURE() << "pipe2 failed";
    read_end = ends[0];
    write_end = ends[1];
  }
  // Reads what is left, so that a write still in progress ends.
  ~PipeSink() {
    read_all();
    close(read_end);
  }
  void start_reading() {
    if (reader.joinable())
      return;
    reader = std::thread([this] {
      char buffer[4096];
      ssize_t got;
      while ((got = read(read_end, buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<std::size_t>(got));
    });
  }
  // Everything written, once the queue no longer uses the write end.
  std::string read_all() {
    start_reading();
    close_write_end();
    reader.join();
    return text;
  }
  void close_write_end() {
    if (write_end >= 0)
      close(write_end);
    write_end = -1;
  }

  int read_end = -1, write_end = -1;
  std::thread reader;
  std::string text;
};

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);)
    lines.push_back(line);
  return lines;
}

// Runs `work` on a thread of its own and waits for it to end: a call that waited for a sink that
// nobody reads would never end. The time bound is only a safety net: past it, `rescue` reads the
// sink so that the call can end, and the result is false.
bool ends(const std::function<void()>& work, const std::function<void()>& rescue) {
  std::promise<void> ended;
  auto done = ended.get_future();
  std::thread runner([&] {
    work();
    ended.set_value();
  });
  const bool in_time = done.wait_for(30s) == std::future_status::ready;
  if (!in_time)
    rescue();
  runner.join();
  return in_time;
}

// Adds the entries of `lines` to `next`, the index of the entry expected next ("entry N ..."),
// counting each "Server: Log full" entry as the entries it stands for (and adding them to
// `counted`). False at a line that is neither the next entry whole nor such a count.
bool follow_entries(const std::vector<std::string>& lines, int& next, int& counted) {
  const std::string notice = "Server: Log full, entries dropped: ";
  for (const std::string& line : lines) {
    if (line.compare(0, notice.size(), notice) == 0) {
      counted += std::stoi(line.substr(notice.size()));
      next += std::stoi(line.substr(notice.size()));
    } else if (line == "entry " + std::to_string(next) + " " + std::string(90, '.')) {
      ++next;
    } else {
      ADD_FAILURE() << "entry " << next << " expected, not: " << line.substr(0, 200);
      return false;
    }
  }
  return true;
}

using Sink = korva::LogQueue::Sink;

// A device Logger may write its entry in pieces; std::cerr flushes after every piece. Four threads
// do so at once, two on each descriptor: every entry still comes out whole, on its own descriptor,
// and each thread's entries in their order.
TEST(LogQueue, EntriesWrittenInPiecesByManyThreadsStayWholeAndInOrder) {
  PipeSink sinks[2];
  sinks[0].start_reading();
  sinks[1].start_reading();
  auto queue =
      std::make_unique<korva::LogQueue>(Sink{sinks[0].write_end, 1024 * 1024}, Sink{sinks[1].write_end, 1024 * 1024});
  constexpr int threads = 4, entries = 2000;
  std::vector<std::thread> writers;
  for (int t = 0; t < threads; ++t)
    writers.emplace_back([&queue, t] {
      std::ostream out(t % 2 == 0 ? &queue->out() : &queue->err()); // a stream per thread
      out.setf(std::ios::unitbuf);
      for (int i = 0; i < entries; ++i)
        out << "thread " << t << " entry " << i << " of " << entries << '\n';
    });
  for (auto& writer : writers)
    writer.join();
  EXPECT_TRUE(queue->drain(Clock::now() + 10s));
  queue.reset();

  std::vector<int> next(threads, 0);
  for (int s = 0; s < 2; ++s)
    for (const std::string& line : lines_of(sinks[s].read_all())) {
      int t = -1, i = -1, of = -1;
      ASSERT_EQ(std::sscanf(line.c_str(), "thread %d entry %d of %d", &t, &i, &of), 3) << line;
      ASSERT_EQ(line, "thread " + std::to_string(t) + " entry " + std::to_string(i) + " of " + std::to_string(entries));
      ASSERT_TRUE(t >= 0 && t < threads && t % 2 == s) << "on descriptor " << s << ": " << line;
      EXPECT_EQ(i, next[t]++) << line;
    }
  for (int t = 0; t < threads; ++t)
    EXPECT_EQ(next[t], entries) << "thread " << t;
}

// Nobody reads the sink: entries beyond the bound are dropped and counted while the thread that
// logs goes on, and the count is written where the entries are missing once the sink moves again.
// An entry that outgrows the whole queue while it is written in pieces is dropped whole. Draining
// waits only as long as it is allowed to, and for the count of what was dropped.
TEST(LogQueue, AFullQueueDropsAndCountsEntriesAndSaysSoWhenTheSinkMovesAgain) {
  PipeSink sink, unused;
  ASSERT_GT(fcntl(sink.write_end, F_SETPIPE_SZ, 4096), 0);
  auto queue = std::make_unique<korva::LogQueue>(Sink{sink.write_end, 8 * 1024}, Sink{unused.write_end, 1024});
  std::ostream out(&queue->out());
  constexpr int entries = 1000;
  ASSERT_TRUE(ends(
      [&] {
        for (int i = 0; i < entries; ++i)
          out << "entry " << i << ' ' << std::string(90, '.') << std::endl;
      },
      [&] { sink.start_reading(); }))
      << "the thread that logs waited for the sink";
  EXPECT_TRUE(out.good());
  bool drained = true;
  ASSERT_TRUE(ends([&] { drained = queue->drain(Clock::now()); }, [&] { sink.start_reading(); }))
      << "drain() waited past its deadline";
  EXPECT_FALSE(drained);
  out << "entry " << entries << ' ';
  for (int piece = 0; piece < 100; ++piece)
    out << std::string(100, 'x') << std::flush;
  out << " its end" << std::endl;

  // Draining waits for the count of what was dropped too: "after" must not find the queue still
  // dropping.
  sink.start_reading();
  EXPECT_TRUE(queue->drain(Clock::now() + 10s));
  out << "after" << std::endl;
  EXPECT_TRUE(queue->drain(Clock::now() + 10s));
  const std::uint64_t dropped = queue->dropped();
  queue.reset();

  auto lines = lines_of(sink.read_all());
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "after");
  lines.pop_back();
  int next = 0, counted = 0;
  EXPECT_TRUE(follow_entries(lines, next, counted));
  EXPECT_EQ(next, entries + 1) << "entries written and entries counted as dropped";
  EXPECT_GT(counted, 0);
  EXPECT_EQ(dropped, static_cast<std::uint64_t>(counted)) << "dropped() and the \"Log full\" entries disagree";
}

// The log ends while standard output takes nothing and standard error's queue is full: the count
// of the entries that were not written and the last words still come out, straight on standard
// error, and nothing logged afterwards is written.
TEST(LogQueue, FinishGetsTheCountAndTheLastWordsOutWhateverTheQueueHolds) {
  PipeSink out_sink, err_sink;
  ASSERT_GT(fcntl(out_sink.write_end, F_SETPIPE_SZ, 4096), 0);
  err_sink.start_reading();
  auto queue = std::make_unique<korva::LogQueue>(Sink{out_sink.write_end, 8 * 1024}, Sink{err_sink.write_end, 1024});
  std::ostream out(&queue->out()), err(&queue->err());
  constexpr int out_entries = 1000, err_entries = 100;
  // Far more than the pipe and the queue hold: the writer is held in a write to standard output
  // before it comes to any of standard error's entries.
  for (int i = 0; i < out_entries; ++i)
    out << "entry " << i << ' ' << std::string(90, '.') << std::endl;
  for (int i = 0; i < err_entries; ++i)
    err << "error " << i << ' ' << std::string(50, '.') << std::endl;

  bool complete = true;
  ASSERT_TRUE(ends([&] { complete = queue->finish(Clock::now() + 100ms, "korva-server: the last words"); },
                   [&] { out_sink.start_reading(); }))
      << "finish() waited for the sink";
  EXPECT_FALSE(complete);
  out << "after the end" << std::endl;
  err << "after the end" << std::endl;
  queue.reset();
  out_sink.start_reading(); // the writer lets go of both descriptors once its write is done

  const std::string notice = "Server: Log full, entries dropped: ";
  const auto err_lines = lines_of(err_sink.read_all());
  ASSERT_EQ(err_lines.size(), 2u);
  ASSERT_EQ(err_lines[0].compare(0, notice.size(), notice), 0) << err_lines[0];
  EXPECT_EQ(err_lines[1], "korva-server: the last words");
  const int lost = std::stoi(err_lines[0].substr(notice.size()));
  // What the writer was writing when it stopped comes out now, and may have been counted too.
  int next = 0, counted = 0;
  EXPECT_TRUE(follow_entries(lines_of(out_sink.read_all()), next, counted));
  EXPECT_GE(next + lost, out_entries + err_entries) << "entries lost without being counted";
  EXPECT_LE(lost, out_entries + err_entries);
}

// One descriptor for both: the log ends while the writer is held in the middle of a long batch,
// and its last words still come after whole entries, last.
TEST(LogQueue, FinishWritesItsLastWordsBetweenTheWritersWrites) {
  PipeSink sink;
  ASSERT_GT(fcntl(sink.write_end, F_SETPIPE_SZ, 4096), 0);
  auto queue = std::make_unique<korva::LogQueue>(Sink{sink.write_end, 1024 * 1024}, Sink{sink.write_end, 1024 * 1024});
  std::string batch;
  for (int i = 0; i < 5000; ++i)
    batch += "entry " + std::to_string(i) + " " + std::string(90, '.') + "\n";
  std::ostream out(&queue->out());
  out << batch << std::flush; // one batch for the writer
  ASSERT_TRUE(korva_test::eventually([&] {
    pollfd room{sink.write_end, POLLOUT, 0};
    return poll(&room, 1, 0) == 0;
  }));
  std::thread end([&] { queue->finish(Clock::now(), "korva-server: the last words"); });
  sink.start_reading();
  end.join();
  queue.reset();

  auto lines = lines_of(sink.read_all());
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines.back(), "korva-server: the last words");
  lines.pop_back();
  int next = 0, counted = 0;
  EXPECT_TRUE(follow_entries(lines, next, counted));
}

} // namespace
