#include "bench/proc_stats.hpp"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

namespace korva_bench {

namespace {
std::string proc_file(pid_t pid, const char* name) {
  return pid == 0 ? std::string("/proc/self/") + name : "/proc/" + std::to_string(pid) + "/" + name;
}
} // namespace

double process_cpu_us(pid_t pid) {
  std::ifstream file(proc_file(pid, "stat"));
  std::string line;
  if (pid < 0 || !std::getline(file, line))
    return -1;
  // The command name (field 2) is in parentheses and may hold blanks: count fields after the last ')'.
  auto close = line.rfind(')');
  if (close == std::string::npos)
    return -1;
  std::istringstream fields(line.substr(close + 1));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int number = 3; number <= 15 && fields >> field; ++number) {
    if (number == 14)
      utime = std::stoull(field);
    else if (number == 15)
      stime = std::stoull(field);
  }
  static const long ticks_per_second = ::sysconf(_SC_CLK_TCK);
  return static_cast<double>(utime + stime) * 1e6 / static_cast<double>(ticks_per_second);
}

long process_rss_kib(pid_t pid) {
  std::ifstream file(proc_file(pid, "status"));
  std::string line;
  while (pid >= 0 && std::getline(file, line)) {
    if (line.compare(0, 6, "VmRSS:") == 0)
      return std::stol(line.substr(6));
  }
  return -1;
}

std::uint64_t percentile(std::vector<std::uint64_t>& samples, double p) {
  if (samples.empty())
    return 0;
  auto rank = static_cast<std::size_t>(std::ceil(p / 100.0 * static_cast<double>(samples.size())));
  auto index = std::min(samples.size() - 1, rank == 0 ? 0 : rank - 1);
  std::nth_element(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(index), samples.end());
  return samples[index];
}

} // namespace korva_bench
