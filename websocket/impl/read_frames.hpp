#pragma once
// The frame reader: takes the client's frames from the connection's input buffer one at a time,
// checks the mask and the size before any payload byte is needed, unmasks each frame into its
// message and acts on it; reads from the socket only when the buffer holds no whole frame.
//
// Before each frame the reader looks at the send queue: while more than the high-water mark is
// queued for the client, it takes no frame and reads nothing, and the send queue resumes it once
// the queue has drained. A client that sends without reading is then held back by TCP.

#include "websocket/server.hpp"

#include <atomic>
#include <limits>

namespace KorvaWeb {

template <class socket_type>
void SocketServerBase<socket_type>::read_frame(const std::shared_ptr<Connection>& connection, Endpoint& endpoint) {
  handle_frames(connection, endpoint, false);
}

// Every step of the reader starts here: with a connection the server has cut, it reports why and
// stops (whatever ended its wait: the closed socket, or the send queue that woke it).
template <class socket_type>
void SocketServerBase<socket_type>::handle_frames(const std::shared_ptr<Connection>& connection, Endpoint& endpoint,
                                                  bool drained) {
  connection->assert_on_loop();
  for (;;) {
    if (connection->failure()) {
      connection->input_buffer.release();
      report_error(connection, endpoint, connection->failure());
      return;
    }
    if (connection->send_queue.above_high_water()) {
      std::weak_ptr<Connection> weak = connection;
      connection->send_queue.wait_for_room([this, weak, &endpoint] {
        auto paused = weak.lock();
        if (!paused)
          return;
        auto guard = paused->handler_runner->acquire();
        if (guard)
          handle_frames(paused, endpoint, false);
      });
      return;
    }
    std::size_t wanted = 0;
    const FrameStep step = take_frame(connection, endpoint, wanted);
    if (step == FrameStep::taken)
      continue;
    connection->input_buffer.release(wanted);
    if (step == FrameStep::ended)
      return;
    read_more(connection, wanted, std::numeric_limits<std::size_t>::max(), drained,
              [this, connection, &endpoint](const boost::system::error_code& ec, bool drained) {
                if (ec && !connection->failure()) {
                  report_error(connection, endpoint, ec);
                  return;
                }
                handle_frames(connection, endpoint, drained);
              });
    return;
  }
}

// Looks at the frame at the front of the input buffer. A whole frame is taken and handled
// (`taken`, or `ended` when reading stops after it); otherwise `wanted` is set to the bytes still
// missing (`incomplete`). An unmasked frame or one too big ends the reading as soon as its header
// shows it, without waiting for its payload.
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
  const std::size_t frame_size = head_size + 4 + static_cast<std::size_t>(length);
  if (size < frame_size) {
    wanted = frame_size - size;
    return FrameStep::incomplete;
  }
  buffer.consume(head_size);
  return dispatch_frame(connection, endpoint, fin_rsv_opcode, static_cast<std::size_t>(length)) ? FrameStep::taken
                                                                                                 : FrameStep::ended;
}

namespace detail {
// The message of the last whole frame read on this thread. Once nobody holds it any more (the
// handler let go of it), the next whole frame reuses it instead of setting up a new stream; one
// whose buffer grew for a big message is not kept.
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
constexpr std::size_t reused_message_capacity = 16 * 1024;
// A big message's buffer is not kept for reuse once the message has been handled.
inline void keep_message_if_small() {
  std::shared_ptr<Message>& reusable = reusable_message();
  if (reusable && reusable->streambuf.capacity() > reused_message_capacity)
    reusable.reset();
}
} // namespace detail

// The message a frame's payload goes into: a new one for a whole message (FIN set, opcode not 0);
// otherwise the message being assembled, which the first such frame starts.
template <class socket_type>
std::shared_ptr<Message> SocketServerBase<socket_type>::message_for_frame(const std::shared_ptr<Connection>& connection,
                                                                          unsigned char fin_rsv_opcode,
                                                                          std::size_t length) {
  if (frame_is_final(fin_rsv_opcode) && frame_opcode(fin_rsv_opcode) != opcodes::continuation) {
    std::shared_ptr<Message>& reusable = detail::reusable_message();
    if (reusable && detail::held_here_alone(reusable) && reusable->streambuf.capacity() <= detail::reused_message_capacity)
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

// The mask key and payload of one frame lie at the front of the input buffer: unmasks them into
// their message and acts on the frame. False when reading stops (a close frame).
template <class socket_type>
bool SocketServerBase<socket_type>::dispatch_frame(const std::shared_ptr<Connection>& connection, Endpoint& endpoint,
                                                   unsigned char fin_rsv_opcode, std::size_t length) {
  std::shared_ptr<Message> target = message_for_frame(connection, fin_rsv_opcode, length);
  const unsigned char* mask_and_payload = connection->input_buffer.data();
  auto out = target->streambuf.prepare(length);
  unmask(mask_and_payload + 4, length, mask_and_payload, static_cast<unsigned char*>(out.data()));
  target->streambuf.commit(length);
  connection->input_buffer.consume(4 + length);

  switch (frame_opcode(fin_rsv_opcode)) {
  case opcodes::close:
    answer_close(connection, endpoint, *target, length);
    return false;
  case opcodes::ping:
    answer_ping(connection, endpoint, *target, fin_rsv_opcode, length);
    return true;
  case opcodes::pong:
    connection->restart_idle_timer();
    if (endpoint.on_pong)
      endpoint.on_pong(connection);
    return true;
  default:
    if (frame_is_final(fin_rsv_opcode)) {
      connection->restart_idle_timer();
      if (endpoint.on_message)
        endpoint.on_message(connection, target);
      connection->fragmented_message.reset();
      detail::keep_message_if_small();
    }
    // Otherwise the payload waits in fragmented_message for the rest of its message.
    return true;
  }
}

// A close frame: its status (the first two payload bytes, 0 without them) and reason (the rest)
// are echoed, and the connection is reported closed. An empty close frame is answered with an
// empty one: a status 0 is no valid close code, and clients fail on it.
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
  auto pong = std::make_shared<SendStream>();
  auto received = target.streambuf.data();
  pong->write(static_cast<const char*>(received.data()) + (received.size() - length),
              static_cast<std::streamsize>(length));
  connection->send(pong, nullptr, static_cast<unsigned char>(fin_rsv_opcode + 1));
  if (endpoint.on_ping)
    endpoint.on_ping(connection);
}

} // namespace KorvaWeb
