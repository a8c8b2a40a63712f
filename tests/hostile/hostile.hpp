#pragma once
// Helpers for the hostile-client tests and the soak: the service's resident memory and open
// files read from /proc, a probe that proves the service still answers, and the checks that a
// service process is still healthy after an attack.

#include "tests/support/service_process.hpp"

#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

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

// Raises this process's limit of open files (and so its children's) to `wanted`, or to as many as
// the hard limit allows; returns what it is now.
inline long raise_open_file_limit(long wanted) {
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  if (limit.rlim_cur < static_cast<rlim_t>(wanted)) {
    limit.rlim_cur = std::min<rlim_t>(static_cast<rlim_t>(wanted), limit.rlim_max);
    setrlimit(RLIMIT_NOFILE, &limit);
  }
  getrlimit(RLIMIT_NOFILE, &limit);
  return static_cast<long>(limit.rlim_cur);
}

// A memory cgroup of its own for one service process, with a memory limit, as the unit's
// MemoryMax gives the service on the device: made under the test's own cgroup (the v1 memory
// controller, or v2 where the test's cgroup lets it enable the memory controller for a child),
// removed again at the end. Where none can be made, made() is false and why_not() says why: the
// test then prints "NOT CHECKED: no memory cgroup" and checks nothing of the memory.
class MemoryCgroup {
public:
  // A limit of 0 makes none (why_not() says so).
  explicit MemoryCgroup(long limit_mib) {
    if (limit_mib == 0) {
      why_not_ = "the figures of this build mean nothing";
      return;
    }
    std::ifstream self("/proc/self/cgroup");
    std::string line, v1_path, v2_path;
    while (std::getline(self, line)) {
      const auto first = line.find(':'), second = line.find(':', first + 1);
      if (first == std::string::npos || second == std::string::npos)
        continue;
      const std::string controllers = line.substr(first + 1, second - first - 1);
      if ((',' + controllers + ',').find(",memory,") != std::string::npos)
        v1_path = line.substr(second + 1);
      else if (line.compare(0, 3, "0::") == 0)
        v2_path = line.substr(3);
    }
    static int made = 0;
    const std::string name = "/korva-test-" + std::to_string(::getpid()) + "-" + std::to_string(++made);
    if (!v1_path.empty()) {
      path_ = "/sys/fs/cgroup/memory" + v1_path + name;
      v1_ = true;
    } else if (!v2_path.empty() && contains_word(read_file("/sys/fs/cgroup/cgroup.controllers"), "memory")) {
      const std::string parent = "/sys/fs/cgroup" + v2_path;
      if (!contains_word(read_file(parent + "/cgroup.subtree_control"), "memory"))
        write_file(parent + "/cgroup.subtree_control", "+memory");
      path_ = parent + name;
    } else {
      why_not_ = "neither a v1 memory controller nor a v2 one";
      return;
    }
    if (::mkdir(path_.c_str(), 0755) != 0 && errno != EEXIST) {
      why_not_ = "cannot make " + path_ + ": " + std::strerror(errno);
      path_.clear();
      return;
    }
    const std::string limit = std::to_string(limit_mib * 1024 * 1024);
    if (!write_file(path_ + (v1_ ? "/memory.limit_in_bytes" : "/memory.max"), limit)) {
      why_not_ = "cannot set the memory limit of " + path_;
      return;
    }
    // v1 counts socket buffers apart, and only once they have a limit: one far above anything,
    // so that their peak can be shown beside the rest (v2 counts them in).
    if (v1_)
      write_file(path_ + "/memory.kmem.tcp.limit_in_bytes", std::to_string(1LL << 40));
    made_ = true;
  }
  ~MemoryCgroup() {
    if (!path_.empty())
      ::rmdir(path_.c_str()); // empty once its process has ended
  }
  MemoryCgroup(const MemoryCgroup&) = delete;
  MemoryCgroup& operator=(const MemoryCgroup&) = delete;

  bool made() const { return made_; }
  const std::string& why_not() const { return why_not_; }

  // `command` run inside the cgroup: the shell joins it, then becomes the command.
  std::vector<std::string> wrap(const std::vector<std::string>& command) const {
    std::vector<std::string> wrapped{"/bin/sh", "-c", "echo $$ > \"$0\" && exec \"$@\"", path_ + "/cgroup.procs"};
    wrapped.insert(wrapped.end(), command.begin(), command.end());
    return wrapped;
  }

  // The highest memory use since it was made (v1: without socket buffers), in KiB.
  long peak_kib() const { return static_cast<long>(number(v1_ ? "/memory.max_usage_in_bytes" : "/memory.peak") / 1024); }
  // What the kernel holds for the sockets inside it now, in KiB: v1's TCP counter, v2's "sock" of
  // memory.stat (also in memory.current there); -1 when neither can be read.
  long socket_kib() const {
    if (v1_)
      return static_cast<long>(number("/memory.kmem.tcp.usage_in_bytes") / 1024);
    std::istringstream stat(read_file(path_ + "/memory.stat"));
    std::string name;
    long long value = 0;
    while (stat >> name >> value)
      if (name == "sock")
        return static_cast<long>(value / 1024);
    return -1;
  }
  // v1 only: the highest use of socket buffers, counted apart there; -1 elsewhere.
  long socket_peak_kib() const {
    return v1_ ? static_cast<long>(number("/memory.kmem.tcp.max_usage_in_bytes") / 1024) : -1;
  }
  // How often the kernel's OOM killer struck inside it.
  long oom_kills() const {
    std::istringstream text(read_file(path_ + (v1_ ? "/memory.oom_control" : "/memory.events")));
    std::string name;
    long value = 0;
    while (text >> name >> value)
      if (name == "oom_kill")
        return value;
    return 0;
  }

private:
  static std::string read_file(const std::string& path) {
    std::ifstream file(path);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  }
  static bool write_file(const std::string& path, const std::string& text) {
    std::ofstream file(path);
    file << text;
    file.flush();
    return static_cast<bool>(file);
  }
  static bool contains_word(const std::string& text, const std::string& word) {
    std::istringstream words(text);
    std::string w;
    while (words >> w)
      if (w == word)
        return true;
    return false;
  }
  long long number(const std::string& file) const {
    try {
      return std::stoll(read_file(path_ + file));
    } catch (...) {
      return -1;
    }
  }

  std::string path_, why_not_;
  bool v1_ = false, made_ = false;
};

} // namespace korva_test
