#pragma once
// What the benchmark reads about processes from /proc, and the percentiles of its samples.

#include <cstdint>
#include <sys/types.h>
#include <vector>

namespace korva_bench {

// User plus system CPU time of the whole process (every thread, the finished ones included), in
// microseconds, from /proc/PID/stat at clock-tick resolution (usually 10 ms). pid 0 is this
// process. Negative when the process cannot be read (it ended, or no PID was given).
double process_cpu_us(pid_t pid);

// Resident memory (VmRSS of /proc/PID/status) in KiB; negative when it cannot be read.
long process_rss_kib(pid_t pid);

// The p-th percentile (0 < p <= 100, nearest rank) of the samples; 0 when there are none.
// Reorders the samples.
std::uint64_t percentile(std::vector<std::uint64_t>& samples, double p);

} // namespace korva_bench
