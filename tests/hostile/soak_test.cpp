// Soak: the service binary under a steady mix of requests, follow-up notifications, pushed values
// and reconnects for KORVA_SOAK_SECONDS seconds (skipped when that is not set; `make soak` sets
// it). Resident memory is sampled once the warm-up (a quarter of the run, at most 30 seconds) is
// over and again at the end; the test fails if it grew by more than soak_margin_kib. Every request
// must be answered, and at the end the service holds no more sockets than before the run.
// Beside the eight well-behaved slots, a client that never reads sends a request now and then and
// is replaced every 20 seconds: what is queued for it stays bounded and goes back when it leaves.

#include "tests/hostile/hostile.hpp"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

using namespace korva_test;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// Growth of resident memory allowed between the end of the warm-up and the end of the run.
constexpr long soak_margin_kib = 3 * 1024;

struct Slot {
  std::unique_ptr<TestClient> client;
  int requests_left = 0;
};

} // namespace

TEST(Soak, MixedTrafficWithReconnectsKeepsMemoryFlat) {
  const char* setting = std::getenv("KORVA_SOAK_SECONDS");
  if (!setting || std::atoi(setting) <= 0)
    GTEST_SKIP() << "KORVA_SOAK_SECONDS is not set (make soak sets it)";
  const double duration = std::atoi(setting);
  const double warm_up = std::min(30.0, duration / 4);

  auto service = start_service({"KORVA_SIM_PUSH_PERIOD_MS=20", "KORVA_SIM_SENSOR_PERIOD_MS=200"});
  const int fds_before = open_fds(service->pid());
  std::mt19937 random(20240601);
  auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };

  std::vector<Slot> slots(8);
  long requests = 0, answers_received = 0, reconnects = 0, pushed_frames = 0;
  // The client that never reads, and the bytes it has not got rid of yet (it never blocks).
  std::unique_ptr<TestClient> stalled;
  std::string stalled_backlog;
  double stalled_since = 0;
  long stalled_clients = 0;
  long rss_warm = -1, rss_min = -1, rss_max = 0;
  const auto start = Clock::now();
  auto elapsed = [&] { return std::chrono::duration<double>(Clock::now() - start).count(); };
  auto next_sample = warm_up;

  while (elapsed() < duration) {
    if (!stalled || elapsed() - stalled_since > 20) {
      if (stalled)
        stalled->close(/*reset=*/true);
      stalled = connect_to_service("/api", "X-Real-IP: 10.66.0." + std::to_string(stalled_clients % 250) + "\r\n", 4096);
      stalled_backlog.clear();
      stalled_since = elapsed();
      ++stalled_clients;
    }
    if (requests % 50 == 0 && stalled_backlog.size() < 1024 * 1024)
      stalled_backlog += make_frame(0x81, echo_request(std::string(static_cast<std::size_t>(pick(4096)), 's')));
    stalled_backlog.erase(0, stalled->send_within(stalled_backlog, 0ms));

    Slot& slot = slots[static_cast<std::size_t>(pick(static_cast<int>(slots.size())))];
    if (!slot.client || slot.requests_left == 0) {
      if (slot.client) {
        switch (pick(3)) { // the end of a connection, three ways
        case 0:
          slot.client->send_raw(make_close_frame(1000, "bye"));
          ASSERT_TRUE(slot.client->wait_closed(10s));
          break;
        case 1:
          slot.client->close(/*reset=*/true);
          break;
        default:
          slot.client->close();
          break;
        }
        ++reconnects;
      }
      slot.client = connect_to_service("/api", pick(2) ? "X-Real-IP: 10.0.0." + std::to_string(pick(250)) + "\r\n" : "");
      slot.requests_left = 1 + pick(200);
    }

    // One request of the mix; its answer is the next frame that starts as the answer does.
    std::string request, answer_start;
    switch (pick(6)) {
    case 0:
      request = echo_request(std::to_string(requests) + std::string(static_cast<std::size_t>(pick(4096)), 'e'));
      answer_start = request;
      break;
    case 1:
      request = R"({"command":"get_info"})";
      answer_start = R"({"command":"get_info","status":"ok")";
      break;
    case 2:
      request = R"({"command":"get_values"})";
      answer_start = R"({"command":"get_values","status":"ok")";
      break;
    case 3:
    case 4: // a change, notified to every other connection
      request = R"({"command":"set_value","group":5,"id":)" + std::to_string(500 + pick(20)) +
                R"(,"value":)" + (pick(2) ? std::to_string(pick(100000)) : "\"s" + std::to_string(pick(1000)) + "\"") + "}";
      answer_start = R"({"command":"set_value","status":"ok")";
      break;
    default:
      request = R"({"command":"nonsense"})";
      answer_start = R"({"status":"error","error":"unknown command)";
      break;
    }
    slot.client->send_text(request);
    ++requests;
    // Pushes arrive every 20 ms, so the answer has a deadline of its own: a lost answer (or a
    // request held up on its way in) fails the test instead of holding it for ever.
    const auto answer_deadline = Clock::now() + 10s;
    for (long others = 0;; ++others, ++pushed_frames) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(answer_deadline - Clock::now());
      Frame frame = left > 0ms ? slot.client->read_frame(left) : Frame{};
      ASSERT_TRUE(frame.ok) << "no answer within 10 s to request " << requests << " (" << others
                            << " other frames came): " << request.substr(0, 200);
      if (frame.payload.compare(0, answer_start.size(), answer_start) == 0) {
        ++answers_received;
        break;
      }
    }
    --slot.requests_left;

    if (elapsed() >= next_sample) {
      long rss = rss_kib(service->pid());
      if (rss_warm < 0)
        rss_warm = rss;
      rss_min = rss_min < 0 ? rss : std::min(rss_min, rss);
      rss_max = std::max(rss_max, rss);
      next_sample += 10;
    }
  }
  for (auto& slot : slots)
    slot.client.reset();
  stalled->close(/*reset=*/true);
  EXPECT_TRUE(eventually([&] { return open_fds(service->pid()) <= fds_before; }));
  // What the last stalled client held goes back once the service has noticed that it left.
  if (!sanitized_build)
    eventually([&] { return rss_kib(service->pid()) - rss_warm <= soak_margin_kib; }, 5s);
  const long rss_end = rss_kib(service->pid());

  figure("soak: seconds", duration, "s");
  figure("soak: requests answered", answers_received);
  figure("soak: requests per second", static_cast<double>(answers_received) / duration);
  figure("soak: reconnects", reconnects);
  figure("soak: clients that never read", stalled_clients);
  figure("soak: of them cut off at their queue limit",
         count_lines(service->stdout_text(), "    message: No buffer space available"));
  figure("soak: pushed and notified frames received", pushed_frames);
  figure("soak: RSS after warm-up", rss_warm, "KiB");
  figure("soak: RSS lowest / highest sample", std::to_string(rss_min) + " / " + std::to_string(rss_max), "KiB");
  figure("soak: RSS at the end", rss_end, "KiB");
  EXPECT_EQ(answers_received, requests);
  ASSERT_GE(rss_warm, 0);
  if (memory_margins_checked("memory over the soak")) {
    EXPECT_LE(rss_end - rss_warm, soak_margin_kib) << "resident memory grew by " << rss_end - rss_warm << " KiB";
  }
  expect_healthy(*service);
}
