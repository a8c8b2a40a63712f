#pragma once
// Text from the device made fit for a WebSocket text frame. The device's replies, notifications
// and data go to the clients unchanged, but a text frame that is not UTF-8 makes every standard
// client (browsers among them) fail the connection, as RFC 6455 requires of them: so the one
// change ever made is that each ill-formed sequence becomes U+FFFD. Valid text is never touched.

#include <cstddef>
#include <string>

namespace korva {

// Replaces each ill-formed sequence of `text` by U+FFFD (the bytes EF BF BD), one for each maximal
// part of a sequence that could have begun a character (as the Unicode standard recommends, and
// browsers decode), and returns how many it replaced. Valid UTF-8 (no overlong forms, no
// surrogates, nothing above U+10FFFF) is only read, by the check the WebSocket library makes of
// what clients send (websocket/utf8.hpp).
std::size_t make_valid_utf8(std::string& text);

// True when `text` is valid UTF-8 as a whole.
bool valid_utf8(const std::string& text) noexcept;

} // namespace korva
