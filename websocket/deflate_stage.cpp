#include "websocket/deflate_stage.hpp"

#include "websocket/zlib_memory.hpp"

#include <cassert>
#include <cstring>
#include <limits>
#include <new>

namespace KorvaWeb {

struct Compressor::Stream {
  z_stream z{};
  std::size_t allocated = 0;
  bool used = false; // a message went through since the stream was made or reset

  Stream(int window_bits, int level, int memory_level) {
    zlib_memory::count_into(z, allocated);
    // A negative window: raw deflate, no zlib header or check value.
    if (deflateInit2(&z, level, Z_DEFLATED, -window_bits, memory_level, Z_DEFAULT_STRATEGY) != Z_OK)
      throw std::bad_alloc();
  }
  ~Stream() { deflateEnd(&z); }
};

Compressor::Compressor(int window_bits, int level, int memory_level)
    : stream_(new Stream(window_bits, level, memory_level)) {}

Compressor::~Compressor() = default;

std::size_t Compressor::bytes() const noexcept { return sizeof(Compressor) + sizeof(Stream) + stream_->allocated; }

bool Compressor::compress(std::string_view message, std::string& out) {
  out.clear();
  // Room for the message's size and the flush's 4 bytes: deflate output that fills it is not
  // smaller than the message once they are stripped, and is given up.
  constexpr std::size_t flush_tail = 4;
  if (message.size() > std::numeric_limits<uInt>::max() - flush_tail)
    return false;
  z_stream& z = stream_->z;
  if (stream_->used)
    deflateReset(&z);
  stream_->used = true;
  out.resize(message.size() + flush_tail);
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(message.data()));
  z.avail_in = static_cast<uInt>(message.size());
  z.next_out = reinterpret_cast<Bytef*>(&out[0]);
  z.avail_out = static_cast<uInt>(out.size());
  const int result = deflate(&z, Z_SYNC_FLUSH);
  if (result != Z_OK || z.avail_in != 0 || z.avail_out == 0) {
    out.clear();
    return false;
  }
  const std::size_t written = out.size() - z.avail_out;
  assert(written >= flush_tail && std::memcmp(out.data() + written - flush_tail, "\0\0\xff\xff", flush_tail) == 0);
  out.resize(written - flush_tail);
  // A queue holds the payload until it is written, and counts its storage: storage for the whole
  // message would count several times what the compressed bytes take.
  if (out.capacity() - out.size() > out.size() / 4)
    out.shrink_to_fit();
  return true;
}

DeflateStage::DeflateStage() = default;
DeflateStage::~DeflateStage() = default;

namespace {
// The same object (its control block), whether or not it still lives.
bool same_payload(const std::weak_ptr<SendStream>& kept, const std::shared_ptr<SendStream>& payload) noexcept {
  return !kept.owner_before(payload) && !payload.owner_before(kept);
}
} // namespace

std::shared_ptr<SendStream> DeflateStage::compressed(const std::shared_ptr<SendStream>& payload, int window_bits) {
  assert(window_bits >= 9 && window_bits <= 15);
  const std::size_t size = payload->size();
  if (size < compress_min_size || size > compress_max_size)
    return nullptr;
  Slot& slot = slots_[static_cast<std::size_t>(window_bits - 9)];
  if (same_payload(slot.source, payload)) {
    if (!slot.paid)
      return nullptr;
    if (auto result = slot.result.lock())
      return result;
  }
  if (!slot.compressor)
    slot.compressor = std::make_unique<Compressor>(window_bits);
  std::string bytes;
  slot.source = payload;
  slot.paid = slot.compressor->compress(payload->text(), bytes);
  slot.result.reset();
  if (!slot.paid)
    return nullptr;
  auto result = std::make_shared<SendStream>(std::move(bytes));
  slot.result = result;
  return result;
}

std::size_t DeflateStage::bytes() const noexcept {
  std::size_t total = 0;
  for (const Slot& slot : slots_)
    if (slot.compressor)
      total += slot.compressor->bytes();
  return total;
}

} // namespace KorvaWeb
