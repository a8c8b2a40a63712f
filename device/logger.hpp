#pragma once
// One Logger object is one log entry: the pieces inserted with << are collected, and the
// destructor writes them, followed by one newline, to the stream in a single write and flushes
// it. Entries from different threads therefore never interleave within a line.

#include <ostream>
#include <sstream>
#include <string>

class Logger {
public:
  explicit Logger(std::ostream& stream);
  ~Logger();

  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  Logger& operator<<(const char* text);
  Logger& operator<<(const std::string& text);
  Logger& operator<<(int value);
  Logger& operator<<(unsigned long value);
  Logger& operator<<(const void* pointer);

private:
  std::ostream& stream_;
  std::ostringstream entry_;
};
