#include "websocket/sha1.hpp"

#include <cstring>

namespace KorvaWeb {

namespace {

std::uint32_t rotate_left(std::uint32_t value, int bits) noexcept { return (value << bits) | (value >> (32 - bits)); }

// One 64-byte block into the state.
void sha1_block(std::uint32_t state[5], const std::uint8_t* block) noexcept {
  std::uint32_t w[80];
  for (int i = 0; i < 16; ++i)
    w[i] = (std::uint32_t(block[4 * i]) << 24) | (std::uint32_t(block[4 * i + 1]) << 16) |
           (std::uint32_t(block[4 * i + 2]) << 8) | std::uint32_t(block[4 * i + 3]);
  for (int i = 16; i < 80; ++i)
    w[i] = rotate_left(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);

  std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
  for (int i = 0; i < 80; ++i) {
    std::uint32_t f, k;
    if (i < 20) {
      f = (b & c) | (~b & d);
      k = 0x5A827999;
    } else if (i < 40) {
      f = b ^ c ^ d;
      k = 0x6ED9EBA1;
    } else if (i < 60) {
      f = (b & c) | (b & d) | (c & d);
      k = 0x8F1BBCDC;
    } else {
      f = b ^ c ^ d;
      k = 0xCA62C1D6;
    }
    const std::uint32_t next = rotate_left(a, 5) + f + e + k + w[i];
    e = d;
    d = c;
    c = rotate_left(b, 30);
    b = a;
    a = next;
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
  state[4] += e;
}

} // namespace

std::array<std::uint8_t, 20> sha1(std::string_view data) noexcept {
  std::uint32_t state[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(data.data());
  std::size_t left = data.size();
  for (; left >= 64; left -= 64, bytes += 64)
    sha1_block(state, bytes);

  // The last bytes, the 0x80 marker, zeros, and the length in bits (64 bits, big-endian): one
  // block, or two when the length does not fit behind the rest.
  std::uint8_t tail[128] = {};
  std::memcpy(tail, bytes, left);
  tail[left] = 0x80;
  const std::size_t tail_size = left < 56 ? 64 : 128;
  const std::uint64_t bits = static_cast<std::uint64_t>(data.size()) * 8;
  for (int i = 0; i < 8; ++i)
    tail[tail_size - 1 - i] = static_cast<std::uint8_t>(bits >> (8 * i));
  for (std::size_t at = 0; at < tail_size; at += 64)
    sha1_block(state, tail + at);

  std::array<std::uint8_t, 20> digest{};
  for (int i = 0; i < 5; ++i)
    for (int j = 0; j < 4; ++j)
      digest[4 * i + j] = static_cast<std::uint8_t>(state[i] >> (24 - 8 * j));
  return digest;
}

std::string base64(const std::uint8_t* data, std::size_t size) {
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  text.reserve((size + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= size; i += 3) {
    const std::uint32_t group = (std::uint32_t(data[i]) << 16) | (std::uint32_t(data[i + 1]) << 8) | data[i + 2];
    text += alphabet[(group >> 18) & 63];
    text += alphabet[(group >> 12) & 63];
    text += alphabet[(group >> 6) & 63];
    text += alphabet[group & 63];
  }
  if (i < size) {
    std::uint32_t group = std::uint32_t(data[i]) << 16;
    if (i + 1 < size)
      group |= std::uint32_t(data[i + 1]) << 8;
    text += alphabet[(group >> 18) & 63];
    text += alphabet[(group >> 12) & 63];
    text += i + 1 < size ? alphabet[(group >> 6) & 63] : '=';
    text += '=';
  }
  return text;
}

} // namespace KorvaWeb
