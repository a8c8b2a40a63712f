#pragma once
// The frame reader's loop: the connection's FrameReader takes the client's frames from its input
// buffer one at a time, each whole frame is acted on (impl/dispatch_frame.hpp), and the socket is
// read only when the buffer holds no whole frame, or straight into the message of a data frame
// that is not all there (read_payload).
//
// Before each frame the loop looks at its connection:
//   - cut by the server (queue limit, memory budget, message time-out): it reports why and stops;
//     so it does, without a report, once its connection has been reported ended elsewhere (it made
//     room for another address);
//   - more than the high-water mark queued for the client: it takes no frame and reads nothing
//     until the send queue has drained (which resumes it), so that a client that sends without
//     reading is held back by TCP; meanwhile it holds no more read buffer than its unread bytes;
//   - its turn is over: after a message has been handed to on_message, or after frames_per_turn
//     frames, the loop lets every other connection have its turn before it goes on, so that one
//     client's burst of small requests holds no one else back.
// While it waits for the client in the middle of a frame or a message, the message timer runs;
// only bytes of data frames count as the message going on.

#include "websocket/impl/dispatch_frame.hpp"
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
  FrameReader& reader = connection->frame_reader;
  for (unsigned frames = 0;; ++frames) {
    if (connection->reported || connection->cut_reason()) {
      stop_reading(connection);
      if (!connection->reported)
        report_error(connection, endpoint, *connection->cut_reason());
      return;
    }
    if (connection->send_queue.above_high_water()) {
      wait_for_room(connection, endpoint);
      return;
    }
    if (reader.reading_payload()) {
      read_payload(connection, endpoint, drained);
      return;
    }
    if (frames == detail::frames_per_turn) {
      next_turn(connection, endpoint);
      return;
    }
    const FrameReader::Step step =
        reader.take(connection->input_buffer, connection->fragmented_message, config.max_message_size);
    if (const std::size_t arrived = reader.data_arrived())
      connection->limits.progress(arrived);
    switch (step) {
    case FrameReader::Step::payload:
      continue; // read_payload, above
    case FrameReader::Step::refused:
      refuse_frame(connection, endpoint, reader.refusal());
      stop_reading(connection);
      return;
    case FrameReader::Step::frame:
      switch (act_on_frame(connection, endpoint, reader.taken_frame())) {
      case AfterFrame::next:
        continue;
      case AfterFrame::ended:
        stop_reading(connection);
        return;
      case AfterFrame::turn_over:
        if (connection->input_buffer.size() == 0) {
          frames = 0; // nothing more is buffered: the next read waits in line anyway
          continue;
        }
        next_turn(connection, endpoint);
        return;
      }
      return;
    case FrameReader::Step::incomplete:
      break;
    }
    const std::size_t wanted = reader.wanted();
    connection->input_buffer.trim(wanted);
    connection->limits.grow();
    connection->limits.waiting_for_client(connection->input_buffer.size() != 0 || connection->fragmented_message);
    read_more(connection, wanted, std::numeric_limits<std::size_t>::max(), drained,
              [this, connection, &endpoint](const boost::system::error_code& ec, bool drained) {
                if (ec && !connection->cut_reason() && !connection->reported) {
                  stop_reading(connection);
                  report_error(connection, endpoint, ec);
                  return;
                }
                handle_frames(connection, endpoint, drained); // the loop says why, once
              });
    return;
  }
}

// One read straight into the message of a data frame that is not all there; the frame is acted on
// once its whole payload is in.
template <class socket_type>
void SocketServerBase<socket_type>::read_payload(const std::shared_ptr<Connection>& connection, Endpoint& endpoint,
                                                 bool drained) {
  connection->limits.waiting_for_client(true);
  connection->input_buffer.trim(); // taken: the payload's reads go past it
  when_readable(connection, drained, [this, connection, &endpoint](const boost::system::error_code& ec) {
    // The connection may have been cut while the reader waited: it holds nothing of the frame then.
    if (ec || connection->cut_reason() || connection->reported) {
      if (!connection->cut_reason() && !connection->reported) {
        stop_reading(connection);
        report_error(connection, endpoint, ec);
      } else {
        handle_frames(connection, endpoint, false); // the loop says why, once
      }
      return;
    }
    FrameReader& reader = connection->frame_reader;
    if (!connection->limits.grow(reader.payload_growth(detail::payload_read_size))) {
      handle_frames(connection, endpoint, false); // the budget cut it: the loop says why
      return;
    }
    std::size_t room = 0;
    unsigned char* into = nullptr;
    try {
      into = reader.payload_room(detail::payload_read_size, room);
    } catch (const std::bad_alloc&) {
      connection->cut(error::memory_budget);
      handle_frames(connection, endpoint, false);
      return;
    }
    boost::system::error_code read_error;
    const std::size_t bytes = connection->socket->read_some(boost::asio::buffer(into, room), read_error);
    const FrameReader::Step step = reader.payload_read(into, room, bytes);
    if (const std::size_t arrived = reader.data_arrived())
      connection->limits.progress(arrived);
    connection->limits.grow();
    if (read_error == boost::asio::error::would_block || read_error == boost::asio::error::try_again) {
      read_payload(connection, endpoint, true);
      return;
    }
    if (read_error) {
      stop_reading(connection);
      report_error(connection, endpoint, read_error);
      return;
    }
    if (step == FrameReader::Step::refused) {
      refuse_frame(connection, endpoint, reader.refusal());
      stop_reading(connection);
      return;
    }
    const bool drained_now = bytes < room;
    if (step == FrameReader::Step::payload) {
      read_payload(connection, endpoint, drained_now);
      return;
    }
    if (act_on_frame(connection, endpoint, reader.taken_frame()) == AfterFrame::ended) {
      stop_reading(connection);
      return;
    }
    handle_frames(connection, endpoint, drained_now);
  });
}

// More than the high-water mark is queued for the client: the reader takes nothing more until the
// queue has drained to the mark (or failed), and meanwhile holds only the bytes not yet taken.
template <class socket_type>
void SocketServerBase<socket_type>::wait_for_room(const std::shared_ptr<Connection>& connection, Endpoint& endpoint) {
  connection->limits.waiting_for_client(false);
  connection->input_buffer.shrink();
  connection->limits.grow();
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
  connection->input_buffer.trim();
  connection->fragmented_message.reset();
  connection->frame_reader.stop();
  connection->limits.grow();
}

} // namespace KorvaWeb
