#pragma once
// The map of request header lines: names compare without regard to letter case, and all lines
// with an equal name are kept, newest first (so find() yields the last such line of a request).

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>

namespace KorvaWeb {

inline unsigned char lower_ascii(unsigned char c) noexcept {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

struct CaseInsensitiveEqual {
  bool operator()(const std::string& a, const std::string& b) const noexcept {
    if (a.size() != b.size())
      return false;
    for (std::size_t i = 0; i < a.size(); ++i)
      if (lower_ascii(static_cast<unsigned char>(a[i])) != lower_ascii(static_cast<unsigned char>(b[i])))
        return false;
    return true;
  }
};

struct CaseInsensitiveHash {
  std::size_t operator()(const std::string& name) const noexcept {
    std::uint32_t h = 0;
    for (char byte : name) {
      // The lowered byte, taken as signed and widened, as the hash has always been computed.
      auto c = static_cast<std::uint32_t>(static_cast<std::int32_t>(
          static_cast<signed char>(lower_ascii(static_cast<unsigned char>(byte)))));
      h ^= c + 0x9E3779B9u + (h << 6) + (h >> 2);
    }
    return h;
  }
};

// libstdc++ places a new element in front of the elements with an equal key, which gives the
// newest-first order that lookups rely on (checked by the tests).
using CaseInsensitiveMultimap =
    std::unordered_multimap<std::string, std::string, CaseInsensitiveHash, CaseInsensitiveEqual>;

} // namespace KorvaWeb
