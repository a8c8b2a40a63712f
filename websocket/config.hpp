#pragma once
// The server's settings: a plain record whose fields are set before start(), each with the
// default the server's constructor gives it.

#include <cstddef>
#include <limits>
#include <string>

namespace KorvaWeb {

struct Config {
  unsigned short port = 80;
  // Threads that run the event loop, the caller of start() included; 0: start() only listens.
  // More than 1 is refused by start(): a connection's reader, timers and send queue share state
  // that only one event-loop thread may touch.
  std::size_t thread_pool_size = 1;
  // Seconds to receive the upgrade request, and again to write the 101 response; 0: no limit.
  long timeout_request = 5;
  // Seconds of silence before the server closes an open connection; 0: never.
  long timeout_idle = 0;
  // Seconds a connection reported closed or failed may go without its client taking a byte of
  // what is still queued for it before it is cut (socket reset, queue freed); a client that reads
  // gets everything, then a FIN. 0: no limit.
  long timeout_close = 5;
  // While more than this many bytes are queued for a connection, its next frame is not read, so
  // that a client that sends without reading is slowed down by TCP instead of growing its queue;
  // 0: read regardless.
  std::size_t send_queue_high_water = 0;
  // A frame that would take a connection's queue over this many bytes cuts the connection:
  // socket closed, queue freed, error::send_queue_limit (ENOBUFS) to on_error; 0: no limit.
  std::size_t send_queue_limit = 0;
  // Seconds a started frame or fragmented message may go without a byte of it (bytes of control
  // frames do not count) before its connection is cut (error::message_stalled); 0: no limit. An
  // idle connection has no such limit.
  long timeout_message = 0;
  // Bytes the server may hold for all its clients together (messages being received, frames
  // queued; see websocket/budget.hpp). When a read or a frame would pass it, the connection whose
  // cut frees the most is cut (error::memory_budget); 0: no limit.
  std::size_t memory_budget = 0;
  // Bytes that broadcasts handed to the event loop by other threads may hold while it has not
  // taken them (a loop held up inside a handler), beside memory_budget: reaching it cuts no
  // connection, the broadcast waits or drops the oldest instead (websocket/handover.hpp); 0: no
  // limit.
  std::size_t handover_reserve = 0;
  // Connections accepted and not yet ended, handshakes under way included (those that gave way
  // to another no longer count). At the limit a newcomer whose request head is in is let in when an
  // address (or the "no address yet" key of heads still to come) holds at least two more
  // connections than the newcomer's own; that address's oldest connection then gives way, with
  // close 1013 "try again later" (error::room_for_other_address) once it is open. Otherwise the
  // newcomer is answered "503 Service Unavailable" instead of the 101 and closed. Newcomers waiting
  // beyond the limit are bounded too (impl/admission.hpp); 0: no limit.
  std::size_t max_connections = 0;
  // Send and receive buffers of the listening socket and so of every accepted one (SO_SNDBUF,
  // SO_RCVBUF; the kernel keeps twice the size asked for), in place of the kernel's own sizing,
  // which lets a client that does not read make the kernel hold megabytes for it; 0: the kernel's
  // sizing. What the kernel holds of a connection's sent bytes counts against memory_budget up to
  // twice send_buffer_size (and one more of its buffers). The receive buffer is not counted: it
  // fills only while the server does not read, and stays at twice its size per connection.
  // (Loopback sends in one segment up to 64 KiB, and a client acknowledges a lone segment late: a
  // send buffer of less than 64 KiB asked slows large replies down many times.)
  int send_buffer_size = 0;
  int receive_buffer_size = 0;
  // Largest accepted message in bytes (inflated, for a compressed one).
  std::size_t max_message_size = std::numeric_limits<std::size_t>::max();
  // permessage-deflate (RFC 7692): the first acceptable offer of a client is agreed on, with no
  // context takeover either way (permessage_deflate.hpp); messages from compress_min_size to
  // compress_max_size go out compressed, and compressed ones come in inflated. Off: no offer is
  // ever agreed on, and the handshake's answer is as it always was.
  bool permessage_deflate = false;
  // Local address to bind (an IPv4 or IPv6 literal); empty: every IPv4 address.
  std::string address;
  bool reuse_address = true;
};

} // namespace KorvaWeb
