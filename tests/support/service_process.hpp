#pragma once
// The service binary run as a child process on 127.0.0.1:8888, for tests that hold the port8888
// resource lock.

#include "tests/support/process.hpp"
#include "tests/support/test_client.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace korva_test {

constexpr unsigned short service_port = 8888;

// Starts the service and waits until it accepts connections.
inline std::unique_ptr<ChildProcess> start_service(const std::vector<std::string>& env = {},
                                                   const std::vector<std::string>& args = {}) {
  EXPECT_TRUE(nothing_listens(service_port)) << "127.0.0.1:8888 is taken before the service starts";
  auto service = std::make_unique<ChildProcess>(service_command(args), env);
  EXPECT_TRUE(wait_for_listener(service_port)) << "stderr: " << service->stderr_text();
  return service;
}

// A client of the service that has completed the opening handshake.
// A receive buffer of `receive_buffer` bytes (0: the default) makes a client that does not read
// fill up early.
inline std::unique_ptr<TestClient> connect_to_service(const std::string& target = "/api",
                                                      const std::string& extra_headers = "", int receive_buffer = 0) {
  auto client = std::make_unique<TestClient>(service_port, "127.0.0.1", receive_buffer);
  EXPECT_TRUE(client->handshake(target, extra_headers));
  return client;
}

} // namespace korva_test
