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

// Path of the service binary, from the KORVA_SERVER_BINARY environment variable that CTest sets.
std::string service_binary();

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
