#include "websocket/error.hpp"

#include <boost/asio/error.hpp>

#include <cerrno>
#include <string>

namespace KorvaWeb {

namespace {

struct Failure {
  error value;
  const char* message;      // the category's text for it
  ClosingFrame closing;     // the close frame the connection ends with, if any
};

// One row per failure, in the enum's order.
constexpr Failure failures[] = {
    {error::message_too_big, "message too big", {1009, "message too big", true}},
    {error::send_queue_limit, "send queue over its limit", {}},
    {error::close_timeout, "close time-out", {}},
    {error::unmasked_frame, "message from client not masked", {1002, "message from client not masked"}},
    {error::head_too_big, "request head too big", {}},
    {error::too_many_headers, "too many header lines", {}},
    {error::malformed_head, "malformed request head", {}},
    {error::memory_budget, "memory budget of the service exhausted", {}},
    {error::message_stalled, "message stalled", {}},
    {error::connection_limit, "too many connections", {}},
    {error::reserved_bits, "reserved bits set", {1002, "reserved bits set"}},
    {error::reserved_opcode, "reserved opcode", {1002, "reserved opcode"}},
    {error::fragmented_control_frame, "fragmented control frame", {1002, "fragmented control frame"}},
    {error::control_frame_too_long, "control frame too long", {1002, "control frame too long"}},
    {error::unexpected_continuation, "continuation frame without a message",
     {1002, "continuation frame without a message"}},
    {error::message_interrupted, "new message before the last one ended",
     {1002, "new message before the last one ended"}},
    {error::one_byte_close, "close frame with a one-byte payload", {1002, "close frame with a one-byte payload"}},
    {error::invalid_close_code, "invalid close code", {1002, "invalid close code"}},
    {error::invalid_utf8, "invalid UTF-8", {1007, "invalid UTF-8"}},
    {error::room_for_other_address, "closed to let in a client of an address with fewer connections",
     {1013, "try again later", true}},
    {error::invalid_compressed_data, "invalid compressed data", {1007, "invalid compressed data"}},
};

const Failure* find(int value) noexcept {
  for (const Failure& failure : failures)
    if (static_cast<int>(failure.value) == value)
      return &failure;
  return nullptr;
}

class WebsocketCategory : public boost::system::error_category {
public:
  const char* name() const noexcept override { return "korva.websocket"; }
  std::string message(int value) const override {
    const Failure* failure = find(value);
    return failure ? failure->message : "unknown websocket failure";
  }
};

} // namespace

const boost::system::error_category& websocket_category() noexcept {
  static const WebsocketCategory category;
  return category;
}

boost::system::error_code make_error_code(error failure) noexcept {
  switch (failure) {
  case error::message_too_big:
    return boost::system::error_code(EMSGSIZE, boost::system::generic_category());
  case error::send_queue_limit:
    return boost::system::error_code(ENOBUFS, boost::system::generic_category());
  case error::close_timeout:
    return boost::asio::error::operation_aborted;
  default:
    return boost::system::error_code(static_cast<int>(failure), websocket_category());
  }
}

ClosingFrame closing_frame(error failure) noexcept {
  const Failure* found = find(static_cast<int>(failure));
  return found ? found->closing : ClosingFrame{};
}

} // namespace KorvaWeb
