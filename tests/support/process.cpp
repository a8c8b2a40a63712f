#include "tests/support/process.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace korva_test {

namespace {
std::string read_file(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}
} // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& command, const std::vector<std::string>& env)
    : ChildProcess(command.at(0), std::vector<std::string>(command.begin() + 1, command.end()), env) {}

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                           const std::vector<std::string>& env) {
  char pattern[] = "/tmp/korva-test-XXXXXX";
  if (!mkdtemp(pattern))
    throw std::runtime_error("mkdtemp failed");
  directory_ = pattern;
  std::string out = directory_ + "/stdout", err = directory_ + "/stderr";

  std::vector<std::string> argv_text{program};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argv_text)
    argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  pid_ = fork();
  if (pid_ < 0)
    throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    int out_fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err_fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int null_fd = open("/dev/null", O_RDONLY);
    dup2(null_fd, 0);
    dup2(out_fd, 1);
    dup2(err_fd, 2);
    close(out_fd);
    close(err_fd);
    close(null_fd);
    for (auto& e : env)
      putenv(const_cast<char*>(e.c_str()));
    execv(program.c_str(), argv.data());
    _exit(127);
  }
}

ChildProcess::~ChildProcess() {
  if (running()) {
    kill_now(SIGKILL);
    wait_exit();
  }
  unlink((directory_ + "/stdout").c_str());
  unlink((directory_ + "/stderr").c_str());
  rmdir(directory_.c_str());
}

std::string ChildProcess::stdout_text() const { return read_file(directory_ + "/stdout"); }
std::string ChildProcess::stderr_text() const { return read_file(directory_ + "/stderr"); }

bool ChildProcess::wait_for_stdout(const std::string& text, std::chrono::milliseconds limit) const {
  return eventually([&] { return stdout_text().find(text) != std::string::npos; }, limit);
}

bool ChildProcess::wait_for_stderr(const std::string& text, std::chrono::milliseconds limit) const {
  return eventually([&] { return stderr_text().find(text) != std::string::npos; }, limit);
}

bool ChildProcess::running() {
  if (pid_ <= 0 || status_ != -1)
    return false;
  int status = 0;
  pid_t r = waitpid(pid_, &status, WNOHANG);
  if (r == pid_) {
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return false;
  }
  return true;
}

int ChildProcess::wait_exit(std::chrono::milliseconds limit) {
  eventually([&] { return !running(); }, limit);
  return status_;
}

void ChildProcess::kill_now(int signal) {
  if (pid_ > 0 && status_ == -1)
    ::kill(pid_, signal);
}

namespace {
bool can_connect(unsigned short port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return ok;
}
} // namespace

bool wait_for_listener(unsigned short port, std::chrono::milliseconds limit) {
  return eventually([&] { return can_connect(port); }, limit);
}

bool nothing_listens(unsigned short port) { return !can_connect(port); }

std::string service_binary() {
  const char* path = std::getenv("KORVA_SERVER_BINARY");
  if (!path)
    throw std::runtime_error("KORVA_SERVER_BINARY is not set (run the test through ctest)");
  return path;
}

const std::vector<std::string>& emulator_command() {
  static const std::vector<std::string> words = [] {
    std::vector<std::string> result;
    if (const char* text = std::getenv("KORVA_EMULATOR")) {
      std::istringstream stream(text);
      for (std::string word; stream >> word;)
        result.push_back(word);
    }
    return result;
  }();
  return words;
}

bool under_emulator() { return !emulator_command().empty(); }

bool native_figures_checked(const std::string& what) {
  if (!under_emulator())
    return true;
  std::printf("NOT CHECKED under %s: %s (the figures mean something only natively)\n",
              emulator_command().front().c_str(), what.c_str());
  std::fflush(stdout);
  return false;
}

std::vector<std::string> service_command(const std::vector<std::string>& args) {
  std::vector<std::string> command = emulator_command();
  command.push_back(service_binary());
  command.insert(command.end(), args.begin(), args.end());
  return command;
}

int orphans_holding_data(unsigned short port) {
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line); // the heading
  int count = 0;
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
    fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
    const auto colon = local.find(':');
    if (colon == std::string::npos || std::stoul(local.substr(colon + 1), nullptr, 16) != port || inode != "0")
      continue;
    if (std::stoul(queues.substr(0, queues.find(':')), nullptr, 16) > 0)
      ++count;
  }
  return count;
}

} // namespace korva_test
