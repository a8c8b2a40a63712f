#include "websocket/inflate_stage.hpp"

#include "websocket/read_buffer.hpp"
#include "websocket/zlib_memory.hpp"

#include <algorithm>
#include <cassert>
#include <limits>
#include <new>

namespace KorvaWeb {

namespace {
// RFC 7692 section 7.2.2: the empty stored block that the sender's sync flush ended with and
// stripped.
constexpr unsigned char flush_tail[4] = {0x00, 0x00, 0xFF, 0xFF};
constexpr unsigned char rsv1_bit = 0x40;
// A message's first storage, when it has none: a guess from the compressed size, as JSON shrinks a
// few times, within limits; it doubles from there.
constexpr std::size_t least_room = 256;
} // namespace

struct Decompressors::Stream {
  z_stream z{};
  std::size_t allocated = 0;

  explicit Stream(int window_bits) {
    zlib_memory::count_into(z, allocated);
    if (inflateInit2(&z, -window_bits) != Z_OK) // raw inflate
      throw std::bad_alloc();
  }
  // A copy of `running`, with what it holds counted here.
  explicit Stream(Stream& running) {
    const std::size_t before = running.allocated;
    if (inflateCopy(&z, &running.z) != Z_OK) {
      running.allocated = before;
      throw std::bad_alloc();
    }
    allocated = running.allocated - before;
    running.allocated = before;
    zlib_memory::count_into(z, allocated);
  }
  ~Stream() { inflateEnd(&z); }
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;

  void reset() noexcept { inflateReset(&z); }
};

// Where a message stands between steps, beside its stream.
struct InflateStage::Own {
  explicit Own(Decompressors::Stream& running) : stream(running) {}
  Decompressors::Stream stream;
  unsigned tail_taken = 0; // bytes of flush_tail inflated
  bool ended = false;      // the final block has ended the data
};

Decompressors::Decompressors() = default;
Decompressors::~Decompressors() = default;

Decompressors::Stream& Decompressors::stream(int window_bits) {
  assert(window_bits >= 9 && window_bits <= 15);
  std::unique_ptr<Stream>& slot = streams_[static_cast<std::size_t>(window_bits - 9)];
  if (!slot)
    slot = std::make_unique<Stream>(window_bits);
  return *slot;
}

std::size_t Decompressors::bytes() const noexcept {
  std::size_t total = 0;
  for (const auto& stream : streams_)
    if (stream)
      total += sizeof(Stream) + stream->allocated;
  return total;
}

InflateStage::InflateStage() noexcept = default;
InflateStage::~InflateStage() = default;
InflateStage::InflateStage(InflateStage&&) noexcept = default;
InflateStage& InflateStage::operator=(InflateStage&&) noexcept = default;

std::size_t InflateStage::holding() const noexcept { return own_ ? sizeof(Own) + own_->stream.allocated : 0; }

void InflateStage::stop() noexcept { own_.reset(); }

InflateResult InflateStage::inflate(Decompressors& loop, int window_bits, const unsigned char* data, std::size_t size,
                                    bool last, Message& message, std::size_t limit, Utf8Validator* text,
                                    GrowthCheck may_grow, InflateStep step) {
  Decompressors::Stream& stream = own_ ? own_->stream : loop.stream(window_bits);
  z_stream& z = stream.z;
  unsigned tail_taken = own_ ? own_->tail_taken : 0;
  bool ended = own_ && own_->ended;

  // The step takes at most step.input of the piece; zlib counts in uInt.
  const std::size_t given = std::min({size, step.input, static_cast<std::size_t>(std::numeric_limits<uInt>::max())});
  bool in_tail = false;
  z.next_in = const_cast<Bytef*>(data);
  z.avail_in = static_cast<uInt>(given);
  z.avail_out = 0;
  unsigned char probe = 0;           // room for one byte beyond the limit, to tell whether there is one
  std::size_t room = 0;              // storage extended for the last inflate, in the message
  std::size_t produced = 0;
  InflateStatus status = InflateStatus::need_input;

  const auto taken = [&] { return in_tail ? size : static_cast<std::size_t>(z.next_in - data); };

  // A message of no bytes at all is the empty message (a sender's zlib would write 0x00).
  const bool empty = !own_ && size == 0 && last;
  if (empty)
    status = InflateStatus::finished;
  try {
    while (!empty) {
      if (ended && z.avail_in != 0 && !in_tail) {
        status = InflateStatus::corrupt; // data after the final block
        break;
      }
      if (z.avail_out == 0) {
        room = 0; // filled, if there was any
        if (produced >= step.output) {
          status = InflateStatus::need_room;
          break;
        }
        const std::size_t have = message.size();
        if (have >= limit) {
          z.next_out = &probe;
          z.avail_out = 1;
        } else {
          const std::size_t first = std::min(ReadBuffer::chunk_size, std::max(least_room, 4 * given));
          const std::size_t more = std::min({step.output - produced, std::max(first, have), limit - have,
                                             static_cast<std::size_t>(std::numeric_limits<uInt>::max())});
          const std::size_t growth = message.growth(more, limit);
          if (growth != 0 && !may_grow(growth)) {
            status = InflateStatus::refused;
            break;
          }
          z.next_out = message.extend(more, limit);
          z.avail_out = static_cast<uInt>(more);
          room = more;
        }
      }
      if (z.avail_in == 0 && given == size && last && !ended && tail_taken < sizeof flush_tail) {
        in_tail = true;
        z.next_in = const_cast<Bytef*>(flush_tail + tail_taken);
        z.avail_in = static_cast<uInt>(sizeof flush_tail - tail_taken);
      }

      Bytef* const out = z.next_out;
      const int result = ::inflate(&z, Z_SYNC_FLUSH);
      const std::size_t written = static_cast<std::size_t>(z.next_out - out);
      if (in_tail)
        tail_taken = static_cast<unsigned>(sizeof flush_tail - z.avail_in);
      if (written != 0) {
        if (room == 0) { // the probe: a byte beyond the limit
          status = InflateStatus::too_big;
          break;
        }
        produced += written;
        if (text && !text->feed(out, written)) {
          status = InflateStatus::invalid_utf8;
          break;
        }
      }
      if (result == Z_STREAM_END) {
        ended = true;
      } else if (result == Z_MEM_ERROR) {
        throw std::bad_alloc();
      } else if (result != Z_OK && result != Z_BUF_ERROR) {
        status = InflateStatus::corrupt;
        break;
      }
      if (z.avail_out == 0 && !ended)
        continue; // inflated output may be waiting
      if (ended && !in_tail && (z.avail_in != 0 || given != size)) {
        status = InflateStatus::corrupt; // data after the final block
        break;
      }
      if (!ended) { // zlib took every byte it was given
        if (given != size) {
          status = InflateStatus::need_room;
          break;
        }
        if (!last)
          break; // need_input
        if (tail_taken < sizeof flush_tail)
          continue;
      }
      // Every byte of the message is in: it must have ended where a block ends (the tail's empty
      // stored block leaves the stream between blocks) or with its final block.
      if (!last)
        break; // need_input: data after the final block is refused when it comes
      status = ended || (z.data_type & 128) ? InflateStatus::finished : InflateStatus::corrupt;
      break;
    }
  } catch (...) {
    if (room != 0)
      message.shrink(z.avail_out);
    own_ ? own_.reset() : stream.reset();
    throw;
  }
  if (room != 0)
    message.shrink(z.avail_out);
  if (status == InflateStatus::finished && text && !text->complete())
    status = InflateStatus::invalid_utf8;

  const InflateResult result{status, taken(), produced};
  if (status == InflateStatus::need_input || status == InflateStatus::need_room) {
    if (own_) {
      own_->tail_taken = tail_taken;
      own_->ended = ended;
    } else if (z.total_in != 0 || ended) {
      // The message goes on in a later step: its state moves to a stream of its own, and the
      // loop's stream is ready for the next message.
      try {
        own_ = std::make_unique<Own>(stream);
      } catch (...) {
        stream.reset();
        throw;
      }
      own_->tail_taken = tail_taken;
      own_->ended = ended;
      stream.reset();
    }
    return result;
  }
  if (status == InflateStatus::finished) {
    message.length = message.size();
    message.fin_rsv_opcode = static_cast<unsigned char>(message.fin_rsv_opcode & ~rsv1_bit);
  }
  own_ ? own_.reset() : stream.reset();
  return result;
}

} // namespace KorvaWeb
