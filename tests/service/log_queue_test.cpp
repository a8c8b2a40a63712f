// The log queue between the service's threads and its standard output: entries stay whole and in
// order however they are written, and a sink that does not move costs entries, counted, instead
// of holding up the threads that log.

#include "service/log_queue.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
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
  ~PipeSink() {
    close_write_end();
    if (reader.joinable())
      reader.join();
    close(read_end);
  }
  void start_reading() {
    reader = std::thread([this] {
      char buffer[4096];
      ssize_t got;
      while ((got = read(read_end, buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<std::size_t>(got));
    });
  }
  // Everything written, once the queue no longer uses the write end.
  std::string read_all() {
    close_write_end();
    if (reader.joinable())
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

// A device Logger may write its entry in pieces; std::cerr flushes after every piece. Four threads
// do so at once: every entry still comes out whole, and each thread's entries in their order.
TEST(LogQueue, EntriesWrittenInPiecesByManyThreadsStayWholeAndInOrder) {
  PipeSink sink;
  sink.start_reading();
  auto queue = std::make_unique<korva::LogQueue>(sink.write_end, 1024 * 1024);
  constexpr int threads = 4, entries = 2000;
  std::vector<std::thread> writers;
  for (int t = 0; t < threads; ++t)
    writers.emplace_back([&queue, t] {
      std::ostream out(queue.get()); // a stream per thread, over the one buffer
      out.setf(std::ios::unitbuf);
      for (int i = 0; i < entries; ++i)
        out << "thread " << t << " entry " << i << " of " << entries << '\n';
    });
  for (auto& writer : writers)
    writer.join();
  EXPECT_TRUE(queue->drain(Clock::now() + 10s));
  queue.reset();

  std::vector<int> next(threads, 0);
  for (const std::string& line : lines_of(sink.read_all())) {
    int t = -1, i = -1, of = -1;
    ASSERT_EQ(std::sscanf(line.c_str(), "thread %d entry %d of %d", &t, &i, &of), 3) << line;
    ASSERT_EQ(line, "thread " + std::to_string(t) + " entry " + std::to_string(i) + " of " + std::to_string(entries));
    ASSERT_TRUE(t >= 0 && t < threads) << line;
    EXPECT_EQ(i, next[t]++) << line;
  }
  for (int t = 0; t < threads; ++t)
    EXPECT_EQ(next[t], entries) << "thread " << t;
}

// Nobody reads the sink: entries beyond the bound are dropped and counted while the thread that
// logs goes on at once, and the count is written where the entries are missing once the sink
// moves again. Draining waits only as long as it is allowed to.
TEST(LogQueue, AFullQueueDropsAndCountsEntriesAndSaysSoWhenTheSinkMovesAgain) {
  PipeSink sink;
  ASSERT_GT(fcntl(sink.write_end, F_SETPIPE_SZ, 4096), 0);
  auto queue = std::make_unique<korva::LogQueue>(sink.write_end, 8 * 1024);
  std::ostream out(queue.get());
  constexpr int entries = 1000;
  const auto start = Clock::now();
  for (int i = 0; i < entries; ++i)
    out << "entry " << i << ' ' << std::string(90, '.') << std::endl;
  EXPECT_LT(Clock::now() - start, 2s) << "the thread that logs waited for the sink";
  EXPECT_TRUE(out.good());
  const auto drain_start = Clock::now();
  EXPECT_FALSE(queue->drain(Clock::now() + 100ms));
  EXPECT_LT(Clock::now() - drain_start, 2s);

  sink.start_reading();
  EXPECT_TRUE(queue->drain(Clock::now() + 10s));
  out << "after" << std::endl;
  EXPECT_TRUE(queue->drain(Clock::now() + 10s));
  queue.reset();

  const std::string notice = "Server: Log full, entries dropped: ";
  int next = 0, notices = 0;
  const auto lines = lines_of(sink.read_all());
  ASSERT_FALSE(lines.empty());
  for (std::size_t at = 0; at + 1 < lines.size(); ++at) {
    const std::string& line = lines[at];
    if (line.compare(0, notice.size(), notice) == 0) {
      ++notices;
      next += std::stoi(line.substr(notice.size()));
      continue;
    }
    EXPECT_EQ(line, "entry " + std::to_string(next) + " " + std::string(90, '.'));
    ++next;
  }
  EXPECT_EQ(next, entries) << "entries written and entries counted as dropped";
  EXPECT_GE(notices, 1);
  EXPECT_EQ(lines.back(), "after");
}

} // namespace
