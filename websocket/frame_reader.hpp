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
//   - otherwise the step says how many more bytes it needs (a control frame is taken whole);
//   - a frame of a compressed message (permessage-deflate: RSV1 on its first frame) has its payload
//     unmasked where it stands in the buffer, as its bytes arrive, and handed to the caller as a
//     piece (compressed_piece), which inflates it into the message (inflate_stage.hpp), checks its
//     text, and gives back the bytes it took (take_compressed) until the message is whole
//     (finish_compressed); its bytes never go through the message itself.
// A message's memory grows with the bytes that arrive: a frame header reserves nothing.
//
// The caller acts on each whole frame (taken_frame()) and does the reading; the reader tells it how
// many bytes of data frames came in (data_arrived()), which is what a stalled message is timed by
// and its sender's rate measured with.
//
// Not thread-safe: the connection's reading chain uses it one step at a time.

#include "websocket/error.hpp"
#include "websocket/frame.hpp"
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
    compressed, // a piece of a compressed message's payload stands unmasked in the buffer
    refused     // the frame may not be taken (refusal()); reading ends
  };

  // Takes the frame at the front of `input`. A data frame starts or continues
  // `fragmented_message` as the protocol says (the message of a fragmented text or binary
  // message), and is refused when it would take that message over `max_message_size` (a
  // compressed one: its compressed bytes). With `compression_agreed`, RSV1 on the first frame of a
  // message makes it a compressed one.
  Step take(ReadBuffer& input, std::shared_ptr<Message>& fragmented_message, std::size_t max_message_size,
            bool compression_agreed = false);

  // After Step::compressed: the piece of the compressed message's payload that stands unmasked at
  // the front of the input buffer, and whether it ends the message; the message it inflates into;
  // its text's UTF-8 check (none for a binary message).
  struct Piece {
    const unsigned char* data;
    std::size_t size;
    bool last;
  };
  Piece compressed_piece(const ReadBuffer& input) const noexcept;
  Message& compressed_message() noexcept { return *compressed_->message; }
  Utf8Validator* text_check() noexcept { return text_ ? &utf8_ : nullptr; }
  // `count` bytes of the piece were inflated: they leave the buffer. Unless `more_to_come` (the
  // inflating stopped for its step's allowance, not for want of bytes), a frame whose payload has
  // all been taken, and that does not end its message, is over: the next step takes the next frame.
  void take_compressed(ReadBuffer& input, std::size_t count, bool more_to_come) noexcept;
  // The compressed message is whole, inflated into its message: the frame to act on.
  Frame finish_compressed() noexcept;

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
  // or of a compressed one, else what the last incomplete step wanted.
  std::size_t missing() const noexcept {
    return payload_ ? payload_->missing : compressed_ ? compressed_->missing : wanted_;
  }
  // A frame's payload is under way (read straight into its message, or a compressed one's).
  bool in_payload() const noexcept { return payload_ || compressed_ != nullptr; }

  // What the reader holds itself: the storage of a message read straight into that is not the
  // fragmented message (whose owner counts it).
  std::size_t holding() const noexcept;

  // The message handed to on_message is done with: if it is this thread's reusable message and has
  // grown big, it is not kept for the next whole message (see message_for).
  void release_if_large(const std::shared_ptr<Message>& message) noexcept;

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

  // The frame of a compressed message whose payload is being taken.
  struct Compressed {
    std::shared_ptr<Message> message; // the inflated message
    bool own_message;                 // not the fragmented message
    bool ends_message;                // the frame has FIN
    std::size_t missing;              // payload bytes not taken yet
    std::size_t unmasked;             // of those, unmasked at the front of the buffer
    std::size_t offset;               // payload bytes taken, for the key's rotation
    std::array<unsigned char, 4> key;
  };
  Step compressed_step(ReadBuffer& input) noexcept;

  Frame frame_;
  std::optional<Partial> payload_;
  std::unique_ptr<Compressed> compressed_; // only while such a frame is taken: none for an idle connection
  static bool compressed_message_open(const std::shared_ptr<Message>& fragmented_message) noexcept {
    return fragmented_message && (fragmented_message->fin_rsv_opcode & rsv1_bit) != 0;
  }
  std::size_t wanted_ = 0;
  error refusal_ = error::message_too_big;
  // The data message being received is text, and its bytes so far are UTF-8 up to this state.
  bool text_ = false;
  Utf8Validator utf8_;
  std::size_t data_arrived_ = 0;
  std::size_t seen_ = 0; // buffered bytes of the front frame at the last incomplete look
};

} // namespace KorvaWeb
