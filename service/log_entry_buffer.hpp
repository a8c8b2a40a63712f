#pragma once
// The stream buffer under std::cout and std::cerr that hands the log over in whole entries.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <streambuf>

namespace korva {

// What each thread writes is collected apart from the other threads (a Logger may hand its entry
// over in pieces, and pieces of different threads must not mix) and handed on up to and including
// its last newline, which the Logger puts at the end of each entry. A flush alone ends nothing
// (std::cerr flushes after every piece). Any thread; the std::ostream above the buffer is not
// made thread-safe by this (the Logger serialises its own use of the stream).
class LogEntryBuffer : public std::streambuf {
public:
  // Takes `entries` whole entries, `size` bytes at `data`; or, with `data` null, one entry that
  // was dropped because its unfinished part alone grew beyond `longest` bytes (its rest is
  // dropped with it).
  using Push = std::function<void(const char* data, std::size_t size, std::uint64_t entries)>;

  LogEntryBuffer(Push push, std::size_t longest);

protected:
  std::streamsize xsputn(const char* data, std::streamsize count) override;
  int_type overflow(int_type c) override;

private:
  void push_whole(const char* data, std::size_t size);

  const Push push_;
  const std::size_t longest_;
  const std::uint64_t id_; // names this buffer's entries in each thread's list of unfinished ones
};

} // namespace korva
