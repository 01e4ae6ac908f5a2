// cpu_util.h: what the per-CPU-second benchmarks share: this thread's CPU
// time, the median of their rounds and the load average beside them.
#pragma once
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

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
