#pragma once
// The outgoing stage of permessage-deflate: a message's payload in, the payload to send compressed
// out, or none when it goes uncompressed (RSV1 clear), as RFC 7692 allows per message.
//
// The send path hands each text or binary payload, once it is complete and before it is queued,
// to the event loop's DeflateStage with the connection's window (DeflateAgreement::
// compress_window_bits) and, when it gets a compressed payload back, queues that with RSV1 set in
// the frame's first byte; control frames never come here. A payload outside [compress_min_size,
// compress_max_size], or one whose compressed form would not be smaller, goes out as it is.
// The compressed form is made once per payload and window size: a payload shared by many
// connections (a broadcast) is compressed for the first of them and the others get the same
// shared result, as long as a queue holds it; the budget counts it once, like any shared payload.
// The stage holds no payload itself (only weak references to the last one per window size).
//
// Every message stands alone (no context takeover): each is compressed by a fresh stream, reset
// per message, ending in a sync flush whose empty block's 00 00 FF FF is stripped (RFC 7692
// section 7.2.1). The streams are the event loop's, one per window size in use, made at the first
// message that needs one; a connection holds none.
//
// Threads: one DeflateStage per event loop, used on its thread only.

#include "websocket/message.hpp"

#include <array>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace KorvaWeb {

// The choices below come from bench/deflate_sizes (JSON as the device writes it, the conformance
// suite's JSON and text, random bytes), on this project's development machine and under qemu-arm.
//
// Smaller payloads go out uncompressed: a message costs about 4 us to compress whatever its size
// up to here (40 to 50 us on ARMv7), and below 256 bytes the device's JSON shrinks by less than
// half (by 30% at 128 bytes, 10% at 64), which pays only on a link slower than a few Mbit/s.
constexpr std::size_t compress_min_size = 256;
// Larger payloads go out uncompressed: compressing 512 KiB takes at most about 8 ms here (random
// bytes, the slowest; JSON about 2 ms), and about 34 ms (JSON about 10 ms) on ARMv7.
constexpr std::size_t compress_max_size = 512 * 1024;
// zlib's level and memLevel for every message. Level 2 compresses JSON about as fast as level 1
// and up to 17% smaller; levels 3 and up cost 1.2 to 18 times its CPU for 4 to 36% fewer bytes.
// memLevel 8: a smaller one clears less at each message's reset (64 KiB at 8: a third of the cost
// of a small message on ARMv7), but takes 2 to 3 times as long over random bytes and text, which
// would halve compress_max_size. The stream holds about 262 KiB for a 32 KiB window.
constexpr int compress_level = 2;
constexpr int compress_memory_level = 8;

// One raw deflate stream that compresses whole messages, one at a time. Throws std::bad_alloc
// when zlib cannot allocate its state.
class Compressor {
public:
  explicit Compressor(int window_bits, int level = compress_level, int memory_level = compress_memory_level);
  ~Compressor();
  Compressor(const Compressor&) = delete;
  Compressor& operator=(const Compressor&) = delete;

  // Compresses `message` on its own into `out` (replaced), without the trailing 00 00 FF FF.
  // False, with `out` empty, when that would not be smaller than the message.
  bool compress(std::string_view message, std::string& out);

  // What the stream holds: zlib's state and windows, and this object's own.
  std::size_t bytes() const noexcept;

private:
  struct Stream;
  std::unique_ptr<Stream> stream_;
};

class DeflateStage {
public:
  DeflateStage();
  ~DeflateStage();
  DeflateStage(const DeflateStage&) = delete;
  DeflateStage& operator=(const DeflateStage&) = delete;

  // The compressed payload of `payload` for a window of `window_bits` (9 to 15), or null: send
  // `payload` uncompressed. `payload` must not change once handed here. Throws std::bad_alloc.
  std::shared_ptr<SendStream> compressed(const std::shared_ptr<SendStream>& payload, int window_bits);

  // What the compressors made so far hold, together.
  std::size_t bytes() const noexcept;

private:
  struct Slot {
    std::unique_ptr<Compressor> compressor;
    // The last payload compressed with this window, and what came of it.
    std::weak_ptr<SendStream> source;
    std::weak_ptr<SendStream> result;
    bool paid = false;
  };
  std::array<Slot, 7> slots_; // windows of 9 to 15 bits
};

} // namespace KorvaWeb
