// korva_bench: the load generator of `make bench`. One thread, raw non-blocking sockets and
// epoll, so that it costs little beside the server it measures. Each mode prints one line
// `result key=value ...` on standard output (the driver, bench/run, reads it) and exits 0; a
// refused connection, a protocol error or a lost answer prints `korva_bench: <what>` on
// standard error and exits 1; a wrong command line exits 2.
//
//   korva_bench load   --port P --connections C --size S --seconds T [--server-pid PID]
//                      [--body pad|json] [--deflate 0|1]
//       closed loop: each connection sends one echo request of S bytes, waits for its answer,
//       sends the next; T seconds measured after a short warm-up. Messages per second, latency
//       percentiles, the server's and the generator's CPU time per message, the bytes of the
//       frames each way per message. The body is padding (`"pad":"xxx..."`, the default) or device
//       values as JSON (`"values":[{"group":0,"id":12,"index":0,"value":23.5},...]`, 64 requests
//       that differ in their values, sent in turn). With --deflate 1 every connection offers
//       permessage-deflate and sends its requests compressed (zlib level 6, prepared once, so
//       that the generator's time goes to reading the answers), and compressed answers are
//       inflated before they are compared.
//   korva_bench count  --port P --size S --messages N
//       the same for exactly N messages on one connection, started and ended by the driver
//       through standard input: prints `ready` once connected, starts at the first line it
//       reads, prints its result, and closes once standard input ends. For counting the
//       server's system calls while only the N messages run.
//   korva_bench idle   --port P --connections N --hold T --server-pid PID [--exchange 0|1]
//                      [--deflate 0|1]
//       opens N connections (handshakes complete), holds them T seconds; the server's resident
//       memory before and after. With --exchange 1 (implied by --deflate 1) each connection first
//       sends one echo request of 1 KiB of JSON and reads its answer, the first connection alone
//       before the others: the memory after that first message shows what the first message
//       made the server keep (with compression, the event loop's shared zlib streams).
//   korva_bench fanout --port P --receivers N --rounds R [--seconds T]
//       N receivers and one sender; per round the sender sets a value and the round ends when
//       every receiver has the notification of that value; first and last arrival per round.
//   korva_bench broadcast --port P --receivers N --size S --rounds R --server-pid PID
//                      [--deflate 0|1] [--warmup W]
//       N receivers and one sender; per round the sender sets a string value (escaped device
//       values as JSON) whose value_changed notification is S bytes, and the round ends when the
//       sender has its answer and every receiver the notification. The server's CPU time per
//       round over R rounds after W (5) unmeasured ones, the bytes of the notification's frame per
//       receiver. With --deflate 1 every connection offers permessage-deflate, the request goes
//       compressed, and every receiver's compressed notification must equal the first one of its
//       round, which is inflated and compared with the text expected.
//   korva_bench pushes --port P --receivers N --size S --seconds T --server-pid PID
//                      [--deflate 0|1] [--warmup W]
//       for the service started with KORVA_SIM_PUSH_PERIOD_MS (the simulated device pushes its
//       values in turn, one per period) and no values but its first five: one more connection
//       sets each of them to a string (escaped device values as JSON) whose push is S bytes;
//       after W (2) seconds, for T seconds, the pushes each receiver gets (every one must be one of
//       the five), the server's CPU time per push and the bytes of a push's frame per receiver.
//
// Common options: --host (127.0.0.1), --path (/api). Every step is bounded: in messages
// (--max-messages), in time, and every answer must come within 10 seconds.

#include "bench/proc_stats.hpp"
#include "bench/ws_client.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

namespace korva_bench {
namespace {

using namespace std::chrono_literals;

constexpr auto answer_limit = 10s;     // an answer later than this counts as lost
constexpr auto open_limit = 60s;       // for opening all connections of a step
constexpr auto close_limit = 5s;       // for the polite close at the end of a step
constexpr auto driver_limit = 120s;    // for the driver's go and end in count mode

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// `--name value` pairs after the mode. Every option given must be used by the mode.
class Options {
public:
  Options(int argc, char** argv) {
    for (int i = 2; i < argc; i += 2) {
      std::string name = argv[i];
      if (name.compare(0, 2, "--") != 0 || i + 1 >= argc)
        throw UsageError("expected --name value, got " + name);
      values_[name.substr(2)] = argv[i + 1];
    }
  }
  std::string text(const std::string& name, const std::string& fallback) {
    auto it = values_.find(name);
    if (it == values_.end())
      return fallback;
    std::string value = it->second;
    values_.erase(it);
    return value;
  }
  // A number within [low, high]; `fallback` when absent (NaN: the option is required).
  double number(const std::string& name, double fallback, double low, double high) {
    std::string value = text(name, "");
    if (value.empty()) {
      if (std::isnan(fallback))
        throw UsageError("--" + name + " is required");
      return fallback;
    }
    char* end = nullptr;
    double number = std::strtod(value.c_str(), &end);
    if (*end != '\0' || !(number >= low && number <= high))
      throw UsageError("--" + name + " must be a number from " + std::to_string(static_cast<long long>(low)) +
                       " to " + std::to_string(static_cast<long long>(high)));
    return number;
  }
  void check_all_used() const {
    if (!values_.empty())
      throw UsageError("unknown option --" + values_.begin()->first);
  }

private:
  std::map<std::string, std::string> values_;
};

constexpr double required = std::numeric_limits<double>::quiet_NaN();

Target target_from(Options& options) {
  Target target;
  target.host = options.text("host", target.host);
  target.port = static_cast<unsigned short>(options.number("port", required, 1, 65535));
  target.path = options.text("path", target.path);
  target.deflate = options.number("deflate", 0, 0, 1) != 0;
  return target;
}

double seconds_between(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

// Formats a value that may be missing (negative) as "n/a".
std::string maybe(double value, const char* format = "%.2f") {
  if (value < 0)
    return "n/a";
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

// Device values as the device writes them, {"group":G,"id":N,"index":I,"value":V} separated by
// commas (with the quotes escaped, for a value inside a JSON string), appended while the text
// stays within `size` bytes. The values follow from `seed`.
void append_values(std::string& out, std::size_t size, std::uint32_t seed, bool escaped) {
  std::uint32_t random = seed * 2654435761u + 12345;
  auto next = [&random](std::uint32_t below) {
    random = random * 1664525u + 1013904223u;
    return (random >> 8) % below;
  };
  const char* quote = escaped ? "\\\"" : "\"";
  std::string record;
  for (bool first = true;; first = false) {
    auto member = [&](const char* separator, const char* name) {
      record.append(separator).append(quote).append(name).append(quote).append(":");
    };
    record.assign(first ? "{" : ",{");
    member("", "group");
    record.append(std::to_string(next(4)));
    member(",", "id");
    record.append(std::to_string(1 + next(300)));
    member(",", "index");
    record.append(std::to_string(next(4)));
    member(",", "value");
    switch (next(3)) {
    case 0: {
      auto tenths = 200 + next(100);
      record.append(std::to_string(tenths / 10)).append(".").append(std::to_string(tenths % 10));
      break;
    }
    case 1:
      record.append(std::to_string(800 + next(1600)));
      break;
    default:
      record.append(next(2) ? "true" : "false");
    }
    record.append("}");
    if (out.size() + record.size() > size)
      return;
    out += record;
  }
}

// An echo request of exactly `size` bytes (at least 64) whose body is device values:
// {"command":"echo","seq":"<variant, 8 digits>","values":[...],"pad":"xx"}.
std::string json_request(std::size_t size, std::uint32_t variant) {
  char seq[16];
  std::snprintf(seq, sizeof seq, "%08x", variant);
  std::string text = std::string("{\"command\":\"echo\",\"seq\":\"") + seq + "\",\"values\":[";
  static const std::string end = "],\"pad\":\"\"}";
  append_values(text, size - end.size(), variant, false);
  text += "],\"pad\":\"" + std::string(size - text.size() - end.size(), 'x') + "\"}";
  return text;
}

// The zlib level of the generator's compressed messages: zlib's default, as clients mostly have.
constexpr int client_level = 6;

// The frame of a client message: compressed, with RSV1, when the connection agreed on
// permessage-deflate; masked with `mask`.
std::string client_message_frame(const std::string& text, const DeflateAnswer* deflate, const unsigned char* mask) {
  std::string frame;
  if (!deflate) {
    append_client_frame(frame, 0x81, text.data(), text.size(), mask);
    return frame;
  }
  MessageDeflater deflater(deflate->client_max_window_bits, client_level);
  std::string compressed;
  deflater.compress(text, compressed);
  append_client_frame(frame, 0xC1, compressed.data(), compressed.size(), mask);
  return frame;
}

// What every connection agreed on, which must be the same for all: null when none agreed.
const DeflateAnswer* common_agreement(const std::vector<std::unique_ptr<Connection>>& connections) {
  const DeflateAnswer* first = connections.front()->deflate();
  for (const auto& connection : connections) {
    const DeflateAnswer* own = connection->deflate();
    if (!own != !first || (own && (own->client_max_window_bits != first->client_max_window_bits)))
      throw BenchError("the connections' permessage-deflate agreements differ");
  }
  return first;
}

// An agreement in a result line (no blanks).
std::string agreement_text(const DeflateAnswer& deflate) {
  return "server_window:" + std::to_string(deflate.server_max_window_bits) +
         ",client_window:" + std::to_string(deflate.client_max_window_bits) +
         (deflate.server_no_context_takeover ? ",server_no_context_takeover" : ",server_context_takeover");
}

// CPU time of this process and of the server (when its PID is known), taken together.
struct CpuSample {
  double own_us;
  double server_us;
};
CpuSample sample_cpu(pid_t server) { return {process_cpu_us(0), server > 0 ? process_cpu_us(server) : -1}; }

// ---------------------------------------------------------------------------------------------
// load and count: closed-loop echo requests

// One connection's request: a prepared masked frame whose sequence digits change per message,
// and the request text that its answer must equal.
struct Request {
  std::string text;
  std::string frame;
  std::size_t text_digits = 0;  // offset of the 8 sequence digits in the text
  std::size_t frame_digits = 0; // and in the frame
  unsigned char mask[4];
  std::uint32_t sequence = 0;
  bool waiting = false;
  Clock::time_point sent_at;
  std::uint32_t variant = 0;     // of the pool, when there is one
  std::size_t frame_bytes = 0;   // of the request in flight

  explicit Request(std::size_t size) {
    // {"command":"echo","pad":"<8 sequence digits>xxx..."} of exactly `size` bytes
    static const std::string head = "{\"command\":\"echo\",\"pad\":\"";
    text = head + std::string(size - head.size() - 2, 'x') + "\"}";
    text_digits = head.size();
    for (std::size_t i = 0; i < 4; ++i)
      mask[i] = static_cast<unsigned char>(std::rand());
    frame_digits = append_client_frame(frame, 0x81, text.data(), text.size(), mask) + text_digits;
  }

  // Writes the next sequence number into the text and, masked, into the frame.
  void next() {
    static const char hex[] = "0123456789abcdef";
    ++sequence;
    for (std::size_t i = 0; i < 8; ++i) {
      char digit = hex[(sequence >> (28 - 4 * i)) & 0xF];
      text[text_digits + i] = digit;
      frame[frame_digits + i] =
          static_cast<char>(static_cast<unsigned char>(digit) ^ mask[(text_digits + i) % 4]);
    }
  }
};

struct LoadSettings {
  Target target;
  std::size_t connections = 1;
  std::size_t size = 64;
  double seconds = 10;       // measured time (load)
  double warmup = 0.5;       // unmeasured time before it (load)
  std::uint64_t max_messages = 0; // measured messages at most (load), or exactly (count)
  bool counted = false;      // count mode: exactly max_messages, gated by the driver
  bool json = false;         // device values as the body, from a pool of prepared requests
  pid_t server_pid = 0;
};

// Requests prepared once and sent in turn: their texts and their frames (masked with one key, and
// compressed when the connections agreed on permessage-deflate).
struct RequestPool {
  static constexpr std::uint32_t size = 64;
  std::vector<std::string> texts;
  std::vector<std::string> frames;

  RequestPool(std::size_t message_size, bool json, const DeflateAnswer* deflate) {
    static const unsigned char mask[4] = {0x3c, 0xa5, 0x17, 0xe2};
    for (std::uint32_t variant = 0; variant < size; ++variant) {
      if (json) {
        texts.push_back(json_request(message_size, variant));
      } else {
        Request request(message_size);
        request.sequence = variant;
        request.next();
        texts.push_back(request.text);
      }
      frames.push_back(client_message_frame(texts.back(), deflate, mask));
    }
  }
};

// Waits for a line (or the end) on standard input, at most `limit`; false when none came.
bool wait_for_driver(std::chrono::seconds limit, bool until_end) {
  auto deadline = Clock::now() + limit;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0)
      return false;
    pollfd input{STDIN_FILENO, POLLIN, 0};
    int ready = ::poll(&input, 1, static_cast<int>(left));
    if (ready < 0 && errno != EINTR)
      return false;
    if (ready <= 0)
      continue;
    char c;
    ssize_t n = ::read(STDIN_FILENO, &c, 1);
    if (n <= 0)
      return true; // the end of standard input (or an error) ends the wait either way
    if (c == '\n' && !until_end)
      return true;
  }
}

int run_load(const LoadSettings& settings) {
  Poller poller;
  auto connections = open_connections(settings.target, settings.connections, poller, Clock::now() + open_limit);
  // With a pool, the connections send its requests, and a Request keeps only the bookkeeping of
  // the one in flight.
  const DeflateAnswer* deflate = common_agreement(connections);
  std::unique_ptr<RequestPool> pool;
  if (settings.json || deflate)
    pool = std::make_unique<RequestPool>(settings.size, settings.json, deflate);
  std::vector<Request> requests;
  requests.reserve(connections.size());
  for (std::size_t i = 0; i < connections.size(); ++i)
    requests.emplace_back(pool ? 64 : settings.size);

  if (settings.counted) {
    std::printf("ready\n");
    std::fflush(stdout);
    if (!wait_for_driver(driver_limit, false))
      throw BenchError("no go from the driver on standard input");
  }

  std::vector<std::uint64_t> latencies; // nanoseconds, of the measured answers
  latencies.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(settings.max_messages, 1u << 20)));
  std::uint64_t sent = 0, answered = 0, other_frames = 0;
  std::uint64_t bytes_out = 0, bytes_in = 0, compressed_answers = 0; // of the measured answers
  std::size_t waiting = 0;
  bool measuring = false, stopping = false;
  auto start = Clock::now();
  auto measure_from = settings.counted ? start : start + std::chrono::duration_cast<Clock::duration>(
                                                             std::chrono::duration<double>(settings.warmup));
  auto measure_until = settings.counted ? start + driver_limit
                                        : measure_from + std::chrono::duration_cast<Clock::duration>(
                                                             std::chrono::duration<double>(settings.seconds));
  Clock::time_point measured_from{}, measured_until{};
  CpuSample cpu_from{}, cpu_until{};
  auto next_lost_check = start + 100ms;

  auto send_next = [&](std::size_t i) {
    if (stopping || (settings.counted && sent == settings.max_messages))
      return;
    auto& request = requests[i];
    request.next();
    request.waiting = true;
    ++waiting;
    ++sent;
    request.sent_at = Clock::now();
    if (pool) {
      request.variant = static_cast<std::uint32_t>((i + request.sequence) % RequestPool::size);
      const std::string& frame = pool->frames[request.variant];
      request.frame_bytes = frame.size();
      connections[i]->send(frame.data(), frame.size());
    } else {
      request.frame_bytes = request.frame.size();
      connections[i]->send(request.frame.data(), request.frame.size());
    }
  };
  auto stop = [&](Clock::time_point now) {
    cpu_until = sample_cpu(settings.server_pid);
    measured_until = now;
    stopping = true;
  };

  if (settings.counted) { // measured from the first message on
    measuring = true;
    cpu_from = sample_cpu(settings.server_pid);
    measured_from = start;
  }
  for (std::size_t i = 0; i < connections.size(); ++i)
    send_next(i);

  while (!stopping || waiting > 0) {
    auto now = Clock::now();
    if (!measuring && now >= measure_from) {
      cpu_from = sample_cpu(settings.server_pid);
      measured_from = now;
      measuring = true;
    }
    if (!stopping && (now >= measure_until || (settings.max_messages > 0 && answered >= settings.max_messages)))
      stop(now);
    if (now >= next_lost_check) {
      for (std::size_t i = 0; i < requests.size(); ++i) {
        if (requests[i].waiting && now - requests[i].sent_at > answer_limit)
          throw BenchError("connection " + std::to_string(i) + ": no answer to message " +
                           std::to_string(requests[i].sequence) + " within 10 s");
      }
      next_lost_check = now + 100ms;
    }
    if (stopping && waiting == 0)
      break;

    auto wake = std::min(next_lost_check, stopping ? next_lost_check : (measuring ? measure_until : measure_from));
    int n = poller.wait(wake);
    for (int e = 0; e < n; ++e) {
      const auto& event = poller.event(e);
      std::size_t i = event.data.u32;
      auto& request = requests[i];
      connections[i]->handle(event.events, [&](const Frame& frame) {
        const bool compressed = (frame.fin_rsv_opcode & 0x40) != 0;
        const std::string_view text =
            compressed ? connections[i]->inflate(frame) : std::string_view(frame.payload, frame.length);
        const std::string_view expected = pool ? std::string_view(pool->texts[request.variant]) : request.text;
        if (request.waiting && (frame.fin_rsv_opcode & 0x0F) == 0x1 && text == expected) {
          auto latency = Clock::now() - request.sent_at;
          request.waiting = false;
          --waiting;
          if (measuring && !stopping) {
            ++answered;
            latencies.push_back(static_cast<std::uint64_t>(std::chrono::nanoseconds(latency).count()));
            bytes_out += request.frame_bytes;
            bytes_in += frame.wire_length;
            compressed_answers += compressed ? 1 : 0;
          }
          send_next(i);
        } else if (request.waiting && text.substr(0, 17) == "{\"command\":\"echo\"") {
          throw BenchError("connection " + std::to_string(i) + ": the answer to message " +
                           std::to_string(request.sequence) + " differs from the request");
        } else {
          ++other_frames; // a push or a notification: not an answer
        }
      });
    }
  }

  if (settings.counted && answered < settings.max_messages)
    throw BenchError("only " + std::to_string(answered) + " of " + std::to_string(settings.max_messages) +
                     " messages were answered within " + std::to_string(driver_limit.count()) + " s");
  double seconds = seconds_between(measured_from, measured_until);
  double own_us = cpu_until.own_us - cpu_from.own_us;
  double server_us = settings.server_pid > 0 && cpu_from.server_us >= 0 && cpu_until.server_us >= 0
                         ? cpu_until.server_us - cpu_from.server_us
                         : -1;
  double per_message = answered > 0 ? 1.0 / static_cast<double>(answered) : 0;
  std::printf("result mode=%s connections=%zu size=%zu messages=%llu seconds=%.3f rate=%.1f p50_us=%.1f "
              "p99_us=%.1f server_cpu_us_per_msg=%s client_cpu_us_per_msg=%.2f client_cpu_percent=%.1f "
              "other_frames=%llu bytes_out_per_msg=%.1f bytes_in_per_msg=%.1f compressed_answers=%llu "
              "deflate=%s body=%s\n",
              settings.counted ? "count" : "load", settings.connections, settings.size,
              static_cast<unsigned long long>(answered), seconds, seconds > 0 ? static_cast<double>(answered) / seconds : 0,
              static_cast<double>(percentile(latencies, 50)) / 1e3, static_cast<double>(percentile(latencies, 99)) / 1e3,
              maybe(server_us < 0 ? -1 : server_us * per_message).c_str(), own_us * per_message,
              seconds > 0 ? own_us / 1e4 / seconds : 0, static_cast<unsigned long long>(other_frames),
              static_cast<double>(bytes_out) * per_message, static_cast<double>(bytes_in) * per_message,
              static_cast<unsigned long long>(compressed_answers), deflate ? agreement_text(*deflate).c_str() : "none",
              settings.json ? "json" : "pad");
  std::fflush(stdout);

  if (settings.counted && !wait_for_driver(driver_limit, true))
    throw BenchError("standard input was not closed by the driver");
  close_connections(connections, poller, Clock::now() + close_limit);
  return 0;
}

// ---------------------------------------------------------------------------------------------
// idle: the server's memory per open, silent connection

int run_idle(const Target& target, std::size_t count, double hold, pid_t server_pid, bool exchange) {
  auto rss = [server_pid](const char* when) {
    long kib = process_rss_kib(server_pid);
    if (kib < 0)
      throw BenchError("cannot read the resident memory of the server (process " + std::to_string(server_pid) +
                       ") " + when);
    return kib;
  };
  long before = rss("before the connections were opened");
  Poller poller;
  auto start = Clock::now();
  auto connections = open_connections(target, count, poller, start + open_limit);
  double open_seconds = seconds_between(start, Clock::now());

  std::uint64_t other_frames = 0, compressed_answers = 0;
  long opened = -1, first = -1;
  const DeflateAnswer* deflate = common_agreement(connections);
  if (exchange) {
    opened = rss("after the connections were opened");
    static const unsigned char mask[4] = {0x71, 0x0e, 0xb9, 0x42};
    const std::string text = json_request(1024, 0);
    const std::string frame = client_message_frame(text, deflate, mask);
    std::vector<char> answered(count);
    // Connections [from, to) send the request; returns once each has its answer.
    auto exchange_on = [&](std::size_t from, std::size_t to) {
      for (std::size_t i = from; i < to; ++i)
        connections[i]->send(frame.data(), frame.size());
      std::size_t left = to - from;
      auto deadline = Clock::now() + answer_limit;
      while (left > 0) {
        if (Clock::now() >= deadline)
          throw BenchError(std::to_string(left) + " of " + std::to_string(to - from) +
                           " connections had no answer to their request within 10 s");
        int n = poller.wait(deadline);
        for (int e = 0; e < n; ++e) {
          std::size_t id = poller.event(e).data.u32;
          connections[id]->handle(poller.event(e).events, [&](const Frame& received) {
            const bool compressed = (received.fin_rsv_opcode & 0x40) != 0;
            const std::string_view got = compressed ? connections[id]->inflate(received)
                                                    : std::string_view(received.payload, received.length);
            if (got == text && id >= from && id < to && !answered[id]) {
              answered[id] = 1;
              --left;
              compressed_answers += compressed ? 1 : 0;
            } else if (got.substr(0, 17) == "{\"command\":\"echo\"") {
              throw BenchError("connection " + std::to_string(id) + ": the answer differs from the request");
            } else {
              ++other_frames;
            }
          });
        }
      }
    };
    exchange_on(0, 1);
    first = rss("after the first message");
    exchange_on(1, count);
  }

  auto until = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(hold));
  while (Clock::now() < until) {
    int n = poller.wait(until);
    for (int e = 0; e < n; ++e)
      connections[poller.event(e).data.u32]->handle(poller.event(e).events, [&](const Frame&) { ++other_frames; });
  }
  long after = rss("while the connections were held");
  std::printf("result mode=idle connections=%zu open_seconds=%.3f rss_before_kib=%ld rss_after_kib=%ld "
              "kib_per_connection=%.2f other_frames=%llu exchange=%d deflate=%s rss_opened_kib=%ld "
              "rss_first_kib=%ld first_message_kib=%ld compressed_answers=%llu\n",
              count, open_seconds, before, after, static_cast<double>(after - before) / static_cast<double>(count),
              static_cast<unsigned long long>(other_frames), exchange ? 1 : 0,
              deflate ? agreement_text(*deflate).c_str() : "none", opened, first, exchange ? first - opened : -1,
              static_cast<unsigned long long>(compressed_answers));
  std::fflush(stdout);
  close_connections(connections, poller, Clock::now() + close_limit);
  return 0;
}

// ---------------------------------------------------------------------------------------------
// fanout: one request, a notification to every other connection

// The integer after "value": in a JSON text, if there is one.
bool value_in(std::string_view text, long long& value) {
  auto at = text.find("\"value\":");
  if (at == std::string_view::npos)
    return false;
  std::size_t i = at + 8;
  bool negative = i < text.size() && text[i] == '-';
  i += negative ? 1 : 0;
  std::size_t first = i;
  long long number = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
    number = number * 10 + (text[i] - '0');
  if (i == first || (i < text.size() && text[i] != ',' && text[i] != '}'))
    return false;
  value = negative ? -number : number;
  return true;
}

int run_fanout(const Target& target, std::size_t receivers, std::size_t rounds, double seconds) {
  Poller poller;
  auto connections = open_connections(target, receivers + 1, poller, Clock::now() + open_limit);
  auto& sender = *connections.back();
  unsigned char mask[4] = {0x5a, 0x13, 0xc7, 0x88};
  // Values no earlier run has set, so that a late notification of another run cannot match.
  long long base = static_cast<long long>(std::time(nullptr) % 1000000) * 1000;

  std::vector<std::uint64_t> firsts, lasts; // nanoseconds after the request, per round
  std::vector<char> got(receivers);
  std::uint64_t other_frames = 0;
  auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  for (std::size_t round = 1; round <= rounds && (round == 1 || Clock::now() < end); ++round) {
    long long value = base + static_cast<long long>(round);
    std::string text = "{\"command\":\"set_value\",\"group\":7,\"id\":700,\"value\":" + std::to_string(value) + "}";
    std::string frame;
    append_client_frame(frame, 0x81, text.data(), text.size(), mask);
    std::fill(got.begin(), got.end(), 0);
    std::size_t arrived = 0;
    bool replied = false;
    std::uint64_t first = UINT64_MAX, last = 0;

    auto sent_at = Clock::now();
    sender.send(frame.data(), frame.size());
    auto deadline = sent_at + answer_limit;
    while (arrived < receivers || !replied) {
      if (Clock::now() >= deadline)
        throw BenchError("fan-out round " + std::to_string(round) + ": " + std::to_string(arrived) + " of " +
                         std::to_string(receivers) + " receivers had the notification, and the reply " +
                         (replied ? "came" : "did not come") + ", within 10 s");
      int n = poller.wait(deadline);
      for (int e = 0; e < n; ++e) {
        std::size_t id = poller.event(e).data.u32;
        connections[id]->handle(poller.event(e).events, [&](const Frame& received) {
          std::string_view payload(received.payload, received.length);
          long long got_value = 0;
          if (id == receivers) {
            if (payload.find("\"command\":\"set_value\"") == std::string_view::npos) {
              ++other_frames;
            } else if (payload.find("\"status\":\"ok\"") != std::string_view::npos && !replied) {
              replied = true;
            } else {
              throw BenchError("the sender's set_value was answered with " + std::string(payload.substr(0, 200)));
            }
          } else if (payload.find("notification") != std::string_view::npos && value_in(payload, got_value) &&
                     got_value == value) {
            if (got[id])
              throw BenchError("receiver " + std::to_string(id) + " had the notification of round " +
                               std::to_string(round) + " twice");
            got[id] = 1;
            ++arrived;
            auto after = static_cast<std::uint64_t>(std::chrono::nanoseconds(Clock::now() - sent_at).count());
            first = std::min(first, after);
            last = std::max(last, after);
          } else {
            ++other_frames; // a pushed value, or a notification of an earlier round
          }
        });
      }
    }
    firsts.push_back(receivers > 0 ? first : 0);
    lasts.push_back(last);
  }

  std::size_t done = lasts.size();
  std::uint64_t last_max = *std::max_element(lasts.begin(), lasts.end());
  std::printf("result mode=fanout receivers=%zu rounds=%zu first_p50_us=%.1f last_p50_us=%.1f last_max_us=%.1f "
              "other_frames=%llu\n",
              receivers, done, static_cast<double>(percentile(firsts, 50)) / 1e3,
              static_cast<double>(percentile(lasts, 50)) / 1e3, static_cast<double>(last_max) / 1e3,
              static_cast<unsigned long long>(other_frames));
  std::fflush(stdout);
  close_connections(connections, poller, Clock::now() + close_limit);
  return 0;
}

// ---------------------------------------------------------------------------------------------
// broadcast: one large notification to every other connection, the server's CPU time per round

struct BroadcastSettings {
  Target target;
  std::size_t receivers = 1000;
  std::size_t size = 16384;
  std::size_t rounds = 100;
  std::size_t warmup = 5;
  pid_t server_pid = 0;
};

int run_broadcast(const BroadcastSettings& settings) {
  const std::size_t receivers = settings.receivers;
  Poller poller;
  auto connections = open_connections(settings.target, receivers + 1, poller, Clock::now() + open_limit);
  const DeflateAnswer* deflate = common_agreement(connections);
  auto& sender = *connections.back();

  // The value: escaped device values, padded with blanks so that the notification has the size.
  static const std::string notification_head =
      "{\"notification\":\"value_changed\",\"group\":7,\"id\":701,\"index\":0,\"value\":\"";
  const std::size_t value_size = settings.size - notification_head.size() - 2;
  std::string value;
  append_values(value, value_size, 701, true);
  value.append(value_size - value.size(), ' ');
  const std::string notification = notification_head + value + "\"}";
  const std::string request = "{\"command\":\"set_value\",\"group\":7,\"id\":701,\"value\":\"" + value + "\"}";
  const std::string reply =
      "{\"command\":\"set_value\",\"status\":\"ok\",\"group\":7,\"id\":701,\"index\":0,\"value\":\"" + value + "\"}";
  static const unsigned char mask[4] = {0x5a, 0x13, 0xc7, 0x88};
  const std::string frame = client_message_frame(request, deflate, mask);
  // Without context takeover every receiver gets the same compressed bytes: the first of a round
  // is inflated and checked, the others compared with it.
  const bool same_bytes = deflate && deflate->server_no_context_takeover;

  std::vector<std::uint64_t> lasts; // nanoseconds from the request to the last notification
  std::vector<char> got(receivers);
  std::string reference;
  std::uint64_t other_frames = 0, other_bytes = 0, notification_bytes = 0, compressed_notifications = 0;
  std::uint64_t reply_bytes = 0, arrivals = 0;
  CpuSample cpu_from{}, cpu_until{};
  Clock::time_point measured_from{};
  const std::size_t total = settings.warmup + settings.rounds;
  for (std::size_t round = 1; round <= total; ++round) {
    const bool measured = round > settings.warmup;
    if (round == settings.warmup + 1) {
      cpu_from = sample_cpu(settings.server_pid);
      measured_from = Clock::now();
    }
    std::fill(got.begin(), got.end(), 0);
    reference.clear();
    std::size_t arrived = 0;
    bool replied = false;
    auto sent_at = Clock::now();
    sender.send(frame.data(), frame.size());
    auto deadline = sent_at + answer_limit;
    std::uint64_t last = 0;
    while (arrived < receivers || !replied) {
      if (Clock::now() >= deadline)
        throw BenchError("broadcast round " + std::to_string(round) + ": " + std::to_string(arrived) + " of " +
                         std::to_string(receivers) + " receivers had the notification, and the answer " +
                         (replied ? "came" : "did not come") + ", within 10 s");
      int n = poller.wait(deadline);
      for (int e = 0; e < n; ++e) {
        std::size_t id = poller.event(e).data.u32;
        auto& connection = *connections[id];
        connection.handle(poller.event(e).events, [&](const Frame& received) {
          const bool compressed = (received.fin_rsv_opcode & 0x40) != 0;
          if (id == receivers) {
            auto text = compressed ? connection.inflate(received) : std::string_view(received.payload, received.length);
            if (text == reply && !replied) {
              replied = true;
              reply_bytes += measured ? received.wire_length : 0;
            } else if (text.substr(0, 22) == "{\"command\":\"set_value\"") {
              throw BenchError("the sender's set_value was answered with " + std::string(text.substr(0, 200)));
            } else {
              ++other_frames;
              other_bytes += received.wire_length;
            }
            return;
          }
          bool is_notification;
          if (compressed && same_bytes && !reference.empty()) {
            is_notification = received.length == reference.size() &&
                              std::memcmp(received.payload, reference.data(), reference.size()) == 0;
            if (!is_notification)
              is_notification = connection.inflate(received) == notification; // right, in other bytes
          } else if (compressed) {
            is_notification = connection.inflate(received) == notification;
            if (is_notification && same_bytes)
              reference.assign(received.payload, received.length);
          } else {
            is_notification = std::string_view(received.payload, received.length) == notification;
          }
          if (!is_notification) {
            ++other_frames; // the device's push of the value, which the monitor sends every 10 s
            other_bytes += received.wire_length;
            return;
          }
          if (got[id])
            throw BenchError("receiver " + std::to_string(id) + " had the notification of round " +
                             std::to_string(round) + " twice");
          got[id] = 1;
          ++arrived;
          last = static_cast<std::uint64_t>(std::chrono::nanoseconds(Clock::now() - sent_at).count());
          if (measured) {
            ++arrivals;
            notification_bytes += received.wire_length;
            compressed_notifications += compressed ? 1 : 0;
          }
        });
      }
    }
    if (measured)
      lasts.push_back(last);
  }
  cpu_until = sample_cpu(settings.server_pid);
  double seconds = seconds_between(measured_from, Clock::now());

  double per_round = 1.0 / static_cast<double>(settings.rounds);
  double server_us = cpu_until.server_us - cpu_from.server_us;
  std::printf("result mode=broadcast receivers=%zu size=%zu rounds=%zu seconds=%.3f deflate=%s "
              "server_cpu_us_per_round=%s client_cpu_us_per_round=%.1f bytes_per_receiver=%.1f "
              "compressed_notifications=%llu request_bytes=%zu reply_bytes=%.1f last_p50_us=%.1f "
              "other_frames=%llu other_bytes=%llu\n",
              receivers, settings.size, settings.rounds, seconds, deflate ? agreement_text(*deflate).c_str() : "none",
              maybe(settings.server_pid > 0 ? server_us * per_round : -1, "%.1f").c_str(),
              (cpu_until.own_us - cpu_from.own_us) * per_round,
              static_cast<double>(notification_bytes) / static_cast<double>(arrivals),
              static_cast<unsigned long long>(compressed_notifications), frame.size(),
              static_cast<double>(reply_bytes) * per_round, static_cast<double>(percentile(lasts, 50)) / 1e3,
              static_cast<unsigned long long>(other_frames), static_cast<unsigned long long>(other_bytes));
  std::fflush(stdout);
  close_connections(connections, poller, Clock::now() + close_limit);
  return 0;
}

// ---------------------------------------------------------------------------------------------
// pushes: the device's own pushes of large values, the server's CPU time per push

// The five values of a freshly started simulated device, which it pushes in turn.
struct ValueKey {
  int group, id, index;
};
constexpr ValueKey device_keys[] = {{0, 1, 0}, {0, 2, 0}, {0, 3, 0}, {1, 1, 0}, {1, 1, 1}};

struct PushSettings {
  Target target;
  std::size_t receivers = 1000;
  std::size_t size = 16384;
  double seconds = 10;
  double warmup = 2;
  pid_t server_pid = 0;
};

int run_pushes(const PushSettings& settings) {
  const std::size_t receivers = settings.receivers;
  Poller poller;
  auto connections = open_connections(settings.target, receivers + 1, poller, Clock::now() + open_limit);
  const DeflateAnswer* deflate = common_agreement(connections);
  auto& sender = *connections.back();

  // Every value becomes a string of escaped device values whose push, {"group":G,...,"value":"V"},
  // has the size asked for.
  std::vector<std::string> pushes;
  std::vector<std::string> requests;
  for (const auto& key : device_keys) {
    const std::string where = "\"group\":" + std::to_string(key.group) + ",\"id\":" + std::to_string(key.id) +
                              ",\"index\":" + std::to_string(key.index);
    const std::string head = "{" + where + ",\"value\":\"";
    if (settings.size < head.size() + 2 + 64)
      throw UsageError("--size is too small for a push");
    std::string value;
    append_values(value, settings.size - head.size() - 2, static_cast<std::uint32_t>(pushes.size()), true);
    value.append(settings.size - head.size() - 2 - value.size(), ' ');
    pushes.push_back(head + value + "\"}");
    requests.push_back("{\"command\":\"set_value\"," + where + ",\"value\":\"" + value + "\"}");
  }
  static const unsigned char mask[4] = {0x29, 0xd4, 0x63, 0x9b};
  auto handle_events = [&](int n, auto&& on_receiver_frame, auto&& on_sender_frame) {
    for (int e = 0; e < n; ++e) {
      std::size_t id = poller.event(e).data.u32;
      connections[id]->handle(poller.event(e).events, [&](const Frame& received) {
        if (id == receivers)
          on_sender_frame(received);
        else
          on_receiver_frame(id, received);
      });
    }
  };
  for (const auto& request : requests) {
    const std::string frame = client_message_frame(request, deflate, mask);
    sender.send(frame.data(), frame.size());
    bool answered = false;
    auto deadline = Clock::now() + answer_limit;
    while (!answered) {
      if (Clock::now() >= deadline)
        throw BenchError("a set_value of a pushed value had no answer within 10 s");
      handle_events(
          poller.wait(deadline), [](std::size_t, const Frame&) {},
          [&](const Frame& received) {
            auto text = (received.fin_rsv_opcode & 0x40) ? sender.inflate(received)
                                                         : std::string_view(received.payload, received.length);
            if (text.substr(0, 22) != "{\"command\":\"set_value\"")
              return; // a push
            if (text.find("\"status\":\"ok\"") == std::string_view::npos)
              throw BenchError("a set_value of a pushed value was answered with " + std::string(text.substr(0, 200)));
            answered = true;
          });
    }
  }

  // Compressed pushes that were inflated and found right; the same bytes need no inflating again
  // (the server compresses each push once, in the same way every time).
  const bool same_bytes = deflate && deflate->server_no_context_takeover;
  std::vector<std::string> known;
  std::vector<std::uint64_t> counts(receivers);
  std::uint64_t bytes = 0, compressed_pushes = 0, other_frames = 0;
  bool measuring = false;
  auto on_receiver = [&](std::size_t id, const Frame& received) {
    const bool compressed = (received.fin_rsv_opcode & 0x40) != 0;
    bool is_push = false;
    if (compressed && same_bytes) {
      for (const auto& bytes_seen : known)
        if (bytes_seen.size() == received.length && std::memcmp(bytes_seen.data(), received.payload, received.length) == 0)
          is_push = true;
    }
    if (!is_push) {
      auto text = compressed ? connections[id]->inflate(received) : std::string_view(received.payload, received.length);
      is_push = std::find(pushes.begin(), pushes.end(), text) != pushes.end();
      if (is_push && compressed && same_bytes && known.size() < 64)
        known.emplace_back(received.payload, received.length);
    }
    if (!is_push) {
      ++other_frames; // the value_changed notifications of the set_value requests
      return;
    }
    if (measuring) {
      ++counts[id];
      bytes += received.wire_length;
      compressed_pushes += compressed ? 1 : 0;
    }
  };
  auto on_sender = [](const Frame&) {};

  auto run_until = [&](Clock::time_point until) {
    while (Clock::now() < until)
      handle_events(poller.wait(until), on_receiver, on_sender);
  };
  auto seconds = [](double s) { return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s)); };
  run_until(Clock::now() + seconds(settings.warmup));
  measuring = true;
  other_frames = 0;
  auto from = Clock::now();
  CpuSample cpu_from = sample_cpu(settings.server_pid);
  run_until(from + seconds(settings.seconds));
  CpuSample cpu_until = sample_cpu(settings.server_pid);
  double measured = seconds_between(from, Clock::now());

  std::uint64_t total = 0;
  for (auto count : counts)
    total += count;
  auto [least, most] = std::minmax_element(counts.begin(), counts.end());
  if (total == 0)
    throw BenchError("no push arrived in " + std::to_string(settings.seconds) +
                     " s: was the service started with KORVA_SIM_PUSH_PERIOD_MS?");
  double per_receiver = static_cast<double>(total) / static_cast<double>(receivers);
  std::printf("result mode=pushes receivers=%zu size=%zu seconds=%.3f deflate=%s pushes_per_receiver=%.1f "
              "least=%llu most=%llu server_cpu_us_per_push=%s client_cpu_us_per_push=%.1f bytes_per_receiver=%.1f "
              "compressed_pushes=%llu other_frames=%llu\n",
              receivers, settings.size, measured, deflate ? agreement_text(*deflate).c_str() : "none", per_receiver,
              static_cast<unsigned long long>(*least), static_cast<unsigned long long>(*most),
              maybe(settings.server_pid > 0 ? (cpu_until.server_us - cpu_from.server_us) / per_receiver : -1, "%.1f").c_str(),
              (cpu_until.own_us - cpu_from.own_us) / per_receiver, static_cast<double>(bytes) / static_cast<double>(total),
              static_cast<unsigned long long>(compressed_pushes), static_cast<unsigned long long>(other_frames));
  std::fflush(stdout);
  close_connections(connections, poller, Clock::now() + close_limit);
  return 0;
}

// ---------------------------------------------------------------------------------------------

int run(int argc, char** argv) {
  if (argc < 2)
    throw UsageError("no mode given");
  std::string mode = argv[1];
  Options options(argc, argv);
  Target target = target_from(options);
  pid_t server_pid = static_cast<pid_t>(options.number("server-pid", 0, 0, 1e9));

  if (mode == "load" || mode == "count") {
    LoadSettings settings;
    settings.target = target;
    settings.server_pid = server_pid;
    settings.counted = mode == "count";
    settings.connections = static_cast<std::size_t>(options.number("connections", 1, 1, 10000));
    std::string body = options.text("body", "pad");
    if (body != "pad" && body != "json")
      throw UsageError("--body must be pad or json");
    settings.json = body == "json";
    settings.size = static_cast<std::size_t>(options.number("size", 64, settings.json ? 64 : 40, 16 << 20));
    if (settings.counted) {
      settings.max_messages = static_cast<std::uint64_t>(options.number("messages", required, 1, 1e8));
    } else {
      settings.seconds = options.number("seconds", 10, 0.1, 3600);
      settings.warmup = options.number("warmup", std::min(0.5, settings.seconds / 10), 0, 60);
      settings.max_messages = static_cast<std::uint64_t>(options.number("max-messages", 5e6, 1, 1e9));
    }
    options.check_all_used();
    return run_load(settings);
  }
  if (mode == "idle") {
    auto count = static_cast<std::size_t>(options.number("connections", 1000, 1, 100000));
    double hold = options.number("hold", 2, 0, 600);
    bool exchange = options.number("exchange", target.deflate ? 1 : 0, 0, 1) != 0;
    options.check_all_used();
    if (server_pid <= 0)
      throw UsageError("idle needs --server-pid");
    return run_idle(target, count, hold, server_pid, exchange);
  }
  if (mode == "fanout") {
    auto receivers = static_cast<std::size_t>(options.number("receivers", 100, 1, 100000));
    auto rounds = static_cast<std::size_t>(options.number("rounds", 20, 1, 100000));
    double seconds = options.number("seconds", 30, 0, 3600);
    options.check_all_used();
    return run_fanout(target, receivers, rounds, seconds);
  }
  if (mode == "broadcast") {
    BroadcastSettings settings;
    settings.target = target;
    settings.server_pid = server_pid;
    settings.receivers = static_cast<std::size_t>(options.number("receivers", 1000, 1, 100000));
    settings.size = static_cast<std::size_t>(options.number("size", 16384, 256, 1 << 20));
    settings.rounds = static_cast<std::size_t>(options.number("rounds", 100, 1, 100000));
    settings.warmup = static_cast<std::size_t>(options.number("warmup", 5, 0, 1000));
    options.check_all_used();
    return run_broadcast(settings);
  }
  if (mode == "pushes") {
    PushSettings settings;
    settings.target = target;
    settings.server_pid = server_pid;
    settings.receivers = static_cast<std::size_t>(options.number("receivers", 1000, 1, 100000));
    settings.size = static_cast<std::size_t>(options.number("size", 16384, 128, 1 << 20));
    settings.seconds = options.number("seconds", 10, 0.1, 3600);
    settings.warmup = options.number("warmup", 2, 0, 600);
    options.check_all_used();
    return run_pushes(settings);
  }
  throw UsageError("unknown mode " + mode);
}

// Many connections need many descriptors: take the hard limit.
void raise_file_limit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
}

} // namespace
} // namespace korva_bench

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  korva_bench::raise_file_limit();
  try {
    return korva_bench::run(argc, argv);
  } catch (const korva_bench::UsageError& e) {
    std::fprintf(stderr, "korva_bench: %s\nusage: korva_bench load|count|idle|fanout|broadcast|pushes --port P [options]; see bench/README.md\n", e.what());
    return 2;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "korva_bench: %s\n", e.what());
    return 1;
  }
}
