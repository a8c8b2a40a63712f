#pragma once
// The client's side of permessage-deflate (RFC 7692) for the load generator: the offer it makes,
// the server's answer read, and the zlib streams that compress its messages and inflate the
// server's. Everything belongs to the generator's one thread.

#include <zlib.h>

#include <optional>
#include <string>
#include <string_view>

namespace korva_bench {

// The offer of every connection that asks for compression: the server may choose the window the
// client compresses with.
constexpr const char* deflate_offer = "permessage-deflate; client_max_window_bits";

// What the server's Sec-WebSocket-Extensions answer agreed on. Windows are base-2 logarithms.
struct DeflateAnswer {
  bool server_no_context_takeover = false; // each of the server's messages stands alone
  int server_max_window_bits = 15;         // the window the server compresses with
  int client_max_window_bits = 15;         // the window we may compress with
};

// The answer line's value: permessage-deflate with its parameters, or none when the value does
// not agree on it or names a parameter our offer cannot have led to.
std::optional<DeflateAnswer> parse_deflate_answer(std::string_view value);

// Compresses whole messages, each on its own (raw deflate, ended by a sync flush whose 00 00 FF FF
// is stripped), into the payload of a frame with RSV1 set.
class MessageDeflater {
public:
  MessageDeflater(int window_bits, int level);
  ~MessageDeflater();
  MessageDeflater(const MessageDeflater&) = delete;
  MessageDeflater& operator=(const MessageDeflater&) = delete;

  // `out` is replaced by the compressed message.
  void compress(std::string_view message, std::string& out);

private:
  z_stream stream_{};
};

// Inflates the server's compressed messages on one connection. With context takeover (the answer
// has no server_no_context_takeover) the stream keeps the window from message to message, as the
// server's does.
class MessageInflater {
public:
  MessageInflater(int window_bits, bool context_takeover);
  ~MessageInflater();
  MessageInflater(const MessageInflater&) = delete;
  MessageInflater& operator=(const MessageInflater&) = delete;

  // The message of one compressed payload, valid until the next call. Throws BenchError when the
  // bytes do not inflate.
  std::string_view inflate(const char* payload, std::size_t length);

private:
  z_stream stream_{};
  bool context_takeover_;
  std::string out_; // only grows
};

} // namespace korva_bench
