#pragma once
// The device's software as the service sees it: one SystemAPI object per process, created at
// start-up. Implemented by the device library libwsserver.so.0 (on our machines: the simulator
// under device/simulator/).
//
// Threads: doRequest and isRebooting are called on the server thread under the service's request
// lock; formRequestForPushNotification on the server thread; readData on the monitor thread and on
// the thread that runs the push-notification callback, with no lock of the service's. The library
// allows these calls to overlap.

#include <memory>
#include <string>
#include <vector>

class SystemAPI {
public:
  // Throws a std::exception (with a what() text) when the device interface cannot be created.
  explicit SystemAPI(bool flag);
  virtual ~SystemAPI();

  SystemAPI(const SystemAPI&) = delete;
  SystemAPI& operator=(const SystemAPI&) = delete;

  // Answers one request text; the reply is sent back to the client unchanged.
  std::string doRequest(const std::string& request, const std::string& client_address, int port);

  // True when the reply says the device is going down: the service then drops all later requests.
  static bool isRebooting(const std::string& reply);

  // The notification texts that a reply implies for the other clients; empty texts carry nothing.
  static std::vector<std::string> formRequestForPushNotification(const std::string& reply);

  // The current data of one device value, pushed unchanged to every client.
  std::string readData(int group, int id, int index);

private:
  struct State;
  std::unique_ptr<State> state_;
};
