#pragma once
// The frame reader's loop: the connection's FrameReader takes the client's frames from its input
// buffer one at a time, each whole frame is acted on (impl/dispatch_frame.hpp), a compressed
// message is inflated as its bytes come (impl/inflate_message.hpp), and the socket is read only
// when the buffer holds no whole frame, or straight into the message of a data frame that is not
// all there (read_payload).
//
// Before each frame the loop looks at its connection:
//   - cut by the server (queue limit, memory budget, message time-out): it reports why and stops;
//     so it does, without a report, once its connection has been reported ended elsewhere (it made
//     room for another address);
//   - more than the high-water mark queued for the client: it takes no frame and reads nothing
//     until the send queue has drained (which resumes it), so that a client that sends without
//     reading is held back by TCP; meanwhile it holds no more read buffer than its unread bytes;
//   - its turn is over: after a message has been handed to on_message, after frames_per_turn
//     frames, or after a step of inflating, the loop lets every other connection have its turn
//     before it goes on, so that one client's burst of small requests holds no one else back.
// While it waits for the client in the middle of a frame or a message, the message timer runs;
// only bytes of data frames count as the message going on.
//
// What the reader holds counts against the memory budget: it grows only with the budget's leave
// (connection->limits.grow(bytes), where a read or a message's storage grows), and what it let go
// of is counted when it next waits for the client (limits.settle()).

#include "websocket/impl/dispatch_frame.hpp"
#include "websocket/impl/inflate_message.hpp"
#include "websocket/server.hpp"

#include <algorithm>
#include <limits>
#include <new>

namespace KorvaWeb {

namespace detail {
// Frames one connection may have handled before the others get a turn (a message ends a turn).
constexpr unsigned frames_per_turn = 16;
// The most that one read puts into a message whose payload is read straight into it.
constexpr std::size_t payload_read_size = 256 * 1024;
} // namespace detail

template <class socket_type>
void SocketServerBase<socket_type>::read_frame(const std::shared_ptr<Connection>& connection, Endpoint& endpoint) {
  handle_frames(connection, endpoint, false);
}

template <class socket_type>
void SocketServerBase<socket_type>::handle_frames(const std::shared_ptr<Connection>& connection, Endpoint& endpoint,
                                                  bool drained) {
  connection->assert_on_loop();
  for (unsigned frames = 0;; ++frames) {
    if (reading_ended(connection, endpoint))
      return;
    if (connection->send_queue.above_high_water()) {
      wait_for_room(connection, endpoint);
      return;
    }
    if (connection->frame_reader.reading_payload()) {
      read_payload(connection, endpoint, drained);
      return;
    }
    if (frames == detail::frames_per_turn) {
      next_turn(connection, endpoint);
      return;
    }
    switch (take_frame(connection, endpoint)) {
    case AfterFrame::next:
      continue;
    case AfterFrame::turn_over:
      if (connection->input_buffer.size() == 0) {
        frames = 0; // nothing more is buffered: the next read waits in line anyway
        continue;
      }
      next_turn(connection, endpoint);
      return;
    case AfterFrame::later:
      next_turn(connection, endpoint);
      return;
    case AfterFrame::ended:
      stop_reading(connection);
      return;
    case AfterFrame::needs_bytes:
      read_frame_bytes(connection, endpoint, drained);
      return;
    }
  }
}

// One step of the frame reader over the input buffer, and what it means for the loop.
template <class socket_type>
typename SocketServerBase<socket_type>::AfterFrame
SocketServerBase<socket_type>::take_frame(const std::shared_ptr<Connection>& connection, Endpoint& endpoint) {
  FrameReader& reader = connection->frame_reader;
  const FrameReader::Step step = reader.take(connection->input_buffer, connection->fragmented_message,
                                             config.max_message_size, connection->deflate.has_value());
  if (const std::size_t arrived = reader.data_arrived())
    connection->limits.progress(arrived);
  switch (step) {
  case FrameReader::Step::frame:
    return act_on_frame(connection, endpoint, reader.taken_frame());
  case FrameReader::Step::compressed:
    return inflate_message(connection, endpoint);
  case FrameReader::Step::payload:
    return AfterFrame::next; // read_payload, in the loop
  case FrameReader::Step::refused:
    refuse_frame(connection, endpoint, reader.refusal());
    return AfterFrame::ended;
  case FrameReader::Step::incomplete:
    break;
  }
  return AfterFrame::needs_bytes;
}

// The buffer holds no whole frame: what the reader let go of is counted, and the socket is read for
// the bytes the next step wants.
template <class socket_type>
void SocketServerBase<socket_type>::read_frame_bytes(const std::shared_ptr<Connection>& connection,
                                                     Endpoint& endpoint, bool drained) {
  const std::size_t wanted = connection->frame_reader.wanted();
  connection->input_buffer.release_unused(wanted);
  connection->limits.settle();
  connection->limits.waiting_for_client(connection->reader_started());
  read_more(connection, wanted, std::numeric_limits<std::size_t>::max(), drained,
            [this, connection, &endpoint](const boost::system::error_code& ec, bool drained) {
              if (!reading_ended(connection, endpoint, ec))
                handle_frames(connection, endpoint, drained);
            });
}

// One read straight into the message of a data frame that is not all there; the frame is acted on
// once its whole payload is in.
template <class socket_type>
void SocketServerBase<socket_type>::read_payload(const std::shared_ptr<Connection>& connection, Endpoint& endpoint,
                                                 bool drained) {
  connection->limits.waiting_for_client(true);
  connection->input_buffer.release_unused(); // taken: the payload's reads go past it
  connection->limits.settle();
  when_readable(connection, drained, [this, connection, &endpoint](const boost::system::error_code& ec) {
    // The connection may have been cut while the reader waited: it holds nothing of the frame then.
    if (reading_ended(connection, endpoint, ec))
      return;
    boost::system::error_code read_error;
    std::size_t room = 0, bytes = 0;
    const FrameReader::Step step = read_into_payload(connection, room, bytes, read_error);
    if (read_error == boost::asio::error::would_block || read_error == boost::asio::error::try_again) {
      read_payload(connection, endpoint, true);
      return;
    }
    if (reading_ended(connection, endpoint, read_error))
      return;
    const bool drained_now = bytes < room;
    switch (step) {
    case FrameReader::Step::payload:
      read_payload(connection, endpoint, drained_now);
      return;
    case FrameReader::Step::refused:
      refuse_frame(connection, endpoint, connection->frame_reader.refusal());
      stop_reading(connection);
      return;
    default:
      break;
    }
    if (act_on_frame(connection, endpoint, connection->frame_reader.taken_frame()) == AfterFrame::ended) {
      stop_reading(connection);
      return;
    }
    handle_frames(connection, endpoint, drained_now);
  });
}

// Reads what the socket holds into the message of the frame whose payload is read straight into
// it, with the budget's leave for its growth, and gives the bytes to the frame reader: its step,
// with the bytes read and how many might have been (`room`). A budget that has no room cuts the
// connection (nothing is read then, and `ec` says so).
template <class socket_type>
FrameReader::Step SocketServerBase<socket_type>::read_into_payload(const std::shared_ptr<Connection>& connection,
                                                                   std::size_t& room, std::size_t& bytes,
                                                                   boost::system::error_code& ec) {
  FrameReader& reader = connection->frame_reader;
  unsigned char* into = nullptr;
  try {
    if (connection->limits.grow(reader.payload_growth(detail::payload_read_size)))
      into = reader.payload_room(detail::payload_read_size, room);
  } catch (const std::bad_alloc&) {
    connection->cut(error::memory_budget);
  }
  if (!into) {
    ec = make_error_code(*connection->cut_reason());
    return FrameReader::Step::refused;
  }
  bytes = connection->socket->read_some(boost::asio::buffer(into, room), ec);
  const FrameReader::Step step = reader.payload_read(into, room, bytes);
  if (const std::size_t arrived = reader.data_arrived())
    connection->limits.progress(arrived);
  return step;
}

// Reading ends when the connection was cut (its reader reports why, once) or has been reported
// ended elsewhere (it made room for another address), or when a read failed (`ec`, reported). True
// when it has ended: the reader has let go of everything.
template <class socket_type>
bool SocketServerBase<socket_type>::reading_ended(const std::shared_ptr<Connection>& connection, Endpoint& endpoint,
                                                  const boost::system::error_code& ec) {
  if (!ec && !connection->cut_reason() && !connection->reported)
    return false;
  stop_reading(connection);
  if (!connection->reported)
    report_error(connection, endpoint,
                 connection->cut_reason() ? make_error_code(*connection->cut_reason()) : ec);
  return true;
}

// More than the high-water mark is queued for the client: the reader takes nothing more until the
// queue has drained to the mark (or failed), and meanwhile holds only the bytes not yet taken.
template <class socket_type>
void SocketServerBase<socket_type>::wait_for_room(const std::shared_ptr<Connection>& connection, Endpoint& endpoint) {
  connection->limits.waiting_for_client(false);
  connection->input_buffer.shrink_to_unread();
  connection->limits.settle();
  std::weak_ptr<Connection> weak = connection;
  connection->send_queue.wait_for_room([this, weak, &endpoint] {
    auto paused = weak.lock();
    if (!paused)
      return;
    auto guard = paused->handler_runner->acquire();
    if (guard)
      handle_frames(paused, endpoint, false);
  });
}

// The connection's turn is over: it goes on behind the handlers that are waiting. Its next read
// goes ahead at once: whatever the client sent meanwhile may have been signalled to nobody.
template <class socket_type>
void SocketServerBase<socket_type>::next_turn(const std::shared_ptr<Connection>& connection, Endpoint& endpoint) {
  boost::asio::post(connection->executor, [this, connection, &endpoint] {
    auto guard = connection->handler_runner->acquire();
    if (guard)
      handle_frames(connection, endpoint, false);
  });
}

// Reading has stopped for good: everything the reader held goes, and counts no more.
template <class socket_type>
void SocketServerBase<socket_type>::stop_reading(const std::shared_ptr<Connection>& connection) {
  connection->limits.waiting_for_client(false);
  connection->drop_reader_holdings();
  connection->limits.settle();
}

} // namespace KorvaWeb
