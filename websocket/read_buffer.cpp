#include "websocket/read_buffer.hpp"

#include <cstring>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace KorvaWeb {

namespace {
// One chunk per thread that nobody holds: reads on one thread happen one at a time, so the chunk
// that a connection gives back while it waits is the one the next connection reads into.
thread_local std::unique_ptr<unsigned char[]> spare_chunk;
} // namespace

unsigned char* ReadBuffer::prepare(std::size_t count, std::size_t& room) {
  const std::size_t held = size();
  if (capacity_ - end_ < count) {
    if (capacity_ - held >= count && storage_) {
      std::memmove(storage_.get(), storage_.get() + begin_, held);
    } else {
      std::size_t wanted = held + count;
      replace_storage(wanted > chunk_size ? wanted : chunk_size);
    }
    begin_ = 0;
    end_ = held;
  }
  room = capacity_ - end_;
  return storage_.get() + end_;
}

void ReadBuffer::consume(std::size_t count) noexcept {
  begin_ += count;
  if (begin_ == end_)
    begin_ = end_ = 0;
}

void ReadBuffer::release_unused(std::size_t more) noexcept {
  if (!storage_)
    return;
  if (size() == 0) {
    if (capacity_ == chunk_size && !spare_chunk)
      spare_chunk = std::move(storage_);
    storage_.reset();
    capacity_ = begin_ = end_ = 0;
    return;
  }
  if (capacity_ > chunk_size && more <= chunk_size && size() <= chunk_size - more) {
    try {
      replace_storage(chunk_size);
    } catch (...) {
      // Keeping the big storage is fine: it goes with the next frame or the connection.
    }
  }
}

void ReadBuffer::shrink_to_unread() noexcept {
  if (size() == 0 || capacity_ == size()) {
    release_unused();
    return;
  }
  try {
    replace_storage(size());
  } catch (...) {
    // Keeping the storage is fine: it goes when the reader goes on.
  }
}

// Copies the held bytes into new storage of `capacity` bytes (the spare chunk when that fits).
void ReadBuffer::replace_storage(std::size_t capacity) {
  std::unique_ptr<unsigned char[]> fresh;
  if (capacity == chunk_size && spare_chunk)
    fresh = std::move(spare_chunk);
  else
    fresh.reset(new unsigned char[capacity]); // not zeroed: every byte is read into before use
  const std::size_t held = size();
  if (held)
    std::memcpy(fresh.get(), storage_.get() + begin_, held);
  storage_ = std::move(fresh);
  capacity_ = capacity;
  begin_ = 0;
  end_ = held;
}

void return_freed_memory() noexcept {
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}

} // namespace KorvaWeb
