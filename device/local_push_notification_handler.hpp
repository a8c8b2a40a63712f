#pragma once
// Delivers the device's local push notifications: run() blocks and calls the callback with the
// three ints (group, id, index) of each notification.

#include <functional>
#include <memory>

class LocalPushNotificationHandler {
public:
  using Callback = std::function<void(int, int, int)>;

  explicit LocalPushNotificationHandler(Callback callback);
  ~LocalPushNotificationHandler();

  LocalPushNotificationHandler(const LocalPushNotificationHandler&) = delete;
  LocalPushNotificationHandler& operator=(const LocalPushNotificationHandler&) = delete;

  void start();
  // Blocks on the calling thread, which runs the callback; returns when the device stops
  // delivering notifications.
  void run();

private:
  struct State;
  std::unique_ptr<State> state_;
};
