#pragma once
// A small blocking WebSocket client over a raw TCP socket, for tests that check bytes exactly.
// Every read has a time limit; a read that runs out of time fails the test (it returns what it
// has and records a GoogleTest failure) instead of hanging.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace korva_test {

using namespace std::chrono_literals;

struct Frame {
  unsigned char fin_rsv_opcode = 0;
  std::string payload;
  bool ok = false; // false when the frame could not be read in time or the peer closed
};

// Bytes of a client frame: masked with a fixed key unless `masked` is false; `length_form` forces
// the 16-bit (126) or 64-bit (127) length form for short payloads.
std::string make_frame(unsigned char fin_rsv_opcode, const std::string& payload, bool masked = true,
                       int length_form = 0);
// A masked close frame with the status and reason.
std::string make_close_frame(int status, const std::string& reason);

// The upgrade request the client sends by default (GET /api, the key of RFC 6455's example).
std::string upgrade_request(const std::string& target = "/api", const std::string& extra_headers = "");
constexpr const char* sample_key = "dGhlIHNhbXBsZSBub25jZQ==";
constexpr const char* sample_accept = "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=";

class TestClient {
public:
  // A receive buffer of `receive_buffer` bytes (set before the connection is made, as TCP
  // needs) makes a client that does not read fill up early; 0 leaves the system's default.
  explicit TestClient(unsigned short port, const std::string& host = "127.0.0.1", int receive_buffer = 0);
  ~TestClient();
  TestClient(const TestClient&) = delete;
  TestClient& operator=(const TestClient&) = delete;

  bool connected() const { return fd_ >= 0; }

  // Sends the default upgrade request and reads the 101 response; true if it was the exact
  // response for the sample key.
  bool handshake(const std::string& target = "/api", const std::string& extra_headers = "");

  // Sends all bytes; false when the server has stopped taking them (it closed or reset).
  bool send_raw(const std::string& bytes);
  // Sends as much of the bytes as the server takes within the limit; returns how many it took.
  // For clients that must not block when the server stops reading.
  std::size_t send_within(const std::string& bytes, std::chrono::milliseconds limit);
  // True when the server advertises a receive window of zero: its receive buffer is full, so it
  // has stopped reading this client (or reads more slowly than the client sends). Nothing when the
  // kernel's TCP_INFO cannot be read (qemu-user passes it on as a plain int).
  std::optional<bool> peer_window_closed() const;
  // Enlarges the receive buffer of a client made with a small one, so that it can read what
  // piled up quickly (shrinking it once connected makes TCP crawl instead).
  void set_receive_buffer(int bytes);
  void send_text(const std::string& text) { send_raw(make_frame(0x81, text)); }

  // Exactly n bytes, or what arrived before the limit / end of stream.
  std::string read_exact(std::size_t n, std::chrono::milliseconds limit = 10s);
  // Everything up to and including `delimiter`.
  std::string read_until(const std::string& delimiter, std::chrono::milliseconds limit = 10s);
  // One server frame (unmasked).
  Frame read_frame(std::chrono::milliseconds limit = 10s);

  // What has arrived, at most `most` bytes, without waiting; `closed` is set once the server has
  // closed the TCP connection (end of stream or reset). For clients that read slowly on purpose.
  // The bytes are appended to `into` when given.
  std::size_t read_available(std::size_t most, bool& closed, std::string* into = nullptr);
  // Everything that arrives until the server closes the TCP connection (then `closed` is true)
  // or the limit passes.
  std::string read_until_closed(std::chrono::milliseconds limit, bool& closed);
  // True when the server has closed the TCP connection (end of stream or reset) within the limit,
  // discarding any bytes that arrive before that.
  bool wait_closed(std::chrono::milliseconds limit = 10s);
  // The server closed the connection with a reset, not with an end of stream.
  bool was_reset() const noexcept { return reset_; }
  // True when no byte arrives and the connection stays open for the whole time. Only for tests
  // whose subject is silence.
  bool silent_for(std::chrono::milliseconds time);

  void shutdown_write();
  // Closes at once; with `reset`, the peer sees a connection reset instead of end of stream.
  void close(bool reset = false);

  // The local port of this client's socket (the server's view of the peer port).
  unsigned short local_port() const;

private:
  // Reads whatever is available into pending_ within the limit; false on timeout or EOF.
  bool fill(std::chrono::steady_clock::time_point deadline);

  int fd_ = -1;
  bool eof_ = false;
  bool reset_ = false;
  std::string pending_;
};

} // namespace korva_test
