// cpu_util.h: what the per-CPU-second benchmarks share: this thread's CPU
// time, the median of their rounds and the load average beside them.
#pragma once
#include <sys/resource.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>

constexpr int CPU_ROUNDS = 5;

// Seconds of CPU time this thread has used, user and system: a machine
// shared with other work still gives the work each candidate takes.
inline double
cpu_now()
{
  rusage ru;
  getrusage(RUSAGE_THREAD, &ru);
  return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

inline double
cpu_median(const double (&v)[CPU_ROUNDS])
{
  double s[CPU_ROUNDS];
  std::copy(v, v + CPU_ROUNDS, s);
  std::sort(s, s + CPU_ROUNDS);
  return s[CPU_ROUNDS / 2];
}

inline void
cpu_print_load(const char *when)
{
  double l[3];
  if (getloadavg(l, 3) == 3)
    printf("load average %s: %.2f %.2f %.2f\n", when, l[0], l[1], l[2]);
}

// Two buffers of len random bytes, 64-byte aligned, for the streams to
// hash; false when out of memory.
inline bool
cpu_random_pair(size_t len, std::mt19937 &rng, uint8_t **a, uint8_t **b)
{
  *a = static_cast<uint8_t *>(aligned_alloc(64, len));
  *b = static_cast<uint8_t *>(aligned_alloc(64, len));
  if (*a == nullptr || *b == nullptr)
    return false;
  for (size_t i = 0; i < len; i++) {
    (*a)[i] = uint8_t(rng());
    (*b)[i] = uint8_t(rng());
  }
  return true;
}

// One candidate's line: its median rate and the range of its rounds, in
// GB per CPU-second.
inline void
cpu_print_row(const char *name, const double (&rate)[CPU_ROUNDS])
{
  printf("  %-40s %6.3f  (%.3f..%.3f)\n", name, cpu_median(rate) / 1e9,
         *std::min_element(rate, rate + CPU_ROUNDS) / 1e9,
         *std::max_element(rate, rate + CPU_ROUNDS) / 1e9);
}
