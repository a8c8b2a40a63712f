#pragma once
// Acting on one whole client frame: a message to on_message, a ping answered with a pong, a pong
// to on_pong, a close echoed. A close frame with a code a client may not send, or a reason that is
// not UTF-8, fails the connection instead (close 1002 or 1007), as does every frame the reader
// refuses (refuse_frame, impl/closing.hpp).

#include "websocket/server.hpp"

namespace KorvaWeb {

// The frame's payload is the last `length` bytes of its message.
template <class socket_type>
typename SocketServerBase<socket_type>::AfterFrame
SocketServerBase<socket_type>::act_on_frame(const std::shared_ptr<Connection>& connection, Endpoint& endpoint,
                                            FrameReader::Frame frame) {
  const std::shared_ptr<Message>& target = frame.message;
  switch (frame_opcode(frame.fin_rsv_opcode)) {
  case opcodes::close:
    answer_close(connection, endpoint, *target, frame.length);
    return AfterFrame::ended;
  case opcodes::ping:
    answer_ping(connection, endpoint, *target, frame.fin_rsv_opcode, frame.length);
    return AfterFrame::next;
  case opcodes::pong:
    connection->limits.restart_idle_timer();
    if (endpoint.on_pong)
      endpoint.on_pong(connection);
    return AfterFrame::next;
  default:
    if (!frame_is_final(frame.fin_rsv_opcode))
      return AfterFrame::next; // the payload waits in fragmented_message for the rest of its message
    connection->limits.restart_idle_timer();
    // A message counts against the budget while it is being received; handed to on_message, its
    // bytes are the handler's (content() hands them over), and it counts no more.
    connection->delivering = true;
    connection->limits.settle();
    if (endpoint.on_message)
      endpoint.on_message(connection, target);
    connection->delivering = false;
    connection->fragmented_message.reset();
    connection->frame_reader.release_if_large(target);
    connection->limits.settle();
    return AfterFrame::turn_over;
  }
}

// A close frame: its status (the first two payload bytes, 0 without them) and reason (the rest)
// are echoed, and the connection is reported closed. An empty close frame is answered with an
// empty one: a status 0 is no valid close code, and clients fail on it. A code that a client may
// not send, or a reason that is not UTF-8, fails the connection instead.
template <class socket_type>
void SocketServerBase<socket_type>::answer_close(const std::shared_ptr<Connection>& connection, Endpoint& endpoint,
                                                 Message& target, std::size_t length) {
  connection->limits.restart_idle_timer();
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
  connection->limits.restart_idle_timer();
  auto pong = std::make_shared<SendStream>(std::string(target.last(length), length));
  connection->send(pong, nullptr, static_cast<unsigned char>(fin_rsv_opcode + 1));
  if (endpoint.on_ping)
    endpoint.on_ping(connection);
}

} // namespace KorvaWeb
