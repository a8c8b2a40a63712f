// A device library that fails on demand, for the tests of the service: preloaded into the service
// (LD_PRELOAD), it takes the calls the service makes into the library, injects the fault a test
// asks for, and hands everything else to the simulated device. Never installed.
//
// Faults of a request, asked for by a member of the request (which an echo carries into its reply):
//   "fault":"throw"          doRequest throws std::runtime_error("injected doRequest failure")
//   "fault":"throw-unknown"  doRequest throws an int
//   "fault":"wait"           doRequest waits until the test opens the FIFO $KORVA_FAULT_RELEASE for
//                            writing, then answers
//   "fault":"bad-utf8"       doRequest answers with text that is not UTF-8 (bad_utf8_reply)
//   "fault":"child-exec"     doRequest starts a helper (fork and exec of `sleep 300`), as a reboot or
//                            update script is started, and answers {"child":PID}
//   "fault":"child-fork"     doRequest forks a child that waits for signals without exec, and
//                            answers {"child":PID}
//   "fault":"notify-throw"   formRequestForPushNotification throws for a reply holding this
//   "fault":"notify-bad-utf8" formRequestForPushNotification gives one notification that is not
//                            UTF-8 (bad_utf8_notification)
// Faults of reading data, for every readData(group, ...) with group $KORVA_FAULT_READ_GROUP:
//   $KORVA_FAULT_READ=throw (std::runtime_error("injected readData failure")), unknown (an int),
//   bad-utf8 (text that is not UTF-8)
// $KORVA_FAULT_DIFF=throw: getValueDiff throws std::runtime_error("injected getValueDiff failure").

#include "device/system_api.hpp"
#include "device/value_change_monitor.hpp"

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

namespace {

// The definition of the same function in the next library after this one: the simulator's. Our
// own definition's address names the symbol; a pointer to a member function that is not virtual
// holds the function's address in its first word.
template <class Function>
Function next_definition(Function ours) {
  void* address = nullptr;
  std::memcpy(&address, &ours, sizeof address);
  Dl_info info{};
  if (dladdr(address, &info) == 0 || info.dli_sname == nullptr)
    std::abort();
  void* next = dlsym(RTLD_NEXT, info.dli_sname);
  if (next == nullptr)
    std::abort();
  Function theirs = ours;
  std::memcpy(&theirs, &next, sizeof next);
  return theirs;
}

bool asks(const std::string& text, const char* fault) {
  return text.find(std::string("\"fault\":\"") + fault + "\"") != std::string::npos;
}

std::string setting(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

} // namespace

std::string SystemAPI::doRequest(const std::string& request, const std::string& client_address, int port) {
  static const auto real = next_definition(&SystemAPI::doRequest);
  if (asks(request, "throw"))
    throw std::runtime_error("injected doRequest failure");
  if (asks(request, "throw-unknown"))
    throw 42;
  if (asks(request, "bad-utf8"))
    return "{\"text\":\"caf\xE9 \xED\xA0\x80 \xF0\x9F\x98 ok \xC3\xA9\"}";
  if (asks(request, "child-exec") || asks(request, "child-fork")) {
    const bool exec = asks(request, "child-exec");
    const pid_t child = ::fork();
    if (child == 0) {
      if (exec) {
        ::execl("/bin/sleep", "sleep", "300", static_cast<char*>(nullptr));
        ::_exit(127);
      }
      for (;;)
        ::pause();
    }
    return "{\"child\":" + std::to_string(child) + "}";
  }
  if (asks(request, "wait")) {
    const int fifo = ::open(setting("KORVA_FAULT_RELEASE").c_str(), O_RDONLY | O_CLOEXEC);
    if (fifo >= 0)
      ::close(fifo);
  }
  return (this->*real)(request, client_address, port);
}

std::vector<std::string> SystemAPI::formRequestForPushNotification(const std::string& reply) {
  static const auto real = next_definition(&SystemAPI::formRequestForPushNotification);
  if (asks(reply, "notify-throw"))
    throw std::runtime_error("injected formRequestForPushNotification failure");
  if (asks(reply, "notify-bad-utf8"))
    return {"", "{\"note\":\"\xFF\xFE\"}"};
  return real(reply);
}

std::string SystemAPI::readData(int group, int id, int index) {
  static const auto real = next_definition(&SystemAPI::readData);
  static const std::string fault = setting("KORVA_FAULT_READ");
  static const std::string fault_group = setting("KORVA_FAULT_READ_GROUP");
  if (!fault.empty() && std::to_string(group) == fault_group) {
    if (fault == "throw")
      throw std::runtime_error("injected readData failure");
    if (fault == "unknown")
      throw 42;
    if (fault == "bad-utf8")
      return "{\"group\":" + std::to_string(group) + ",\"value\":\"\xC0\xAF\"}";
  }
  return (this->*real)(group, id, index);
}

std::vector<ValueDiff> ValueChangeMonitor::getValueDiff() {
  static const auto real = next_definition(&ValueChangeMonitor::getValueDiff);
  if (setting("KORVA_FAULT_DIFF") == "throw")
    throw std::runtime_error("injected getValueDiff failure");
  return (this->*real)();
}
