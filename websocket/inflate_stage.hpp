#pragma once
// The incoming stage of permessage-deflate: a compressed message's bytes in (its frames' unmasked
// payloads, or the parts of a large frame, as they arrive), the inflated message out, written
// straight into its Message.
//
// The reader hands each piece of a compressed message (RSV1 on its first frame) to the
// connection's InflateStage with `last` set on the piece that ends the message (the rest of the
// final frame's payload), and acts on the status:
//   need_input    every byte was taken; the message goes on in bytes still to come
//   need_room     the step has produced or taken all it may (a step holds the loop no longer than
//                 about 10 ms): call again, in a later turn, with the bytes not taken
//   finished      the message is whole: its Message holds the inflated bytes, with `length` set to
//                 their number and RSV1 cleared in `fin_rsv_opcode`, ready for on_message
//   too_big       inflated, it would pass the limit (the largest message): close 1009
//   corrupt       the bytes do not inflate, end inside a block, or go on after the final block:
//                 close 1007
//   invalid_utf8  a text message's inflated bytes are not UTF-8: close 1007
//   refused       the growth check said no (the budget cut the connection)
// `consumed` says how many of the piece's bytes were taken. After any status but need_input and
// need_room the stage holds nothing and the next call starts a new message.
//
// Memory: the message's storage grows with the inflated bytes, by doubling (as the reader grows a
// message it reads into), and the growth check is asked before each growth, so that the budget
// counts it as it grows and a bomb (a few KiB that inflate to gigabytes) ends at the limit and
// costs only its sender. A message inflated within one step uses the event loop's decompressor for
// its window (Decompressors, reset per message) and leaves the connection holding nothing. A
// message that needs another step (more frames or reads to come, or a step's allowance used) moves
// its inflate state into a stream of the connection's own, made from the loop's (zlib's state,
// about 7 KiB, and its window, 2^bits bytes: holding() says exactly), which goes when the message
// ends. Idle, an InflateStage is one null pointer.
//
// A client that refers further back than the window it agreed to breaks the agreement: its
// message fails with 1007, or, where zlib can still reach those bytes (in the output of one call),
// is inflated as the client meant it; which one depends on how its bytes arrive.
//
// Threads: one Decompressors per event loop; everything runs on its thread.

#include "websocket/message.hpp"
#include "websocket/utf8.hpp"

#include <array>
#include <cstddef>
#include <memory>

namespace KorvaWeb {

// The most a step produces and takes: about 10 ms of inflating on ARMv7 (under qemu-arm: text
// inflates at 90 MB/s, JSON at 170 to 230; input that inflates to nothing is taken at 25 MB/s),
// 1 to 3 ms on the development machine.
constexpr std::size_t inflate_step_output = 1024 * 1024;
constexpr std::size_t inflate_step_input = 256 * 1024;

struct InflateStep {
  std::size_t output = inflate_step_output;
  std::size_t input = inflate_step_input;
};

enum class InflateStatus { need_input, need_room, finished, too_big, corrupt, invalid_utf8, refused };

struct InflateResult {
  InflateStatus status;
  std::size_t consumed; // bytes of the piece taken
  std::size_t produced; // inflated bytes added to the message
};

// Asked before the message's storage grows by `bytes`; false stops the step (InflateStatus::
// refused). Refers to a callable (bool(std::size_t)) that outlives the call it is passed to.
class GrowthCheck {
public:
  template <class Check>
  GrowthCheck(Check& check) noexcept // implicit, so that a lambda can be passed as it is
      : check_(&check), call_([](void* c, std::size_t bytes) { return (*static_cast<Check*>(c))(bytes); }) {}
  bool operator()(std::size_t bytes) const { return call_(check_, bytes); }

private:
  void* check_;
  bool (*call_)(void*, std::size_t);
};

// The event loop's decompressors, one per window size in use (9 to 15 bits), each made at the
// first message that needs it.
class Decompressors {
public:
  Decompressors();
  ~Decompressors();
  Decompressors(const Decompressors&) = delete;
  Decompressors& operator=(const Decompressors&) = delete;

  // What the decompressors made so far hold, together.
  std::size_t bytes() const noexcept;

  struct Stream;

private:
  friend class InflateStage;
  Stream& stream(int window_bits);
  std::array<std::unique_ptr<Stream>, 7> streams_;
};

// One connection's compressed message being inflated.
class InflateStage {
public:
  InflateStage() noexcept;
  ~InflateStage();
  InflateStage(InflateStage&&) noexcept;
  InflateStage& operator=(InflateStage&&) noexcept;

  // Inflates the next `size` bytes of the message into `message` (the message's own bytes only:
  // the stage appends the 00 00 FF FF of RFC 7692 section 7.2.2 after the `last` piece itself).
  // `window_bits` (DeflateAgreement::inflate_window_bits) is read when a message starts; `limit`
  // is the largest message; `text`, the message's UTF-8 check when it is text (null for binary),
  // is fed every inflated byte and must be complete at the end. May throw std::bad_alloc, after
  // which the stage holds nothing.
  InflateResult inflate(Decompressors& loop, int window_bits, const unsigned char* data, std::size_t size, bool last,
                        Message& message, std::size_t limit, Utf8Validator* text, GrowthCheck may_grow,
                        InflateStep step = InflateStep());

  // A message is being inflated over several steps.
  bool in_message() const noexcept { return own_ != nullptr; }
  // What the connection's own inflate state holds (0 while it has none), for the budget.
  std::size_t holding() const noexcept;
  // The message is given up (the connection failed or was cut): its state goes.
  void stop() noexcept;

  struct Own;

private:
  std::unique_ptr<Own> own_;
};

} // namespace KorvaWeb
