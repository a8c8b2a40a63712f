#pragma once
// Text the service did not write, made safe for the log. Whatever a client controls and the service
// logs (a command name, a close reason, the request path and query string, header names and
// values, the forwarded client address) goes through log_safe, on standard output and in the
// request-time file alike, so that a client can neither start a line of its own, nor send a
// terminal control sequence, nor make the service write megabytes for one value; so do the device
// library's failure texts (device/device_calls.hpp).

#include <cstddef>
#include <string>
#include <string_view>

namespace korva {

// Longest command name logged whole.
constexpr std::size_t command_log_limit = 256;
// Longest path, query string, header name or value, client address or close reason logged whole.
constexpr std::size_t value_log_limit = 4096;

// `value` as it is logged. Every control character (the bytes below 0x20, tab included, and DEL)
// becomes a visible escape: \n, \r and \t, else \x and two lowercase hex digits (\x1b, \x00,
// \x7f). Every other byte stays as it is: a backslash too, so an ordinary value is logged
// unchanged (the log is read by people, not decoded, and the escapes only have to keep a value
// on its own line), and the bytes of UTF-8 sequences. A value of more than `limit` bytes keeps
// its first `limit` bytes (up to three fewer, so as not to end inside a UTF-8 sequence) and then
// "...[cut N bytes]", N being the number of bytes left out.
// Reads at most `limit` bytes of `value` (and its size), so a long value costs no more than a
// short one.
std::string log_safe(std::string_view value, std::size_t limit = value_log_limit);

} // namespace korva
