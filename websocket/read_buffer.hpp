#pragma once
// The bytes a connection has read and not yet taken: the rest of a request head, then frames.
//
// The socket is read in chunks of up to `chunk_size` bytes (more when one frame needs more), and
// frames are taken from the front. A connection that has taken every byte holds no storage: while
// it waits for the next bytes, its chunk goes back to a spare kept per thread, which the next read
// on that thread takes, so that a thousand idle connections hold no read buffers at all and a busy
// one does not allocate per message. Storage grown for one big frame is given back once the frame
// has been taken.
//
// Not thread-safe: one connection's reader uses it, one step at a time.

#include <cstddef>
#include <memory>

namespace KorvaWeb {

class ReadBuffer {
public:
  static constexpr std::size_t chunk_size = 16 * 1024;

  ReadBuffer() = default;
  ReadBuffer(const ReadBuffer&) = delete;
  ReadBuffer& operator=(const ReadBuffer&) = delete;

  const unsigned char* data() const noexcept { return storage_.get() + begin_; }
  unsigned char* data() noexcept { return storage_.get() + begin_; }
  std::size_t size() const noexcept { return end_ - begin_; }
  std::size_t capacity() const noexcept { return capacity_; }

  // Room for at least `count` more bytes behind the data: moves the data to the front or grows the
  // storage (to a chunk at least). Returns the start of all the free room and its size through
  // `room`.
  unsigned char* prepare(std::size_t count, std::size_t& room);
  // `count` bytes have been written into the room that prepare() gave.
  void commit(std::size_t count) noexcept { end_ += count; }
  // Takes `count` bytes from the front.
  void consume(std::size_t count) noexcept;

  // Called while nothing is read (the reader waits for the client, or has stopped): gives the
  // storage back when every byte has been taken (a chunk to this thread's spare, anything bigger
  // to the allocator); otherwise keeps it, but moves the bytes left in storage grown for a big
  // request head into a chunk when they and the `more` bytes still expected fit one.
  void release_unused(std::size_t more = 0) noexcept;
  // Called while the reader is held back (the client's queue is above its high-water mark): the
  // storage shrinks to exactly the bytes not yet taken, whatever their number.
  void shrink_to_unread() noexcept;

private:
  void replace_storage(std::size_t capacity);

  std::unique_ptr<unsigned char[]> storage_;
  std::size_t capacity_ = 0;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
};

// Returns memory that the allocator holds but nobody uses to the system (glibc's malloc_trim);
// elsewhere it does nothing. Costs a walk over the allocator's free lists: for after big releases.
void return_freed_memory() noexcept;

} // namespace KorvaWeb
