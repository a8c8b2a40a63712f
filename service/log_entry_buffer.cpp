#include "service/log_entry_buffer.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace korva {

namespace {

// A thread's unfinished entry for one buffer.
struct Unfinished {
  std::uint64_t buffer;
  std::string text;
  bool skipping; // the entry outgrew `longest` and was dropped: its rest goes too
};

std::atomic<std::uint64_t> next_buffer_id{1};
thread_local std::vector<Unfinished> unfinished_entries; // usually one or two

Unfinished& unfinished_of(std::uint64_t buffer) {
  for (auto& entry : unfinished_entries)
    if (entry.buffer == buffer)
      return entry;
  unfinished_entries.push_back({buffer, {}, false});
  return unfinished_entries.back();
}

// The length of the whole entries at the start of `data`: up to its last newline.
std::size_t whole_entries(const char* data, std::size_t size) {
  const void* last = ::memrchr(data, '\n', size);
  return last ? static_cast<std::size_t>(static_cast<const char*>(last) - data) + 1 : 0;
}

} // namespace

LogEntryBuffer::LogEntryBuffer(Push push, std::size_t longest)
    : push_(std::move(push)), longest_(longest), id_(next_buffer_id++) {}

std::streamsize LogEntryBuffer::xsputn(const char* data, std::streamsize count) {
  auto size = static_cast<std::size_t>(count);
  Unfinished& entry = unfinished_of(id_);
  if (entry.skipping) {
    const void* newline = std::memchr(data, '\n', size);
    if (!newline)
      return count;
    entry.skipping = false;
    size -= static_cast<std::size_t>(static_cast<const char*>(newline) + 1 - data);
    data = static_cast<const char*>(newline) + 1;
  }
  if (entry.text.empty()) { // the usual case, whole entries: handed on from the caller's bytes
    const std::size_t whole = whole_entries(data, size);
    push_whole(data, whole);
    entry.text.assign(data + whole, size - whole);
  } else {
    entry.text.append(data, size);
    const std::size_t whole = whole_entries(entry.text.data(), entry.text.size());
    push_whole(entry.text.data(), whole);
    entry.text.erase(0, whole);
  }
  if (entry.text.size() > longest_) {
    push_(nullptr, 0, 1);
    entry.text.clear();
    entry.skipping = true;
  }
  return count; // never a failure: a stream in a failed state would stay silent for good
}

LogEntryBuffer::int_type LogEntryBuffer::overflow(int_type c) {
  if (!traits_type::eq_int_type(c, traits_type::eof())) {
    const char byte = traits_type::to_char_type(c);
    xsputn(&byte, 1);
  }
  return traits_type::not_eof(c);
}

void LogEntryBuffer::push_whole(const char* data, std::size_t size) {
  if (size > 0)
    push_(data, size, static_cast<std::uint64_t>(std::count(data, data + size, '\n')));
}

} // namespace korva
