#pragma once
// The frame reader of one connection: takes the client's frames one at a time from the bytes the
// connection has read (its input buffer), without a socket of its own. Each step looks at the
// frame at the front of the buffer:
//   - a frame the protocol forbids, or one that would take its message over the size limit, is
//     refused as soon as its first bytes show it, before any of its payload is needed;
//   - a whole frame is taken: its payload unmasked into its message (a new one, or the message
//     being assembled from fragments) and a text message's bytes checked for UTF-8;
//   - a data frame that is not all there yet has, once its header and mask key are in, its payload
//     read straight into its message from then on (payload_room, then payload_read after the read),
//     so that a message costs its own size and no buffer of that size beside it, and its text is
//     checked byte by byte as it arrives;
//   - otherwise the step says how many more bytes it needs (a control frame is taken whole).
// A message's memory grows with the bytes that arrive: a frame header reserves nothing.
//
// The caller acts on each whole frame (taken_frame()) and does the reading; the reader tells it how
// many bytes of data frames came in (data_arrived()), which is what a stalled message is timed by
// and its sender's rate measured with.
//
// Not thread-safe: the connection's reading chain uses it one step at a time.

#include "websocket/error.hpp"
#include "websocket/message.hpp"
#include "websocket/read_buffer.hpp"
#include "websocket/utf8.hpp"

#include <array>
#include <cstddef>
#include <memory>
#include <optional>

namespace KorvaWeb {

class FrameReader {
public:
  // A whole frame: its payload is the last `length` bytes of `message`.
  struct Frame {
    std::shared_ptr<Message> message;
    unsigned char fin_rsv_opcode = 0;
    std::size_t length = 0;
  };

  enum class Step {
    frame,      // a whole frame was taken: frame()
    incomplete, // the buffer holds no whole frame: wanted() more bytes are needed before the next step
    payload,    // the frame's payload is read straight into its message from now on
    refused     // the frame may not be taken (refusal()); reading ends
  };

  // Takes the frame at the front of `input`. A data frame starts or continues
  // `fragmented_message` as the protocol says (the message of a fragmented text or binary
  // message), and is refused when it would take that message over `max_message_size`.
  Step take(ReadBuffer& input, std::shared_ptr<Message>& fragmented_message, std::size_t max_message_size);

  // While a payload is read straight into its message (reading_payload()): the message grows by
  // at most `most` bytes for the next read (fewer when fewer are missing, and never more than it
  // holds already, or a chunk), which writes them at the pointer returned; `room` tells how many.
  // May throw std::bad_alloc.
  bool reading_payload() const noexcept { return payload_.has_value(); }
  unsigned char* payload_room(std::size_t most, std::size_t& room);
  // What the message's storage would grow by for payload_room(most).
  std::size_t payload_growth(std::size_t most) const noexcept;
  // The read put `bytes` of the `room` bytes at `into`: they are unmasked and checked. Step::frame
  // once the payload is whole, Step::payload while more is missing, Step::refused for bytes that
  // are not UTF-8 in a text message.
  Step payload_read(unsigned char* into, std::size_t room, std::size_t bytes);

  // The frame of the last Step::frame, handed over.
  Frame taken_frame() noexcept { return std::move(frame_); }
  // Bytes needed after Step::incomplete; why after Step::refused.
  std::size_t wanted() const noexcept { return wanted_; }
  error refusal() const noexcept { return refusal_; }
  // Bytes of data frames that came in since the last call.
  std::size_t data_arrived() noexcept {
    const std::size_t arrived = data_arrived_;
    data_arrived_ = 0;
    return arrived;
  }
  // Bytes the frame under way still needs: the rest of a payload read straight into its message,
  // else what the last incomplete step wanted.
  std::size_t missing() const noexcept { return payload_ ? payload_->missing : wanted_; }

  // What the reader holds itself: the storage of a message read straight into that is not the
  // fragmented message (whose owner counts it).
  std::size_t holding() const noexcept;

  // The message handed to on_message is done with: a big one's storage is not kept for the next
  // message.
  void delivered(const std::shared_ptr<Message>& message) noexcept;

  // Reading has stopped for good: everything the reader holds goes.
  void stop() noexcept;

private:
  // The frame whose payload is read straight into its message.
  struct Partial {
    std::shared_ptr<Message> message;
    unsigned char fin_rsv_opcode;
    std::size_t length;  // the frame's payload length
    std::size_t missing; // payload bytes not read yet
    std::array<unsigned char, 4> key;
    bool own_message;    // not the fragmented message
    std::size_t room(std::size_t most) const noexcept;
  };

  Step need(std::size_t bytes) noexcept {
    wanted_ = bytes;
    return Step::incomplete;
  }
  Step refuse(error why) noexcept {
    refusal_ = why;
    return Step::refused;
  }
  std::shared_ptr<Message> message_for(unsigned char fin_rsv_opcode, std::size_t length, bool whole,
                                       std::shared_ptr<Message>& fragmented_message);
  bool text_checked(unsigned char fin_rsv_opcode, const unsigned char* bytes, std::size_t size, bool ends) noexcept;

  Frame frame_;
  std::optional<Partial> payload_;
  std::size_t wanted_ = 0;
  error refusal_ = error::message_too_big;
  // The data message being received is text, and its bytes so far are UTF-8 up to this state.
  bool text_ = false;
  Utf8Validator utf8_;
  std::size_t data_arrived_ = 0;
  std::size_t seen_ = 0; // buffered bytes of the front frame at the last incomplete look
};

} // namespace KorvaWeb
