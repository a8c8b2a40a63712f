#pragma once
// SHA-1 (FIPS 180-4) and standard Base64 with padding: what the opening handshake needs for its
// accept value, and nothing more. SHA-1 serves here only to prove that the server read the
// client's key; it protects nothing.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace KorvaWeb {

std::array<std::uint8_t, 20> sha1(std::string_view data) noexcept;

// Standard Base64 ("A-Z a-z 0-9 + /"), "=" padding, no line breaks.
std::string base64(const std::uint8_t* data, std::size_t size);

} // namespace KorvaWeb
