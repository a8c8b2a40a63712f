// Logger: the text of an entry, one write and one flush per entry, no interleaving between
// threads, and a destructor that survives a failing stream.

#include "device/logger.hpp"

#include <climits>
#include <cstdio>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

// A stream buffer that records each write call and each flush.
class RecordingBuffer : public std::streambuf {
public:
  std::vector<std::string> writes;
  int flushes = 0;

protected:
  std::streamsize xsputn(const char* data, std::streamsize size) override {
    writes.emplace_back(data, static_cast<std::size_t>(size));
    return size;
  }
  int_type overflow(int_type c) override {
    if (c != traits_type::eof()) writes.emplace_back(1, traits_type::to_char_type(c));
    return traits_type::not_eof(c);
  }
  int sync() override {
    ++flushes;
    return 0;
  }
};

// A stream buffer that refuses everything.
class FailingBuffer : public std::streambuf {
protected:
  std::streamsize xsputn(const char*, std::streamsize) override { return 0; }
  int_type overflow(int_type) override { return traits_type::eof(); }
  int sync() override { return -1; }
};

std::string standardText(const void* pointer) {
  std::ostringstream text;
  text << pointer;
  return text.str();
}

TEST(Logger, WritesTheEntryAndANewlineInOneWriteThenFlushes) {
  RecordingBuffer buffer;
  std::ostream stream(&buffer);
  int object = 0;
  const void* pointer = &object;
  {
    Logger entry(stream);
    entry << "client " << std::string("10.0.0.7") << " port " << 8080 << " sent "
          << ULONG_MAX << " bytes at " << pointer;
    EXPECT_TRUE(buffer.writes.empty());  // nothing is written before the entry ends
  }
  ASSERT_EQ(buffer.writes.size(), 1U);
  EXPECT_EQ(buffer.writes[0],
            "client 10.0.0.7 port 8080 sent " + std::to_string(ULONG_MAX) + " bytes at " +
                standardText(pointer) + "\n");
  EXPECT_EQ(buffer.flushes, 1);
}

TEST(Logger, FormatsNumbersAndPointersAsTheStandardStreamDoes) {
  std::ostringstream stream;
  int object = 0;
  const void* pointer = &object;
  Logger(stream) << INT_MIN << " " << -1 << " " << 0 << " " << 0UL << " " << 123456789UL;
  Logger(stream) << pointer << " " << static_cast<const void*>(nullptr);
  Logger(stream) << "" << std::string();
  Logger(stream) << static_cast<const char*>(nullptr);
  std::ostringstream expected;
  expected << INT_MIN << " -1 0 0 123456789\n"
           << pointer << " " << static_cast<const void*>(nullptr) << "\n"
           << "\n"
           << "(null)\n";
  EXPECT_EQ(stream.str(), expected.str());
  EXPECT_EQ(standardText(pointer).rfind("0x", 0), 0U);  // no prefix, lowercase hex pointer
}

TEST(Logger, TheDestructorSurvivesAFailingStream) {
  FailingBuffer buffer;
  std::ostream stream(&buffer);
  stream.exceptions(std::ios::badbit | std::ios::failbit);
  EXPECT_NO_THROW({ Logger(stream) << "lost"; });
  stream.exceptions(std::ios::goodbit);
  stream.setstate(std::ios::badbit);
  EXPECT_NO_THROW({ Logger(stream) << "lost too"; });
}

TEST(Logger, EntriesFromManyThreadsStayWholeLines) {
  constexpr int kThreads = 4;
  constexpr int kEntries = 1000;
  std::ostringstream stream;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&stream, t] {
      for (int i = 0; i < kEntries; ++i) {
        Logger(stream) << "thread " << t << " entry " << static_cast<unsigned long>(i)
                       << " padding " << std::string(static_cast<std::size_t>(i % 97), '.')
                       << " end";
      }
    });
  }
  for (auto& thread : threads) thread.join();

  std::vector<std::vector<bool>> seen(kThreads, std::vector<bool>(kEntries, false));
  std::istringstream lines(stream.str());
  std::string line;
  int count = 0;
  while (std::getline(lines, line)) {
    ++count;
    int t = -1;
    int i = -1;
    ASSERT_EQ(std::sscanf(line.c_str(), "thread %d entry %d", &t, &i), 2) << line;
    ASSERT_TRUE(t >= 0 && t < kThreads && i >= 0 && i < kEntries) << line;
    const std::string expected = "thread " + std::to_string(t) + " entry " + std::to_string(i) +
                                 " padding " + std::string(static_cast<std::size_t>(i % 97), '.') +
                                 " end";
    ASSERT_EQ(line, expected);
    EXPECT_FALSE(seen[t][i]) << "twice: " << line;
    seen[t][i] = true;
  }
  EXPECT_EQ(count, kThreads * kEntries);
  EXPECT_EQ(stream.str().back(), '\n');
}

}  // namespace
