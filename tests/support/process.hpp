#pragma once
// Runs a program (the service binary) as a child process for end-to-end tests, with its standard
// output and error captured in files that the test can read while it runs.

#include <sys/types.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace korva_test {

class ChildProcess {
public:
  // Starts `program` with `args` and the current environment plus `env` (NAME=VALUE entries).
  ChildProcess(const std::string& program, const std::vector<std::string>& args = {},
               const std::vector<std::string>& env = {});
  // Starts `command` (the program, then its arguments), e.g. service_command().
  explicit ChildProcess(const std::vector<std::string>& command, const std::vector<std::string>& env = {});
  ~ChildProcess(); // kills the process if it still runs
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  std::string stdout_text() const;
  std::string stderr_text() const;

  // Waits until the captured standard output (or error) contains `text`.
  bool wait_for_stdout(const std::string& text, std::chrono::milliseconds limit = std::chrono::seconds(10)) const;
  bool wait_for_stderr(const std::string& text, std::chrono::milliseconds limit = std::chrono::seconds(10)) const;

  // Waits for the process to end; returns its exit status, or -1 on time-out, or 128 + signal.
  int wait_exit(std::chrono::milliseconds limit = std::chrono::seconds(10));
  bool running();
  void kill_now(int signal = 9);

  pid_t pid() const { return pid_; }

private:
  pid_t pid_ = -1;
  int status_ = -1;
  std::string directory_;
};

// Waits until something accepts TCP connections on 127.0.0.1:port.
bool wait_for_listener(unsigned short port, std::chrono::milliseconds limit = std::chrono::seconds(10));
// True when nothing accepts connections on 127.0.0.1:port.
bool nothing_listens(unsigned short port);
// Sockets of a server on `port` that nobody holds any more (orphans: closed, but the kernel still
// tries to deliver what they hold) with bytes not yet taken by their peer, from /proc/net/tcp.
int orphans_holding_data(unsigned short port);

// Path of the service binary, from the KORVA_SERVER_BINARY environment variable that CTest sets.
std::string service_binary();

// Binaries built for another architecture (a cross build's tests, run by ctest under qemu-user)
// cannot be started by the kernel directly on our machines, so every test that starts one puts
// the emulator in front of it. ctest sets KORVA_EMULATOR to the emulator's command (words
// separated by blanks, e.g. "/usr/bin/qemu-arm") in a cross build; natively, and on the target
// itself, it is unset.
//
// The emulator's command words; empty when the tests run natively.
const std::vector<std::string>& emulator_command();

// True when the tests run under an emulator. Figures that only mean something natively are then
// skipped with a printed message, never loosened: resident memory (it includes the emulator's own,
// about 28 MiB at start, and its translated code), CPU time, throughput, and time margins tighter
// than an emulated run can keep. Use it as
//   if (under_emulator()) GTEST_SKIP() << "resident memory means something only natively";
// for a whole test, or through native_figures_checked() for some checks within one.
bool under_emulator();

// True when figures that only mean something natively are checked; otherwise prints, on standard
// output, that the checks of `what` are skipped under the emulator, and returns false:
//   if (native_figures_checked("memory after the storm")) EXPECT_LE(rss_end - rss_start, ...);
bool native_figures_checked(const std::string& what);

// The command that runs the service binary with `args`, behind the emulator if there is one.
// Also for wrappers: ChildProcess("/usr/bin/prlimit", with "--nofile=64:64" before service_command()).
std::vector<std::string> service_command(const std::vector<std::string>& args = {});

// Waits, in short steps, until `condition` holds or the limit runs out.
template <class Condition>
bool eventually(Condition condition, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline)
      return false;
    struct timespec step { 0, 5 * 1000 * 1000 };
    nanosleep(&step, nullptr);
  }
  return true;
}

} // namespace korva_test
