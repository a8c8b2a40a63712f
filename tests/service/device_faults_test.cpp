// The service with a device library that fails on demand (device_faults.cpp, preloaded): a device
// call that throws a standard exception costs only its own work, anything else thrown ends the
// service in order, a call that stalls is never mistaken for a finished stop, and text that is
// not UTF-8 never goes out as a text frame. Every test here holds 127.0.0.1:8888.

#include "tests/support/notify_listener.hpp"
#include "tests/support/service_process.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>
#include <vector>

using namespace korva_test;
using namespace std::chrono_literals;

namespace {

// The service's environment: `env`, and the fault library preloaded (behind the emulator, into the
// emulated program only).
std::vector<std::string> with_faults(std::vector<std::string> env) {
  const char* library = std::getenv("KORVA_FAULTS_LIBRARY");
  env.push_back((under_emulator() ? "QEMU_SET_ENV=LD_PRELOAD=" : "LD_PRELOAD=") + std::string(library ? library : ""));
  // A sanitizer's runtime wants to be the first library; it copes with this one before it.
  const char* asan = std::getenv("ASAN_OPTIONS");
  env.push_back("ASAN_OPTIONS=" + (asan ? std::string(asan) + ":" : std::string()) + "verify_asan_link_order=0");
  return env;
}

std::string close_frame_payload(int status, const std::string& reason) {
  return std::string{static_cast<char>(status >> 8), static_cast<char>(status & 0xFF)} + reason;
}

std::size_t count(const std::string& log, const std::string& text) {
  std::size_t found = 0;
  for (std::size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1))
    ++found;
  return found;
}

// Reads frames until one that starts with `prefix` (pushes may come between).
Frame frame_starting(TestClient& client, const std::string& prefix, std::chrono::milliseconds limit = 10s) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    Frame frame = client.read_frame(std::max(left, 1ms));
    if (!frame.ok || frame.payload.compare(0, prefix.size(), prefix) == 0)
      return frame;
  }
}

// A FIFO that holds a "wait" request inside doRequest until the test opens it for writing.
struct Release {
  Release() : path("/tmp/korva-release-" + std::to_string(::getpid())) {
    ::unlink(path.c_str());
    EXPECT_EQ(::mkfifo(path.c_str(), 0600), 0);
  }
  ~Release() { ::unlink(path.c_str()); }
  std::string variable() const { return "KORVA_FAULT_RELEASE=" + path; }
  void release() const { ::close(::open(path.c_str(), O_WRONLY | O_CLOEXEC)); }
  std::string path;
};

TEST(DeviceFaults, AStandardExceptionFromDoRequestClosesOnlyItsRequesterWith1011) {
  auto service = start_service(with_faults({}));
  auto requester = connect_to_service(), other = connect_to_service();
  requester->send_text(R"({"command":"echo","fault":"throw"})");
  const Frame close = requester->read_frame();
  EXPECT_EQ(close.fin_rsv_opcode, 0x88);
  EXPECT_EQ(close.payload, close_frame_payload(1011, "device request failed"));
  other->send_text(R"({"command":"echo","n":2})");
  EXPECT_EQ(other->read_frame().payload, R"({"command":"echo","n":2})");
  EXPECT_TRUE(service->wait_for_stderr("Server: Device call doRequest failed for \"echo\" from 0x"));
  EXPECT_TRUE(service->wait_for_stderr(": injected doRequest failure\n"));
  EXPECT_TRUE(service->running());
}

// The others miss the notifications of that one reply, and the failure is logged once for it.
TEST(DeviceFaults, AFailingNotificationCostsOnlyTheNotificationsOfItsReply) {
  auto service = start_service(with_faults({}));
  auto requester = connect_to_service(), first = connect_to_service(), second = connect_to_service();
  requester->send_text(R"({"command":"echo","fault":"notify-throw"})");
  EXPECT_EQ(requester->read_frame().payload, R"({"command":"echo","fault":"notify-throw"})");
  requester->send_text(R"({"command":"set_value","group":12,"id":1,"value":5})");
  EXPECT_NE(frame_starting(*requester, "{\"command\":\"set_value\"").payload.find("\"status\":\"ok\""), std::string::npos);
  for (TestClient* other : {first.get(), second.get()}) // nothing before the next reply's notification
    EXPECT_EQ(other->read_frame().payload, R"({"notification":"value_changed","group":12,"id":1,"index":0,"value":5})");
  const std::string line = "Server: Device call formRequestForPushNotification failed for 2 of 2 connections, whose "
                           "notifications of this reply were skipped: injected formRequestForPushNotification failure\n";
  EXPECT_TRUE(service->wait_for_stderr(line));
  EXPECT_EQ(count(service->stderr_text(), "formRequestForPushNotification failed"), 1u);
}

// The monitor's other changed values still go out: getValueDiff does not list them again. A failing
// getValueDiff costs its cycle.
TEST(DeviceFaults, AFailingMonitorCallCostsThatValueOrThatCycle) {
  const std::string ready = "/tmp/korva-monitor-ready-" + std::to_string(::getpid());
  ::unlink(ready.c_str());
  {
    auto service = start_service(with_faults(
        {"KORVA_FAULT_READ=throw", "KORVA_FAULT_READ_GROUP=7", "KORVA_SIM_MONITOR_READY_FILE=" + ready}));
    ASSERT_TRUE(eventually([&] { return ::access(ready.c_str(), F_OK) == 0; }));
    auto requester = connect_to_service(), other = connect_to_service();
    for (const char* request : {R"({"command":"set_value","group":7,"id":1,"value":1})",
                                R"({"command":"set_value","group":8,"id":1,"value":2})"}) {
      requester->send_text(request);
      EXPECT_TRUE(requester->read_frame().ok);
    }
    // The monitor polls every 10 s.
    EXPECT_EQ(frame_starting(*other, "{\"group\":", 15s).payload, R"({"group":8,"id":1,"index":0,"value":2})");
    EXPECT_TRUE(service->wait_for_stderr(
        "Server: Device call readData(7, 1, 0) for a changed value failed: injected readData failure\n"));
  }
  ::unlink(ready.c_str());
  auto service = start_service(with_faults({"KORVA_FAULT_DIFF=throw"}));
  EXPECT_TRUE(service->wait_for_stderr(
      "Server: Device call getValueDiff failed, this cycle is skipped: injected getValueDiff failure\n"));
  auto client = connect_to_service();
  client->send_text(R"({"command":"echo"})");
  EXPECT_EQ(client->read_frame().payload, R"({"command":"echo"})");
}

// The other values are still pushed, and a failure that repeats is logged once a minute.
TEST(DeviceFaults, AFailingReadForAPushNotificationCostsThatNotification) {
  auto service = start_service(with_faults({"KORVA_SIM_PUSH_PERIOD_MS=5", "KORVA_FAULT_READ=throw", "KORVA_FAULT_READ_GROUP=1"}));
  auto client = connect_to_service();
  for (int round = 0; round < 3; ++round) // each round through the device's values fails twice
    EXPECT_EQ(frame_starting(*client, "{\"group\":0,\"id\":1,").payload.rfind("{\"group\":0,\"id\":1,\"index\":0,", 0), 0u);
  const std::string log = service->stderr_text();
  EXPECT_EQ(count(log, "Server: Device call readData(1, 1, 0) for a push notification failed: injected readData failure\n"), 1u) << log;
  EXPECT_EQ(count(log, "for a push notification failed"), 1u) << log;
}

// A stop while a device call runs waits for it within its usual bound: when it returns, the stop
// goes on as usual; when it does not, the log says which call runs and for how long, and the status
// is 3.
TEST(DeviceFaults, AStopWaitsForADeviceCallAndNeverReportsSuccessItDidNotReach) {
  for (const bool returns : {true, false}) {
    Release release;
    auto service = start_service(with_faults({release.variable()}));
    auto requester = connect_to_service(), idle = connect_to_service();
    requester->send_text(R"({"command":"echo","fault":"wait"})");
    ASSERT_TRUE(service->wait_for_stdout("Received command: echo\n"));
    service->kill_now(SIGTERM);
    ASSERT_TRUE(service->wait_for_stdout("Stopping korva-server\n"));
    if (!returns) {
      EXPECT_EQ(service->wait_exit(), 3);
      EXPECT_TRUE(service->wait_for_stderr("korva-server: stop incomplete: device call doRequest still running after "));
      EXPECT_TRUE(service->wait_for_stderr(" s on the server thread\n"));
      continue;
    }
    release.release();
    EXPECT_EQ(requester->read_frame().payload, R"({"command":"echo","fault":"wait"})");
    for (TestClient* client : {requester.get(), idle.get()}) {
      EXPECT_EQ(client->read_frame().payload, close_frame_payload(1001, "service stopping"));
      client->send_raw(make_close_frame(1001, ""));
    }
    EXPECT_EQ(service->wait_exit(), 0) << service->stderr_text();
    EXPECT_EQ(service->stderr_text(), "");
  }
}

// The service manager's watchdog is fed while the event loop is inside a device call, however long
// it takes: a busy device never has the service restarted.
TEST(DeviceFaults, TheWatchdogIsFedWhileTheLoopIsInsideADeviceCall) {
  Release release;
  NotifyListener manager(true);
  auto service = start_service(with_faults({release.variable(), manager.variable(), "WATCHDOG_USEC=200000"}));
  auto requester = connect_to_service();
  requester->send_text(R"({"command":"echo","fault":"wait"})");
  ASSERT_TRUE(service->wait_for_stdout("Received command: echo\n"));
  for (int feed = 0; feed < 4; ++feed)
    EXPECT_EQ(manager.wait_for("WATCHDOG=1"), "WATCHDOG=1") << feed;
  release.release();
  EXPECT_EQ(requester->read_frame().payload, R"({"command":"echo","fault":"wait"})");
}

// What the device library starts keeps nothing of the service's signals: a helper it runs (fork and
// exec) and a child it forks without exec start with no signal blocked or ignored, and SIGTERM ends
// them. The child's SIGTERM never reaches the service's stop.
TEST(DeviceFaults, WhatTheDeviceLibraryStartsEndsWithSigterm) {
  auto service = start_service(with_faults({}));
  auto client = connect_to_service();
  const auto status_line = [](int pid, const std::string& name) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
      if (line.compare(0, name.size() + 2, name + ":\t") == 0)
        return line.substr(name.size() + 2);
    return std::string();
  };
  std::vector<const char*> faults{"child-exec"};
#ifndef __SANITIZE_THREAD__
  // In a child forked from a process with threads, ThreadSanitizer's interceptors pass every call
  // straight through, so a signal it caught there waits for a handler call that never comes.
  faults.push_back("child-fork");
#endif
  for (const char* fault : faults) {
    client->send_text(std::string(R"({"command":"echo","fault":")") + fault + "\"}");
    const std::string reply = client->read_frame().payload;
    int child = 0;
    ASSERT_EQ(std::sscanf(reply.c_str(), "{\"child\":%d}", &child), 1) << reply;
    ASSERT_GT(child, 0) << reply;
    if (!under_emulator()) { // qemu-user's own threads block and ignore signals of their own
      // Nothing blocked or ignored that this test did not inherit itself (a shell may ignore some
      // for its background jobs), and never SIGTERM, SIGINT or SIGPIPE.
      const unsigned long long ours = (1ull << (SIGTERM - 1)) | (1ull << (SIGINT - 1)) | (1ull << (SIGPIPE - 1));
      for (const char* set : {"SigBlk", "SigIgn"}) {
        const unsigned long long in_child = std::stoull(status_line(child, set), nullptr, 16);
        const unsigned long long inherited = std::stoull(status_line(::getpid(), set), nullptr, 16);
        EXPECT_EQ(in_child & ~inherited, 0ull) << fault << " " << set << " " << std::hex << in_child;
        EXPECT_EQ(in_child & ours, 0ull) << fault << " " << set << " " << std::hex << in_child;
      }
    }
    ::kill(child, SIGTERM);
    EXPECT_TRUE(eventually([&] { // a zombie (the service never waits for it), or gone
      const std::string state = status_line(child, "State");
      return state.empty() || state[0] == 'Z';
    })) << fault;
    ::kill(child, SIGKILL);
  }
  client->send_text(R"({"command":"echo","n":2})");
  EXPECT_EQ(client->read_frame().payload, R"({"command":"echo","n":2})");
  EXPECT_EQ(service->stdout_text().find("Stopping korva-server"), std::string::npos);
}

// A reply, a notification and pushed data that are not UTF-8 go out with U+FFFD in place of each
// ill-formed sequence; the log says so.
TEST(DeviceFaults, TextThatIsNotUtf8GoesOutWithReplacementCharacters) {
  auto service = start_service(with_faults({"KORVA_SIM_PUSH_PERIOD_MS=5", "KORVA_FAULT_READ=bad-utf8", "KORVA_FAULT_READ_GROUP=1"}));
  auto requester = connect_to_service(), other = connect_to_service();
  const std::string r = "\xEF\xBF\xBD";
  requester->send_text(R"({"command":"echo","fault":"bad-utf8"})");
  EXPECT_EQ(frame_starting(*requester, "{\"text\"").payload, "{\"text\":\"caf" + r + " " + r + r + r + " " + r + " ok \xC3\xA9\"}");
  requester->send_text(R"({"command":"echo","fault":"notify-bad-utf8"})");
  EXPECT_EQ(frame_starting(*other, "{\"note\"").payload, "{\"note\":\"" + r + r + "\"}");
  EXPECT_EQ(frame_starting(*other, "{\"group\":1").payload, "{\"group\":1,\"value\":\"" + r + r + "\"}");
  EXPECT_TRUE(service->wait_for_stderr(" is not valid UTF-8: 5 sequences replaced by U+FFFD\n"));
  EXPECT_TRUE(service->wait_for_stderr("Server: Notifications of a reply are not valid UTF-8: 2 sequences replaced by U+FFFD\n"));
  EXPECT_TRUE(service->wait_for_stderr("Server: Data pushed by the device is not valid UTF-8: 2 sequences replaced by U+FFFD\n"));
}

// Something thrown that is not a standard exception ends the service in order: every client is sent
// 1011, the log is written out, the reason comes last, and the status is 1.
TEST(DeviceFaults, AnUnknownExceptionEndsTheServiceInOrder) {
  struct Source {
    std::vector<std::string> env;
    const char* request; // null: the push path throws by itself
    const char* call;
  };
  for (const Source& source : {Source{{}, R"({"command":"echo","fault":"throw-unknown"})", "doRequest"},
                               Source{{"KORVA_SIM_PUSH_PERIOD_MS=5", "KORVA_FAULT_READ=unknown", "KORVA_FAULT_READ_GROUP=1"},
                                      nullptr, "readData"}}) {
    auto service = start_service(with_faults(source.env));
    auto first = connect_to_service(), second = connect_to_service();
    if (source.request)
      first->send_text(source.request);
    for (TestClient* client : {first.get(), second.get()}) {
      Frame close;
      do
        close = client->read_frame();
      while (close.ok && close.fin_rsv_opcode != 0x88);
      EXPECT_EQ(close.payload, close_frame_payload(1011, "internal error")) << source.call;
      client->send_raw(make_close_frame(1011, ""));
    }
    EXPECT_EQ(service->wait_exit(), 1) << source.call;
    const std::string last = std::string("korva-server: device call ") + source.call +
                             " threw something that is not a standard exception\n";
    const std::string log = service->stderr_text();
    EXPECT_EQ(log.substr(log.size() - std::min(log.size(), last.size())), last) << log;
  }
}

// The simulated device answers the notification question for a reply that notifies nobody at once,
// however large the reply: a 16 MiB echo with a thousand other clients does not hold the event loop
// for a second (a client that asks all along is answered within it).
TEST(DeviceFaults, ALargestReplyWithAThousandOthersHoldsNoClientUpForASecond) {
  rlimit files{};
  getrlimit(RLIMIT_NOFILE, &files);
  if (files.rlim_cur < 2200 && files.rlim_max >= 2200) {
    files.rlim_cur = 2200;
    setrlimit(RLIMIT_NOFILE, &files);
  }
  if (files.rlim_cur < 2200)
    GTEST_SKIP() << "needs 2200 open files";
  auto service = start_service();
  std::vector<std::unique_ptr<TestClient>> others;
  for (int i = 0; i < 1000; ++i)
    others.push_back(connect_to_service());
  auto requester = connect_to_service(), prober = connect_to_service();
  std::atomic<bool> done{false};
  std::chrono::steady_clock::duration longest{};
  std::thread probe([&] {
    while (!done) {
      const auto asked = std::chrono::steady_clock::now();
      prober->send_text(R"({"command":"echo","probe":1})");
      if (!prober->read_frame(30s).ok)
        return;
      longest = std::max(longest, std::chrono::steady_clock::now() - asked);
    }
  });
  const std::string request = R"({"command":"echo","pad":")" + std::string(16 * 1024 * 1024 - 40, 'e') + "\"}";
  requester->send_text(request);
  const Frame reply = requester->read_frame(60s);
  done = true;
  probe.join();
  EXPECT_EQ(reply.payload.size(), request.size());
  const double seconds = std::chrono::duration<double>(longest).count();
  std::printf("figure: 16 MiB echo, 1000 others: longest answer to another client %.3f s\n", seconds);
#ifndef KORVA_SANITIZED
  if (native_figures_checked("the longest answer to another client")) {
    EXPECT_LT(seconds, 1.0);
  }
#endif
}

} // namespace
