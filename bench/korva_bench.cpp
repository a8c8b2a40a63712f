// korva_bench: the load generator of `make bench`. One thread, raw non-blocking sockets and
// epoll, so that it costs little beside the server it measures. Each mode prints one line
// `result key=value ...` on standard output (the driver, bench/run, reads it) and exits 0; a
// refused connection, a protocol error or a lost answer prints `korva_bench: <what>` on
// standard error and exits 1; a wrong command line exits 2.
//
//   korva_bench load   --port P --connections C --size S --seconds T [--server-pid PID]
//       closed loop: each connection sends one echo request of S bytes, waits for its answer,
//       sends the next; T seconds measured after a short warm-up. Messages per second, latency
//       percentiles, the server's and the generator's CPU time per message.
//   korva_bench count  --port P --size S --messages N
//       the same for exactly N messages on one connection, started and ended by the driver
//       through standard input: prints `ready` once connected, starts at the first line it
//       reads, prints its result, and closes once standard input ends. For counting the
//       server's system calls while only the N messages run.
//   korva_bench idle   --port P --connections N --hold T --server-pid PID
//       opens N connections (handshakes complete), holds them T seconds; the server's resident
//       memory before and after.
//   korva_bench fanout --port P --receivers N --rounds R [--seconds T]
//       N receivers and one sender; per round the sender sets a value and the round ends when
//       every receiver has the notification of that value; first and last arrival per round.
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
  pid_t server_pid = 0;
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
  std::vector<Request> requests;
  requests.reserve(connections.size());
  for (std::size_t i = 0; i < connections.size(); ++i)
    requests.emplace_back(settings.size);

  if (settings.counted) {
    std::printf("ready\n");
    std::fflush(stdout);
    if (!wait_for_driver(driver_limit, false))
      throw BenchError("no go from the driver on standard input");
  }

  std::vector<std::uint64_t> latencies; // nanoseconds, of the measured answers
  latencies.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(settings.max_messages, 1u << 20)));
  std::uint64_t sent = 0, answered = 0, other_frames = 0;
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
    connections[i]->send(request.frame.data(), request.frame.size());
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
        if (request.waiting && (frame.fin_rsv_opcode & 0x0F) == 0x1 && frame.length == request.text.size() &&
            std::memcmp(frame.payload, request.text.data(), frame.length) == 0) {
          auto latency = Clock::now() - request.sent_at;
          request.waiting = false;
          --waiting;
          if (measuring && !stopping) {
            ++answered;
            latencies.push_back(static_cast<std::uint64_t>(std::chrono::nanoseconds(latency).count()));
          }
          send_next(i);
        } else if (request.waiting && frame.length >= 17 && std::memcmp(frame.payload, "{\"command\":\"echo\"", 17) == 0) {
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
              "other_frames=%llu\n",
              settings.counted ? "count" : "load", settings.connections, settings.size,
              static_cast<unsigned long long>(answered), seconds, seconds > 0 ? static_cast<double>(answered) / seconds : 0,
              static_cast<double>(percentile(latencies, 50)) / 1e3, static_cast<double>(percentile(latencies, 99)) / 1e3,
              maybe(server_us < 0 ? -1 : server_us * per_message).c_str(), own_us * per_message,
              seconds > 0 ? own_us / 1e4 / seconds : 0, static_cast<unsigned long long>(other_frames));
  std::fflush(stdout);

  if (settings.counted && !wait_for_driver(driver_limit, true))
    throw BenchError("standard input was not closed by the driver");
  close_connections(connections, poller, Clock::now() + close_limit);
  return 0;
}

// ---------------------------------------------------------------------------------------------
// idle: the server's memory per open, silent connection

int run_idle(const Target& target, std::size_t count, double hold, pid_t server_pid) {
  long before = process_rss_kib(server_pid);
  if (before < 0)
    throw BenchError("cannot read the resident memory of process " + std::to_string(server_pid));
  Poller poller;
  auto start = Clock::now();
  auto connections = open_connections(target, count, poller, start + open_limit);
  double open_seconds = seconds_between(start, Clock::now());

  std::uint64_t other_frames = 0;
  auto until = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(hold));
  while (Clock::now() < until) {
    int n = poller.wait(until);
    for (int e = 0; e < n; ++e)
      connections[poller.event(e).data.u32]->handle(poller.event(e).events, [&](const Frame&) { ++other_frames; });
  }
  long after = process_rss_kib(server_pid);
  if (after < 0)
    throw BenchError("the server (process " + std::to_string(server_pid) + ") ended while the connections were held");
  std::printf("result mode=idle connections=%zu open_seconds=%.3f rss_before_kib=%ld rss_after_kib=%ld "
              "kib_per_connection=%.2f other_frames=%llu\n",
              count, open_seconds, before, after, static_cast<double>(after - before) / static_cast<double>(count),
              static_cast<unsigned long long>(other_frames));
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
    settings.size = static_cast<std::size_t>(options.number("size", 64, 40, 16 << 20));
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
    options.check_all_used();
    if (server_pid <= 0)
      throw UsageError("idle needs --server-pid");
    return run_idle(target, count, hold, server_pid);
  }
  if (mode == "fanout") {
    auto receivers = static_cast<std::size_t>(options.number("receivers", 100, 1, 100000));
    auto rounds = static_cast<std::size_t>(options.number("rounds", 20, 1, 100000));
    double seconds = options.number("seconds", 30, 0, 3600);
    options.check_all_used();
    return run_fanout(target, receivers, rounds, seconds);
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
    std::fprintf(stderr, "korva_bench: %s\nusage: korva_bench load|count|idle|fanout --port P [options]; see bench/README.md\n", e.what());
    return 2;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "korva_bench: %s\n", e.what());
    return 1;
  }
}
