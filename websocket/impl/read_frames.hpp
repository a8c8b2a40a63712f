#pragma once
// The frame reader's loop: takes the client's frames from the connection's input buffer one at a
// time (impl/dispatch_frame.hpp), and reads from the socket only when the buffer holds no whole
// frame. The payload of a frame too big for the buffer is read straight into its message, so that
// a message costs its own size and no read buffer of that size beside it.
//
// Before each frame the reader looks at its connection:
//   - cut by the server (queue limit, memory budget, message time-out): it reports why and stops;
//   - more than the high-water mark queued for the client: it takes no frame and reads nothing
//     until the send queue has drained (which resumes it), so that a client that sends without
//     reading is held back by TCP; meanwhile it holds no more read buffer than its unread bytes;
//   - a turn is over: after a message has been handed to on_message, or after frames_per_turn
//     frames, the reader lets every other connection have its turn before it goes on, so that one
//     client's burst of small requests holds no one else back.
// While it waits for the client in the middle of a frame or a message, the message timer runs.

#include "websocket/impl/dispatch_frame.hpp"
#include "websocket/server.hpp"

#include <algorithm>
#include <limits>

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
    if (connection->failure()) {
      stop_reading(connection);
      report_error(connection, endpoint, connection->failure());
      return;
    }
    if (connection->send_queue.above_high_water()) {
      connection->waiting_for_client(false);
      connection->input_buffer.shrink(); // only the bytes not yet taken stay
      connection->count_reading();
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
    if (connection->payload_read) {
      read_payload(connection, endpoint, drained);
      return;
    }
    std::size_t wanted = 0;
    const FrameStep step = frames < detail::frames_per_turn ? take_frame(connection, endpoint, wanted)
                                                            : FrameStep::delivered;
    if (step == FrameStep::taken || step == FrameStep::payload)
      continue;
    if (step == FrameStep::ended) {
      stop_reading(connection);
      return;
    }
    if (step == FrameStep::delivered) {
      if (connection->input_buffer.size() == 0 && !connection->payload_read) {
        frames = 0; // nothing more is buffered: the next read waits in line anyway
        continue;
      }
      boost::asio::post(connection->executor, [this, connection, &endpoint, drained] {
        auto guard = connection->handler_runner->acquire();
        if (guard)
          handle_frames(connection, endpoint, drained);
      });
      return;
    }
    connection->input_buffer.release(wanted);
    connection->count_reading();
    connection->waiting_for_client(connection->input_buffer.size() != 0 || connection->fragmented_message);
    read_more(connection, wanted, std::numeric_limits<std::size_t>::max(), drained,
              [this, connection, &endpoint](const boost::system::error_code& ec, bool drained) {
                if (ec && !connection->failure()) {
                  stop_reading(connection);
                  report_error(connection, endpoint, ec);
                  return;
                }
                handle_frames(connection, endpoint, drained);
              });
    return;
  }
}

// One read of the payload that goes straight into its message; the frame is handled once the
// whole payload is in.
template <class socket_type>
void SocketServerBase<socket_type>::read_payload(const std::shared_ptr<Connection>& connection, Endpoint& endpoint,
                                                 bool drained) {
  connection->waiting_for_client(true);
  when_readable(connection, drained, [this, connection, &endpoint](const boost::system::error_code& ec) {
    auto& read = *connection->payload_read;
    const std::size_t room = std::min(read.missing, detail::payload_read_size);
    if (ec || !connection->count_reading(room)) {
      if (!connection->failure()) {
        stop_reading(connection);
        report_error(connection, endpoint, ec);
      } else {
        handle_frames(connection, endpoint, false); // the budget cut it: the reader says why
      }
      return;
    }
    unsigned char* into = read.target->extend(room);
    boost::system::error_code read_error;
    const std::size_t bytes = connection->socket->read_some(boost::asio::buffer(into, room), read_error);
    read.target->shrink(room - bytes);
    if (read_error == boost::asio::error::would_block || read_error == boost::asio::error::try_again) {
      connection->count_reading();
      read_payload(connection, endpoint, true);
      return;
    }
    if (read_error) {
      if (!connection->failure()) {
        stop_reading(connection);
        report_error(connection, endpoint, read_error);
      } else {
        handle_frames(connection, endpoint, false);
      }
      return;
    }
    connection->progress();
    unmask(into, bytes, rotated_key(read.key, read.length - read.missing), into);
    read.missing -= bytes;
    connection->count_reading();
    if (!text_checked(connection, read.fin_rsv_opcode, into, bytes, read.missing == 0)) {
      refuse_frame(connection, endpoint, error::invalid_utf8);
      stop_reading(connection);
      return;
    }
    const bool drained_now = bytes < room;
    if (read.missing != 0) {
      read_payload(connection, endpoint, drained_now);
      return;
    }
    const auto done = std::move(read);
    connection->payload_read.reset();
    const FrameStep step = act_on_frame(connection, endpoint, done.target, done.fin_rsv_opcode, done.length);
    if (step == FrameStep::ended) {
      stop_reading(connection);
      return;
    }
    handle_frames(connection, endpoint, drained_now);
  });
}

// Reading has stopped for good: everything the reader held goes, and counts no more.
template <class socket_type>
void SocketServerBase<socket_type>::stop_reading(const std::shared_ptr<Connection>& connection) {
  connection->waiting_for_client(false);
  connection->input_buffer.release();
  connection->fragmented_message.reset();
  connection->payload_read.reset();
  connection->count_reading();
}

} // namespace KorvaWeb
