#pragma once
// Helpers for the hostile-client tests and the soak: the service's resident memory and open
// files read from /proc, a probe that proves the service still answers, and the checks that a
// service process is still healthy after an attack.

#include "tests/support/service_process.hpp"

#include <dirent.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

namespace korva_test {

// Built with a sanitizer: memory figures are printed but not held to the margins, since the
// sanitizer's own shadow memory and quarantine dominate them.
#ifdef KORVA_SANITIZED
constexpr bool sanitized_build = true;
#else
constexpr bool sanitized_build = false;
#endif

// True when the memory figures are held to their margins: a sanitizer build only prints them (its
// shadow memory and quarantine dominate them), and under an emulator, whose own memory is counted
// in, their checks are skipped with a message (native_figures_checked).
inline bool memory_margins_checked(const std::string& what) {
  return !sanitized_build && native_figures_checked(what);
}

// VmRSS of the process in KiB, or -1 when it cannot be read.
inline long rss_kib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.compare(0, 6, "VmRSS:") == 0)
      return std::stol(line.substr(6));
  return -1;
}

// Number of open file descriptors of the process, or -1 when it cannot be read.
inline int open_fds(pid_t pid) {
  DIR* folder = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  if (!folder)
    return -1;
  int count = 0;
  while (dirent* entry = readdir(folder))
    if (entry->d_name[0] != '.')
      ++count;
  closedir(folder);
  return count;
}

// What the process's file descriptors refer to, one per line, for failure messages.
inline std::string describe_fds(pid_t pid) {
  const std::string folder_name = "/proc/" + std::to_string(pid) + "/fd";
  std::string text;
  DIR* folder = opendir(folder_name.c_str());
  if (!folder)
    return text;
  while (dirent* entry = readdir(folder)) {
    if (entry->d_name[0] == '.')
      continue;
    char target[256] = {};
    ssize_t n = readlink((folder_name + "/" + entry->d_name).c_str(), target, sizeof target - 1);
    text += std::string(entry->d_name) + " -> " + (n > 0 ? std::string(target, static_cast<std::size_t>(n)) : "?") + "\n";
  }
  closedir(folder);
  return text;
}

// A figure of the test run, printed on its own line so that the run's log can be searched for it.
template <class Value>
void figure(const std::string& name, const Value& value, const std::string& unit = "") {
  std::cout << "FIGURE " << name << ": " << value << (unit.empty() ? "" : " ") << unit << std::endl;
}

inline std::string echo_request(const std::string& tag) { return R"({"command":"echo","tag":")" + tag + "\"}"; }

// Sends an echo request and waits for its answer (the same bytes), skipping the frames that the
// service pushes meanwhile. False when no answer comes within the limit.
inline bool answers(TestClient& client, const std::string& tag, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  const std::string request = echo_request(tag);
  client.send_text(request);
  auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0)
      return false;
    Frame frame = client.read_frame(left);
    if (!frame.ok)
      return false;
    if (frame.payload == request)
      return true;
  }
}

// The service still runs and has reported no fault on standard error.
inline void expect_healthy(ChildProcess& service) {
  EXPECT_TRUE(service.running()) << "the service has ended; stderr:\n" << service.stderr_text().substr(0, 4000);
  const std::string errors = service.stderr_text();
  for (const char* fault : {"AddressSanitizer", "LeakSanitizer", "ThreadSanitizer", "runtime error:",
                            "korva-server: ", "terminate called"})
    EXPECT_EQ(errors.find(fault), std::string::npos) << "stderr reports \"" << fault << "\":\n"
                                                    << errors.substr(errors.find(fault), 4000);
}

// Counts the lines of the service's standard output that start with `prefix`.
inline int count_lines(const std::string& text, const std::string& prefix) {
  int count = 0;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line))
    if (line.compare(0, prefix.size(), prefix) == 0)
      ++count;
  return count;
}

inline double mib(long kib) { return static_cast<double>(kib) / 1024.0; }

} // namespace korva_test
