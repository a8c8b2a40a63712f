#include "websocket/frame_reader.hpp"

#include "websocket/frame.hpp"

#include <algorithm>
#include <atomic>
#include <limits>
#include <new>

namespace KorvaWeb {

namespace {

// The message of the last whole frame taken on this thread. Once nobody holds it any more (the
// handler let go of it), the next whole frame reuses it: setting up a stream costs more than
// reading a small message.
std::shared_ptr<Message>& reusable_message() {
  thread_local std::shared_ptr<Message> message;
  return message;
}

// True when this thread holds the only reference to `message`, and everything its other holders
// did with it happened before whatever this thread does next. The count is read without ordering;
// the fence orders this thread after the release of the last other holder, whose decrement of the
// count was a release operation.
bool held_here_alone(const std::shared_ptr<Message>& message) noexcept {
  if (message.use_count() != 1)
    return false;
  std::atomic_thread_fence(std::memory_order_acquire);
  return true;
}

bool is_data_frame(unsigned char fin_rsv_opcode) noexcept { return !opcode_is_control(frame_opcode(fin_rsv_opcode)); }

} // namespace

FrameReader::Step FrameReader::take(ReadBuffer& input, std::shared_ptr<Message>& fragmented_message,
                                    std::size_t max_message_size, bool compression_agreed) {
  if (compressed_)
    return compressed_step(input);
  const unsigned char* data = input.data();
  const std::size_t size = input.size();
  if (size > seen_ && size != 0 && is_data_frame(data[0]))
    data_arrived_ += size - seen_;
  seen_ = size;
  if (size < 2)
    return need(2 - size);
  const unsigned char fin_rsv_opcode = data[0];
  if (!frame_is_masked(data[1]))
    return refuse(error::unmasked_frame);
  const unsigned char length_code = frame_length_code(data[1]);
  if (const auto forbidden =
          forbidden_frame(fin_rsv_opcode, length_code, fragmented_message != nullptr, compression_agreed))
    return refuse(*forbidden);
  const std::size_t head_size = frame_head_size(length_code);
  if (size < head_size)
    return need(head_size - size);

  // The size is checked on the header alone, before the mask key or any payload byte is needed.
  const std::uint64_t length = length_code < 126 ? length_code : read_big_endian(data + 2, head_size - 2);
  const bool starts_message = frame_opcode(fin_rsv_opcode) == opcodes::text || frame_opcode(fin_rsv_opcode) == opcodes::binary;
  const bool compressed = is_data_frame(fin_rsv_opcode) &&
                          (starts_message ? (fin_rsv_opcode & rsv1_bit) != 0 : compressed_message_open(fragmented_message));
  // (A compressed message being assembled counts its compressed bytes in its length until it is
  // inflated whole.)
  const std::size_t assembled = starts_message || !fragmented_message ? 0 : fragmented_message->length;
  if (frame_too_big<std::size_t>(length, assembled, max_message_size) ||
      length > std::numeric_limits<std::size_t>::max() - head_size - 4)
    return refuse(error::message_too_big);
  const std::size_t payload = static_cast<std::size_t>(length);
  if (size < head_size + 4)
    return need(head_size + 4 - size);
  const bool whole = size - head_size - 4 >= payload;
  if (!whole && !is_data_frame(fin_rsv_opcode))
    return need(head_size + 4 + payload - size); // a control frame (125 bytes at most) is taken whole

  std::array<unsigned char, 4> key;
  std::copy(data + head_size, data + head_size + 4, key.begin());
  input.consume(head_size + 4);
  seen_ = 0;
  const unsigned char opcode = frame_opcode(fin_rsv_opcode);
  if (starts_message) {
    text_ = opcode == opcodes::text;
    utf8_.reset();
  }
  if (compressed) { // its payload goes to the caller's inflating, piece by piece
    std::shared_ptr<Message> message;
    try {
      if (!starts_message)
        (message = fragmented_message)->length += payload;
      else if (frame_is_final(fin_rsv_opcode))
        message = message_for(fin_rsv_opcode, 0, whole, fragmented_message);
      else
        message = fragmented_message = std::make_shared<Message>(fin_rsv_opcode | fin_bit, payload);
      const bool own_message = message != fragmented_message;
      compressed_.reset(new Compressed{std::move(message), own_message, frame_is_final(fin_rsv_opcode), payload, 0, 0, key});
    } catch (const std::bad_alloc&) {
      return refuse(error::memory_budget);
    }
    return compressed_step(input);
  }
  const std::size_t here = whole ? payload : input.size();
  std::shared_ptr<Message> message;
  unsigned char* unmasked = nullptr;
  try {
    message = message_for(fin_rsv_opcode, payload, whole, fragmented_message);
    unmasked = message->append(input.data(), here);
  } catch (const std::bad_alloc&) {
    return refuse(error::memory_budget);
  }
  unmask(unmasked, here, key, unmasked);
  input.consume(here);
  if (!text_checked(fin_rsv_opcode, unmasked, here, whole))
    return refuse(error::invalid_utf8);
  if (whole) {
    frame_ = Frame{std::move(message), fin_rsv_opcode, payload};
    return Step::frame;
  }
  const bool own_message = message != fragmented_message;
  payload_.emplace(Partial{std::move(message), fin_rsv_opcode, payload, payload - here, key, own_message});
  return Step::payload;
}

// A read takes at most what the message holds already (a chunk at first): its storage grows with
// the bytes that came, never by more than doubling ahead of them.
std::size_t FrameReader::Partial::room(std::size_t most) const noexcept {
  return std::min({missing, most, std::max(ReadBuffer::chunk_size, message->size())});
}

unsigned char* FrameReader::payload_room(std::size_t most, std::size_t& room) {
  Partial& partial = *payload_;
  room = partial.room(most);
  return partial.message->extend(room, partial.message->size() + partial.missing);
}

std::size_t FrameReader::payload_growth(std::size_t most) const noexcept {
  const Partial& partial = *payload_;
  return partial.message->growth(partial.room(most), partial.message->size() + partial.missing);
}

FrameReader::Step FrameReader::payload_read(unsigned char* into, std::size_t room, std::size_t bytes) {
  Partial& partial = *payload_;
  partial.message->shrink(room - bytes);
  data_arrived_ += bytes;
  unmask(into, bytes, rotated_key(partial.key, partial.length - partial.missing), into);
  partial.missing -= bytes;
  if (!text_checked(partial.fin_rsv_opcode, into, bytes, partial.missing == 0))
    return refuse(error::invalid_utf8);
  if (partial.missing != 0)
    return Step::payload;
  frame_ = Frame{std::move(partial.message), partial.fin_rsv_opcode, partial.length};
  payload_.reset();
  return Step::frame;
}

std::size_t FrameReader::holding() const noexcept {
  if (compressed_ && compressed_->own_message)
    return compressed_->message->capacity();
  return payload_ && payload_->own_message ? payload_->message->capacity() : 0;
}

// The bytes of the compressed frame that stand in the buffer are unmasked, as far as they belong
// to it, and handed out as a piece; without any, the step asks for more.
FrameReader::Step FrameReader::compressed_step(ReadBuffer& input) noexcept {
  Compressed& frame = *compressed_;
  const std::size_t here = std::min(input.size(), frame.missing);
  if (here == 0 && frame.missing != 0)
    return need(std::min(frame.missing, ReadBuffer::chunk_size));
  if (here > frame.unmasked) {
    unsigned char* fresh = input.data() + frame.unmasked;
    unmask(fresh, here - frame.unmasked, rotated_key(frame.key, frame.offset + frame.unmasked), fresh);
    data_arrived_ += here - frame.unmasked;
    frame.unmasked = here;
  }
  return Step::compressed;
}

FrameReader::Piece FrameReader::compressed_piece(const ReadBuffer& input) const noexcept {
  const Compressed& frame = *compressed_;
  return Piece{input.data(), frame.unmasked, frame.ends_message && frame.unmasked == frame.missing};
}

void FrameReader::take_compressed(ReadBuffer& input, std::size_t count, bool more_to_come) noexcept {
  Compressed& frame = *compressed_;
  input.consume(count);
  frame.missing -= count;
  frame.unmasked -= count;
  frame.offset += count;
  if (frame.missing == 0 && !frame.ends_message && !more_to_come) {
    compressed_.reset(); // the message goes on in the next frame
    seen_ = 0;
  }
}

FrameReader::Frame FrameReader::finish_compressed() noexcept {
  std::shared_ptr<Message> message = std::move(compressed_->message);
  compressed_.reset();
  seen_ = 0;
  const unsigned char first = message->fin_rsv_opcode;
  const std::size_t length = message->length;
  return Frame{std::move(message), first, length};
}

void FrameReader::release_if_large(const std::shared_ptr<Message>& message) noexcept {
  if (message == reusable_message() && message->capacity() > ReadBuffer::chunk_size)
    reusable_message().reset();
}

void FrameReader::stop() noexcept {
  payload_.reset();
  compressed_.reset();
  frame_.message.reset();
  seen_ = 0;
}

// The message a frame's payload goes into: a new one for a whole message (FIN set, opcode not 0);
// otherwise the message being assembled, which the first such frame starts. A whole message that
// is all there reuses this thread's last one when nobody holds it any more.
std::shared_ptr<Message> FrameReader::message_for(unsigned char fin_rsv_opcode, std::size_t length, bool whole,
                                                  std::shared_ptr<Message>& fragmented_message) {
  if (frame_is_final(fin_rsv_opcode) && frame_opcode(fin_rsv_opcode) != opcodes::continuation) {
    if (!whole)
      return std::make_shared<Message>(fin_rsv_opcode, length);
    std::shared_ptr<Message>& reusable = reusable_message();
    if (reusable && held_here_alone(reusable))
      reusable->reset(fin_rsv_opcode, length);
    else
      reusable = std::make_shared<Message>(fin_rsv_opcode, length);
    return reusable;
  }
  if (fragmented_message) {
    fragmented_message->length += length;
    return fragmented_message;
  }
  fragmented_message = std::make_shared<Message>(fin_rsv_opcode | fin_bit, length);
  return fragmented_message;
}

// The bytes of a text message are UTF-8 so far, and, once its last frame is all there (`ends`),
// end where a character ends. Other frames are not looked at (a close frame's reason is checked
// when the frame is acted on).
bool FrameReader::text_checked(unsigned char fin_rsv_opcode, const unsigned char* bytes, std::size_t size,
                               bool ends) noexcept {
  if (!is_data_frame(fin_rsv_opcode) || !text_)
    return true;
  if (!utf8_.feed(bytes, size))
    return false;
  return !ends || !frame_is_final(fin_rsv_opcode) || utf8_.complete();
}

} // namespace KorvaWeb
