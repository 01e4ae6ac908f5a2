// memlimit.h: the address-space limits at which an out-of-memory test runs
// a program, found from the program itself rather than from what the
// loader of one machine happens to need.
#pragma once
#include <sys/resource.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "testutil/testutil.h"

// The smallest lo + k * step (k > 0) at which holds() is true, where it is
// false at lo and a larger limit never makes it false again: the distance
// from lo doubles until holds() is true, then bisection closes in. 0 when
// it is false still at max.
inline rlim_t
smallest_limit(const std::function<bool(rlim_t)> &holds, rlim_t lo, rlim_t step,
               rlim_t max)
{
  rlim_t gap = lo > step ? lo / step * step : step;
  rlim_t hi = lo + gap;
  while (!holds(hi)) {
    if (hi >= max)
      return 0;
    lo = hi;
    gap *= 2;
    hi = lo + gap;
  }
  while (hi - lo > step) {
    rlim_t mid = lo + (hi - lo) / 2 / step * step;
    if (holds(mid))
      hi = mid;
    else
      lo = mid;
  }
  return hi;
}

struct limited_run {
  rlim_t limit;
  prog_result r;
};

// run(limit, refused) runs the program under an address-space limit, with
// the test's command, or with that command and one operand too many when
// refused is true. The refused command takes as much memory to load and
// start as the real one and ends in the usage message before it allocates,
// so the smallest limit at which it prints that message is where the
// program starts. From there to the smallest limit at which the real
// command succeeds (both to within a page) the program starts but runs out
// of memory. Returns every real run made: those of the search and `between`
// more spread over that range, each of which the test checks. Fails the
// test and returns nothing when no limit up to 4 GiB lets either succeed.
inline std::vector<limited_run>
runs_near_memory_need(const std::function<prog_result(rlim_t, bool)> &run,
                      int between)
{
  const rlim_t page = rlim_t(sysconf(_SC_PAGESIZE)), max = rlim_t(4) << 30;
  rlim_t start = smallest_limit(
      [&](rlim_t l) {
        prog_result r = run(l, true);
        return r.status == 1 && r.err.find("usage: ") != std::string::npos;
      },
      0, page, max);
  std::vector<limited_run> runs;
  auto real = [&](rlim_t l) {
    runs.push_back({l, run(l, false)});
    return runs.back().r.status == 0;
  };
  rlim_t enough = start == 0 ? 0 : smallest_limit(real, start, page, max);
  if (start == 0 || enough == 0) {
    ADD_FAILURE() << "no limit up to 4 GiB lets the program "
                  << (start == 0 ? "start" : "succeed");
    return {};
  }
  real(start);
  for (rlim_t i = 1; i <= rlim_t(between); i++)
    real(start + (enough - start) * i / rlim_t(between + 1) / page * page);
  return runs;
}
