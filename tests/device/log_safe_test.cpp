// log_safe: what a client's text looks like in the log.

#include "device/log_safe.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(LogSafe, EscapesControlCharactersAndCutsLongValues) {
  using namespace std::string_literals;
  struct Case {
    std::string value;
    std::size_t limit;
    std::string logged;
  } cases[] = {
      {"get_info", 256, "get_info"},
      {"", 256, ""},
      {R"(a\"b \n C:\dir)", 256, R"(a\"b \n C:\dir)"}, // printable text, backslashes included, as it is
      {"caf\xc3\xa9 \xe4\xb8\xad \xf0\x9f\x98\x80 \xff", 256, "caf\xc3\xa9 \xe4\xb8\xad \xf0\x9f\x98\x80 \xff"},
      {"x\nServer: Closed connection 0x1\r\n", 256, R"(x\nServer: Closed connection 0x1\r\n)"},
      {"a\tb", 256, R"(a\tb)"},
      {"\x1b[2J\x1b]0;t\x07", 256, R"(\x1b[2J\x1b]0;t\x07)"},
      {"nul\0del\x7f us\x1f sp \x20"s, 256, R"(nul\x00del\x7f us\x1f sp  )"},
      {"abcdefgh", 8, "abcdefgh"},
      {"abcdefghij", 8, "abcdefgh...[cut 2 bytes]"},
      {"\n\n\n\n\n", 3, R"(\n\n\n...[cut 2 bytes])"},  // the limit counts the client's bytes
      {"ab\xe4\xb8\xad", 3, "ab...[cut 3 bytes]"},         // not inside a UTF-8 sequence
      {"ab\xe4\xb8\xad", 4, "ab...[cut 3 bytes]"},
      {"ab\xe4\xb8\xad" "c", 5, "ab\xe4\xb8\xad...[cut 1 bytes]"},
      {"\x80\x80\x80\x80\x80\x80", 4, "\x80\x80\x80\x80...[cut 2 bytes]"}, // not UTF-8: cut at the limit
      {std::string(16u << 20, 'A'), 256, std::string(256, 'A') + "...[cut 16776960 bytes]"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(korva::log_safe(c.value, c.limit), c.logged) << "value: " << c.value.substr(0, 40);
}

} // namespace
