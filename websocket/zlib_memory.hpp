#pragma once
// What zlib allocates for one stream, counted: the stream's zalloc and zfree keep the bytes they
// hand out in a count owned beside the stream, so that what compression holds can be reported and
// counted against the memory budget. Each block carries its size in front of it.

#include <zlib.h>

#include <cstddef>
#include <cstdlib>
#include <limits>

namespace KorvaWeb {
namespace zlib_memory {

// Keeps the block behind it aligned for anything zlib stores.
constexpr std::size_t block_head = alignof(std::max_align_t) > sizeof(std::size_t) ? alignof(std::max_align_t)
                                                                                   : sizeof(std::size_t);

inline voidpf allocate(voidpf count, uInt items, uInt size) {
  if (size != 0 && items > (std::numeric_limits<std::size_t>::max() - block_head) / size)
    return Z_NULL;
  const std::size_t bytes = static_cast<std::size_t>(items) * size;
  auto* block = static_cast<unsigned char*>(std::malloc(block_head + bytes));
  if (!block)
    return Z_NULL;
  *reinterpret_cast<std::size_t*>(block) = bytes;
  *static_cast<std::size_t*>(count) += bytes;
  return block + block_head;
}

inline void release(voidpf count, voidpf address) {
  if (!address)
    return;
  auto* block = static_cast<unsigned char*>(address) - block_head;
  *static_cast<std::size_t*>(count) -= *reinterpret_cast<std::size_t*>(block);
  std::free(block);
}

// Before the stream's init: its allocations count into `count`, which must outlive the stream.
inline void count_into(z_stream& stream, std::size_t& count) noexcept {
  stream.zalloc = allocate;
  stream.zfree = release;
  stream.opaque = &count;
}

} // namespace zlib_memory
} // namespace KorvaWeb
