#pragma once
// Every way in which the server gives up on a connection, in one list. Each failure is raised
// where it arises and reaches the application in one of these ways:
//
//   failure            what the client sees                      what the application sees
//   message_too_big    close 1009 "message too big"              on_error (generic:90, EMSGSIZE),
//                                                                then on_close 1009
//   room_for_other_    close 1013 "try again later"              on_error, then on_close 1013
//   address
//   unmasked_frame     close 1002 "message from client not       on_close 1002 with that reason
//                      masked"
//   reserved_bits ...  close 1002, or 1007 for invalid_utf8 and   on_close with that status and
//   invalid_utf8       invalid_compressed_data, with the         reason; nothing of the frame
//                      failure's reason (error.cpp)              reaches on_message
//   send_queue_limit   a reset: the connection is cut, and what  on_error (generic:105, ENOBUFS),
//   memory_budget      was not yet sent is dropped               unless it had been reported
//   message_stalled                                              already (closed or failed); the
//   close_timeout                                                callback of the frame being
//                                                                written, and of every frame sent
//                                                                later, hears it too (frames that
//                                                                were waiting are dropped without
//                                                                theirs); close_timeout is heard
//                                                                as operation_aborted
//   head_too_big       the TCP connection closed, no answer      nothing: the connection never
//   too_many_headers                                             reached an endpoint
//   malformed_head
//   connection_limit   "503 Service Unavailable" instead of 101  nothing
//
// message_too_big, send_queue_limit and close_timeout report the system codes that the connection
// log has always shown for them; make_error_code() gives those. The others belong to
// websocket_category(), whose messages say what went wrong. The server's own decisions look at
// this enum, never at the codes: a kernel's ENOBUFS or a cancelled operation is not one of these.

#include <boost/system/error_code.hpp>

#include <type_traits>

namespace KorvaWeb {

enum class error {
  message_too_big = 1, // a frame would take its message over max_message_size
  send_queue_limit,    // a frame would take the connection's send queue over its limit
  close_timeout,       // reported ended, its client took nothing for the close time-out
  unmasked_frame,      // a client sent a frame without a mask
  head_too_big,        // the upgrade request's head did not end within max_request_head_size
  too_many_headers,    // the upgrade request has more than max_header_fields header lines
  malformed_head,      // the upgrade request's first line is not "METHOD TARGET HTTP/version"
  memory_budget,       // the server's memory budget would be passed and this connection held the most
  message_stalled,     // no byte of a started frame or message came for timeout_message seconds
  connection_limit,    // max_connections were open when the connection came
  // Frames that the protocol forbids (with no extension agreed on, any reserved bit):
  reserved_bits,            // RSV1, RSV2 or RSV3 set
  reserved_opcode,          // opcodes 3-7 and 11-15
  fragmented_control_frame, // a close, ping or pong without FIN
  control_frame_too_long,   // a close, ping or pong with more than 125 bytes
  unexpected_continuation,  // a continuation frame with no message open
  message_interrupted,      // a new text or binary frame while a message is open
  one_byte_close,           // a close frame whose payload is one byte
  invalid_close_code,       // a close code that a client may not send
  invalid_utf8,             // a text message or close reason that is not UTF-8
  // At the limit of connections, a newcomer of an address holding at least two fewer connections
  // than this one's address came in its place:
  room_for_other_address,
  // With permessage-deflate: a compressed message whose bytes do not inflate.
  invalid_compressed_data,
};

const boost::system::error_category& websocket_category() noexcept;

boost::system::error_code make_error_code(error failure) noexcept;

// The close frame that a failure ends the connection with, if any.
struct ClosingFrame {
  int status = 0; // 0: the connection ends without a close frame
  const char* reason = "";
  bool error_first = false; // on_error is told before the close is reported
};
ClosingFrame closing_frame(error failure) noexcept;

} // namespace KorvaWeb

namespace boost {
namespace system {
template <>
struct is_error_code_enum<KorvaWeb::error> : std::true_type {};
} // namespace system
} // namespace boost
