#pragma once
// The incoming stage of permessage-deflate in the reader's loop: a piece of a compressed message
// (the frame reader's Step::compressed) is inflated into its message (inflate_stage.hpp), with the
// budget's leave for every growth and the message limit on the inflated size, and the message is
// acted on like any other once it is whole. One step inflates at most what inflate_step allows;
// the rest waits for a later turn of the event loop, so that a message that inflates to megabytes
// holds no other client back.
//
//   the message inflates past max_message_size    close 1009 "message too big", on_error first
//   its bytes do not inflate                       close 1007 "invalid compressed data"
//   its text is not UTF-8                          close 1007 "invalid UTF-8"
//   the budget has no room for its growth          the connection is cut (error::memory_budget)

#include "websocket/server.hpp"

#include <new>

namespace KorvaWeb {

template <class socket_type>
typename SocketServerBase<socket_type>::AfterFrame
SocketServerBase<socket_type>::inflate_message(const std::shared_ptr<Connection>& connection, Endpoint& endpoint) {
  FrameReader& reader = connection->frame_reader;
  const FrameReader::Piece piece = reader.compressed_piece(connection->input_buffer);
  auto may_grow = [&connection](std::size_t bytes) { return connection->limits.grow(bytes); };
  InflateResult result{InflateStatus::refused, 0, 0};
  try {
    result = connection->inflate.inflate(connection->compression->inflate, connection->deflate->inflate_window_bits(),
                                         piece.data, piece.size, piece.last, reader.compressed_message(),
                                         config.max_message_size, reader.text_check(), may_grow);
  } catch (const std::bad_alloc&) {
    connection->cut(error::memory_budget);
  }
  if (connection->cut_reason())
    return AfterFrame::next; // cut for want of room: the loop says why, and lets go of the message
  reader.take_compressed(connection->input_buffer, result.consumed, result.status == InflateStatus::need_room);
  switch (result.status) {
  case InflateStatus::need_input:
    return AfterFrame::next;
  case InflateStatus::need_room:
    return AfterFrame::later;
  case InflateStatus::finished:
    return act_on_frame(connection, endpoint, reader.finish_compressed());
  case InflateStatus::too_big:
    refuse_frame(connection, endpoint, error::message_too_big);
    return AfterFrame::ended;
  case InflateStatus::corrupt:
    refuse_frame(connection, endpoint, error::invalid_compressed_data);
    return AfterFrame::ended;
  case InflateStatus::invalid_utf8:
    refuse_frame(connection, endpoint, error::invalid_utf8);
    return AfterFrame::ended;
  case InflateStatus::refused:
    break;
  }
  return AfterFrame::next;
}

} // namespace KorvaWeb
