// Fuzz target: the server's real receiving code (SocketServerBase instantiated over an in-memory
// stream) fed an arbitrary client byte stream, split into pieces at fuzzer-chosen points, with the
// event loop run until idle after each piece.
//
// Input layout:
//   byte 0      options: bit 0 put a valid upgrade request in front of the data; bits 1-3 the
//               largest message size (see max_sizes); bits 4-5 the most bytes one socket write
//               takes (see write_limits); bit 6 end by closing the socket (as the request timer
//               does) instead of the client ending its side; bit 7 register no handlers at all
//   byte 1      bits 0-4: number of split points, then two bytes (little-endian) per point, an
//               offset into the data (modulo its size); bit 5: the upgrade request offers
//               permessage-deflate (which the server agrees on)
//   the rest    the bytes the client sends
//
// Checked for every input: the stream is never read twice at once; every handler call comes in a
// possible order; each delivered message holds exactly `length` bytes, is text or binary, and is
// UTF-8 when it is text (so is every close reason); the server's output is a
// 101 response followed by whole, unmasked, shortest-form frames, its answers in the order of the
// messages (compressed ones inflating to them), a close frame only last; once the client is gone
// the connection has left its endpoint's set and, when the test lets go of it, is destroyed
// (nothing keeps it alive).

#include "tests/fuzz/fuzz_check.hpp"
#include "tests/support/memory_server.hpp"

#include <zlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace KorvaWeb {
template class SocketServerBase<korva_test::MemoryStream>;
}

namespace {

using Server = korva_test::MemoryServer;
using Connection = Server::Connection;

constexpr const char* upgrade_request =
    "GET /api HTTP/1.1\r\nHost: 127.0.0.1\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n";
constexpr const char* upgrade_request_offering_deflate =
    "GET /api HTTP/1.1\r\nHost: 127.0.0.1\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
    "Sec-WebSocket-Extensions: permessage-deflate; client_max_window_bits\r\n\r\n";
constexpr std::size_t max_sizes[8] = {16 * 1024 * 1024, 0, 1, 2, 125, 126, 1000, 65536};
constexpr std::size_t write_limits[4] = {0, 1, 3, 64};

struct Observed {
  int opens = 0;
  int closes = 0;
  int errors = 0;
  std::vector<std::string> messages;
};

// UTF-8 as RFC 3629 defines it, decoded one character at a time: a check of what the server let
// through that does not share the server's own validator.
// A compressed answer inflated (its payload, without the 00 00 FF FF its sender stripped).
std::string inflated(const std::string& payload) {
  z_stream z{};
  FUZZ_CHECK(inflateInit2(&z, -15) == Z_OK);
  const std::string in = payload + std::string("\x00\x00\xFF\xFF", 4);
  std::string out(payload.size() * 1100 + 64, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = reinterpret_cast<Bytef*>(&out[0]);
  z.avail_out = static_cast<uInt>(out.size());
  const int result = inflate(&z, Z_SYNC_FLUSH);
  FUZZ_CHECK(result == Z_OK && z.avail_in == 0);
  out.resize(out.size() - z.avail_out);
  inflateEnd(&z);
  return out;
}

bool is_utf8(const std::string& text) {
  static constexpr std::uint32_t least[4] = {0, 0x80, 0x800, 0x10000}; // no overlong forms
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    // The bytes that follow the lead byte; 4: not a lead byte.
    const std::size_t more =
        lead < 0x80 ? 0 : lead < 0xC0 ? 4 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : lead < 0xF8 ? 3 : 4;
    if (more > 3 || text.size() - i <= more)
      return false;
    std::uint32_t code = lead & (more == 0 ? 0x7F : 0x7F >> (more + 1));
    for (std::size_t k = 1; k <= more; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80)
        return false;
      code = (code << 6) | (next & 0x3F);
    }
    if (code < least[more] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
      return false;
    i += more + 1;
  }
  return true;
}

void run_until_idle(Server& server, const korva_test::MemoryStream& stream) {
  server.run_until_idle();
  FUZZ_CHECK(stream.abort_reason() == nullptr);
}

// The server's output after the 101 response: whole frames, unmasked, shortest length form. Data
// frames carry the answers in message order; pongs have the low nibble 0xA; a close frame is last.
void check_frames(const std::string& out, std::size_t at, const Observed& observed) {
  std::size_t answers = 0;
  bool closed = false;
  while (at < out.size()) {
    FUZZ_CHECK(!closed);
    FUZZ_CHECK(out.size() - at >= 2);
    unsigned char first = static_cast<unsigned char>(out[at]);
    unsigned char second = static_cast<unsigned char>(out[at + 1]);
    FUZZ_CHECK((second & 0x80) == 0);
    std::uint64_t length = second & 0x7F;
    std::size_t header = 2;
    if (length == 126 || length == 127) {
      header += length == 126 ? 2 : 8;
      FUZZ_CHECK(out.size() - at >= header);
      length = KorvaWeb::read_big_endian(reinterpret_cast<const unsigned char*>(out.data()) + at + 2, header - 2);
      FUZZ_CHECK(header == 4 ? length >= 126 && length <= 0xFFFF : length > 0xFFFF);
    }
    FUZZ_CHECK(out.size() - at - header >= length);
    std::string payload = out.substr(at + header, length);
    at += header + length;
    if (first == 0x81 || first == 0xC1) {
      FUZZ_CHECK(answers < observed.messages.size());
      FUZZ_CHECK((first == 0xC1 ? inflated(payload) : payload) == observed.messages[answers]);
      ++answers;
    } else if (first == 0x88) {
      closed = true;
      FUZZ_CHECK(length != 1 && length <= 125); // empty, or a status and a reason
      if (length >= 2) { // an echo of a code a client may send, or the server's own
        const int status = (static_cast<unsigned char>(payload[0]) << 8) | static_cast<unsigned char>(payload[1]);
        FUZZ_CHECK(KorvaWeb::close_code_may_be_sent(status));
      }
    } else {
      FUZZ_CHECK(first == 0x8A && length <= 125); // a pong, with its ping's payload
    }
  }
  FUZZ_CHECK(answers == observed.messages.size());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2)
    return 0;
  const unsigned options = data[0];
  std::size_t points = data[1] % 32;
  const bool offer_deflate = (data[1] & 0x20) != 0;
  std::size_t at = 2;
  if (size < at + 2 * points)
    return 0;
  std::vector<std::size_t> splits;
  for (std::size_t i = 0; i < points; ++i, at += 2)
    splits.push_back(data[at] | (static_cast<std::size_t>(data[at + 1]) << 8));

  std::string input = (options & 1) ? (offer_deflate ? upgrade_request_offering_deflate : upgrade_request) : "";
  input.append(reinterpret_cast<const char*>(data) + at, size - at);
  for (auto& split : splits)
    split = input.empty() ? 0 : split % input.size();
  splits.push_back(input.size());
  std::sort(splits.begin(), splits.end());

  Observed observed;
  std::weak_ptr<Connection> weak;
  {
    Server server;
    server.config.max_message_size = max_sizes[(options >> 1) & 7];
    server.config.permessage_deflate = true;
    // Two patterns, tried in the order of their texts; both get the same handlers.
    for (const char* pattern : {"^/api/?$", "^/other$"}) {
      Server::Endpoint* endpoint = &server.endpoints[pattern];
      if (options & 0x80)
        continue;
      endpoint->on_open = [&observed](std::shared_ptr<Connection>) {
        FUZZ_CHECK(observed.opens == 0);
        ++observed.opens;
      };
      // Answers every message with its content, as the service answers each request.
      endpoint->on_message = [&observed, endpoint](std::shared_ptr<Connection> connection,
                                                   std::shared_ptr<KorvaWeb::Message> message) {
        FUZZ_CHECK(observed.opens == 1 && observed.closes == 0 && observed.errors == 0);
        {
          std::lock_guard<std::mutex> lock(endpoint->connections_mutex);
          FUZZ_CHECK(endpoint->connections.count(connection) == 1);
        }
        std::string content = message->content();
        FUZZ_CHECK(content.size() == message->length);
        if ((message->fin_rsv_opcode & 0x0F) == KorvaWeb::opcodes::text)
          FUZZ_CHECK(is_utf8(content));
        FUZZ_CHECK(message->fin_rsv_opcode == 0x81 || message->fin_rsv_opcode == 0x82);
        FUZZ_CHECK(message->content().empty());
        FUZZ_CHECK(message->fin_rsv_opcode & 0x80);
        auto answer = std::make_shared<KorvaWeb::SendStream>();
        *answer << content;
        connection->send(answer);
        observed.messages.push_back(std::move(content));
      };
      endpoint->on_close = [&observed](std::shared_ptr<Connection>, int status, const std::string& reason) {
        FUZZ_CHECK(observed.opens == 1 && observed.closes == 0);
        FUZZ_CHECK(status >= 0 && status <= 0xFFFF);
        FUZZ_CHECK(is_utf8(reason));
        ++observed.closes;
      };
      endpoint->on_error = [&observed](std::shared_ptr<Connection>, const boost::system::error_code& error) {
        FUZZ_CHECK(error);
        FUZZ_CHECK(observed.closes == 0 && observed.errors == 0);
        ++observed.errors;
      };
      endpoint->on_ping = [&observed](std::shared_ptr<Connection>) { FUZZ_CHECK(observed.opens == 1); };
      endpoint->on_pong = [&observed](std::shared_ptr<Connection>) { FUZZ_CHECK(observed.opens == 1); };
    }

    auto connection = server.connect();
    weak = connection;
    korva_test::MemoryStream& stream = *connection->socket;
    stream.set_write_limit(write_limits[(options >> 4) & 3]);

    std::size_t sent = 0;
    for (std::size_t split : splits) {
      if (split > sent)
        stream.push(input.data() + sent, split - sent);
      sent = split;
      run_until_idle(server, stream);
    }
    if (options & 0x40) {
      boost::asio::post(*server.io_service, [connection] { connection->close_socket(); });
    } else {
      stream.push_end();
    }
    run_until_idle(server, stream);

    // The client is gone: nothing may wait for it any more, and nothing may hold its connection.
    FUZZ_CHECK(!stream.read_waiting());
    for (auto& entry : server.endpoints)
      FUZZ_CHECK(entry.second.connections.empty());
    const std::string out = stream.written();
    if (!(options & 0x80)) {
      FUZZ_CHECK(observed.opens == 0 ? out.empty() && observed.closes == 0 && observed.errors == 0
                                     : observed.closes + observed.errors >= 1);
    }
    if (!out.empty()) {
      std::size_t head_end = out.find("\r\n\r\n");
      FUZZ_CHECK(out.compare(0, 44, "HTTP/1.1 101 Web Socket Protocol Handshake\r\n") == 0);
      FUZZ_CHECK(head_end != std::string::npos);
      check_frames(out, head_end + 4, observed);
    }
    if (std::getenv("FUZZ_VERBOSE"))
      std::fprintf(stderr, "  opens %d, messages %zu, closes %d, errors %d, %zu bytes written\n", observed.opens,
                   observed.messages.size(), observed.closes, observed.errors, out.size());
    connection.reset(); // `stream` goes with it
    for (int round = 0; round < 1000 && server.io_service->poll() > 0; ++round) {
    }
    FUZZ_CHECK(weak.expired());
  }
  return 0;
}
