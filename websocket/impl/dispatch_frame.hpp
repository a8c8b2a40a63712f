#pragma once
// One client frame: its header checked before any payload byte is needed (mask, what the
// protocol forbids, size), its payload unmasked into its message (a text message's checked for
// UTF-8 as it comes), and the frame acted on: a message to on_message, a ping answered with a
// pong, a close echoed. A frame the protocol forbids fails the connection with close 1002 (1007
// for invalid UTF-8), and nothing of it reaches on_message.

#include "websocket/server.hpp"

#include <atomic>
#include <limits>

namespace KorvaWeb {

namespace detail {
// The message of the last whole frame read on this thread. Once nobody holds it any more (the
// handler let go of it), the next whole frame reuses it instead of setting up a new stream.
inline std::shared_ptr<Message>& reusable_message() {
  thread_local std::shared_ptr<Message> message;
  return message;
}
// True when this thread holds the only reference to `message`, and everything its other holders
// did with it happened before whatever this thread does next. The count is read without ordering;
// the fence orders this thread after the release of the last other holder, whose decrement of the
// count was a release operation.
inline bool held_here_alone(const std::shared_ptr<Message>& message) noexcept {
  if (message.use_count() != 1)
    return false;
  std::atomic_thread_fence(std::memory_order_acquire);
  return true;
}
} // namespace detail

// Looks at the frame at the front of the input buffer. A whole frame is taken and handled;
// the payload of a big one that is not all there yet is read straight into its message from now
// on (`payload`); otherwise `wanted` is set to the bytes still missing (`incomplete`). An
// unmasked frame or one too big ends the reading as soon as its header shows it.
template <class socket_type>
typename SocketServerBase<socket_type>::FrameStep
SocketServerBase<socket_type>::take_frame(const std::shared_ptr<Connection>& connection, Endpoint& endpoint,
                                          std::size_t& wanted) {
  auto& buffer = connection->input_buffer;
  const unsigned char* data = buffer.data();
  const std::size_t size = buffer.size();
  if (size < 2) {
    wanted = 2 - size;
    return FrameStep::incomplete;
  }
  const unsigned char fin_rsv_opcode = data[0];
  if (!frame_is_masked(data[1])) {
    refuse_frame(connection, endpoint, error::unmasked_frame);
    return FrameStep::ended;
  }
  const unsigned char length_code = frame_length_code(data[1]);
  if (const auto forbidden = forbidden_frame(fin_rsv_opcode, length_code, connection->fragmented_message != nullptr)) {
    refuse_frame(connection, endpoint, *forbidden);
    return FrameStep::ended;
  }
  const std::size_t head_size = frame_head_size(length_code);
  if (size < head_size) {
    wanted = head_size - size;
    return FrameStep::incomplete;
  }
  const std::uint64_t length = length_code < 126 ? length_code : read_big_endian(data + 2, head_size - 2);

  const std::size_t assembled = connection->fragmented_message ? connection->fragmented_message->length : 0;
  if (frame_too_big<std::size_t>(length, assembled, config.max_message_size) ||
      length > std::numeric_limits<std::size_t>::max() - head_size - 4) {
    refuse_frame(connection, endpoint, error::message_too_big);
    return FrameStep::ended;
  }
  const std::size_t payload = static_cast<std::size_t>(length);
  const std::size_t frame_size = head_size + 4 + payload;
  const bool whole = size >= frame_size;
  if (!whole && (size < head_size + 4 || payload <= ReadBuffer::chunk_size)) {
    // A small frame is read whole into the buffer; of a big one only the mask key is awaited.
    wanted = (payload <= ReadBuffer::chunk_size ? frame_size : head_size + 4) - size;
    return FrameStep::incomplete;
  }

  buffer.consume(head_size);
  std::array<unsigned char, 4> key;
  std::copy(buffer.data(), buffer.data() + 4, key.begin());
  buffer.consume(4);
  std::shared_ptr<Message> target = message_for_frame(connection, fin_rsv_opcode, payload, whole);
  const unsigned char opcode = frame_opcode(fin_rsv_opcode);
  if (opcode == opcodes::text || opcode == opcodes::binary) { // a data message starts
    connection->text_message = opcode == opcodes::text;
    connection->utf8.reset();
  }
  const std::size_t here = whole ? payload : buffer.size();
  unsigned char* unmasked = target->append(buffer.data(), here);
  unmask(unmasked, here, key, unmasked);
  buffer.consume(here);
  if (!text_checked(connection, fin_rsv_opcode, unmasked, here, whole)) {
    refuse_frame(connection, endpoint, error::invalid_utf8);
    return FrameStep::ended;
  }
  if (whole)
    return act_on_frame(connection, endpoint, target, fin_rsv_opcode, payload);
  connection->payload_read.emplace(typename Connection::PayloadRead{target, fin_rsv_opcode, payload, payload - here, key});
  return FrameStep::payload;
}

// The bytes of a text message are UTF-8 so far, and, once its last frame is all there (`ends`),
// end where a character ends. Other frames are not looked at.
template <class socket_type>
bool SocketServerBase<socket_type>::text_checked(const std::shared_ptr<Connection>& connection,
                                                 unsigned char fin_rsv_opcode, const unsigned char* bytes,
                                                 std::size_t size, bool ends) {
  if (opcode_is_control(frame_opcode(fin_rsv_opcode)) || !connection->text_message)
    return true;
  if (!connection->utf8.feed(bytes, size))
    return false;
  return !ends || !frame_is_final(fin_rsv_opcode) || connection->utf8.complete();
}

// The message a frame's payload goes into: a new one for a whole message (FIN set, opcode not 0);
// otherwise the message being assembled, which the first such frame starts. A small whole message
// reuses this thread's last one when nobody holds it any more.
template <class socket_type>
std::shared_ptr<Message> SocketServerBase<socket_type>::message_for_frame(const std::shared_ptr<Connection>& connection,
                                                                          unsigned char fin_rsv_opcode,
                                                                          std::size_t length, bool whole) {
  if (frame_is_final(fin_rsv_opcode) && frame_opcode(fin_rsv_opcode) != opcodes::continuation) {
    if (!whole) {
      auto message = std::make_shared<Message>(fin_rsv_opcode, length);
      message->reserve(length); // one allocation, filled as the payload arrives
      return message;
    }
    std::shared_ptr<Message>& reusable = detail::reusable_message();
    if (reusable && detail::held_here_alone(reusable))
      reusable->reset(fin_rsv_opcode, length);
    else
      reusable = std::make_shared<Message>(fin_rsv_opcode, length);
    return reusable;
  }
  if (connection->fragmented_message) {
    connection->fragmented_message->length += length;
    return connection->fragmented_message;
  }
  connection->fragmented_message = std::make_shared<Message>(fin_rsv_opcode | fin_bit, length);
  return connection->fragmented_message;
}

// The frame's payload is in `target`: acts on the frame.
template <class socket_type>
typename SocketServerBase<socket_type>::FrameStep
SocketServerBase<socket_type>::act_on_frame(const std::shared_ptr<Connection>& connection, Endpoint& endpoint,
                                            const std::shared_ptr<Message>& target, unsigned char fin_rsv_opcode,
                                            std::size_t length) {
  switch (frame_opcode(fin_rsv_opcode)) {
  case opcodes::close:
    answer_close(connection, endpoint, *target, length);
    return FrameStep::ended;
  case opcodes::ping:
    answer_ping(connection, endpoint, *target, fin_rsv_opcode, length);
    return FrameStep::taken;
  case opcodes::pong:
    connection->restart_idle_timer();
    if (endpoint.on_pong)
      endpoint.on_pong(connection);
    return FrameStep::taken;
  default:
    if (!frame_is_final(fin_rsv_opcode))
      return FrameStep::taken; // the payload waits in fragmented_message for the rest of its message
    connection->restart_idle_timer();
    // A message counts against the budget while it is being received; handed to on_message, its
    // bytes are the handler's (content() hands them over), and it counts no more.
    connection->delivering = true;
    connection->count_reading();
    if (endpoint.on_message)
      endpoint.on_message(connection, target);
    connection->delivering = false;
    connection->fragmented_message.reset();
    if (target->capacity() > ReadBuffer::chunk_size && target == detail::reusable_message())
      detail::reusable_message().reset(); // a big message's bytes are not kept for reuse
    connection->count_reading();
    return FrameStep::delivered;
  }
}

// A close frame: its status (the first two payload bytes, 0 without them) and reason (the rest)
// are echoed, and the connection is reported closed. An empty close frame is answered with an
// empty one: a status 0 is no valid close code, and clients fail on it. A code that a client may
// not send, or a reason that is not UTF-8, fails the connection instead.
template <class socket_type>
void SocketServerBase<socket_type>::answer_close(const std::shared_ptr<Connection>& connection, Endpoint& endpoint,
                                                 Message& target, std::size_t length) {
  connection->restart_idle_timer();
  int status = 0;
  if (length >= 2) {
    int high = target.get();
    int low = target.get();
    status = ((high & 0xFF) << 8) | (low & 0xFF);
  }
  std::string reason = target.content();
  if (length >= 2 && !close_code_may_be_sent(status)) {
    refuse_frame(connection, endpoint, error::invalid_close_code);
    return;
  }
  if (!Utf8Validator::valid(reinterpret_cast<const unsigned char*>(reason.data()), reason.size())) {
    refuse_frame(connection, endpoint, error::invalid_utf8);
    return;
  }
  if (length == 0)
    connection->send_close_payload(std::string());
  else
    connection->send_close(status, reason);
  report_close(connection, endpoint, status, reason);
}

// A ping is answered with a pong that carries the ping's payload (the last `length` bytes of its
// message), with the ping's first byte plus one: 0x89 gives 0x8A.
template <class socket_type>
void SocketServerBase<socket_type>::answer_ping(const std::shared_ptr<Connection>& connection, Endpoint& endpoint,
                                                Message& target, unsigned char fin_rsv_opcode, std::size_t length) {
  connection->restart_idle_timer();
  auto pong = std::make_shared<SendStream>(std::string(target.last(length), length));
  connection->send(pong, nullptr, static_cast<unsigned char>(fin_rsv_opcode + 1));
  if (endpoint.on_ping)
    endpoint.on_ping(connection);
}

} // namespace KorvaWeb
