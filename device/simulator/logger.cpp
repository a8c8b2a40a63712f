#include "device/logger.hpp"

#include <mutex>

namespace {
// Entries may go to the same stream from many threads; the stream itself is not thread-safe,
// so each entry's write and flush happen under this lock.
std::mutex g_write_mutex;
}  // namespace

Logger::Logger(std::ostream& stream) : stream_(stream) {}

Logger::~Logger() {
  try {
    entry_ << '\n';
    const std::string text = entry_.str();
    std::lock_guard<std::mutex> lock(g_write_mutex);
    stream_.write(text.data(), static_cast<std::streamsize>(text.size()));
    stream_.flush();
  } catch (...) {
    // A log entry that cannot be written is dropped.
  }
}

Logger& Logger::operator<<(const char* text) {
  entry_ << (text != nullptr ? text : "(null)");
  return *this;
}

Logger& Logger::operator<<(const std::string& text) {
  entry_ << text;
  return *this;
}

Logger& Logger::operator<<(int value) {
  entry_ << value;
  return *this;
}

Logger& Logger::operator<<(unsigned long value) {
  entry_ << value;
  return *this;
}

Logger& Logger::operator<<(const void* pointer) {
  entry_ << pointer;
  return *this;
}
