#include "device/simulator/settings.hpp"

#include <cerrno>
#include <cstdlib>

namespace korva_sim {

long envNumber(const char* name, long fallback) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  if (errno != 0 || *end != '\0' || value < 0) return fallback;
  return value;
}

std::string envText(const char* name) {
  const char* text = std::getenv(name);
  return text == nullptr ? std::string() : std::string(text);
}

bool envFlag(const char* name) { return envText(name) == "1"; }

}  // namespace korva_sim
