// sha_x86.h: whether an x86 processor has the SHA extensions, for the code
// of the SHA-1 and SHA-256 modules that runs on them.
#pragma once
#include <cpuid.h>

// The extensions themselves, and the SSSE3 byte shuffle and SSE4.1 blends
// and extracts that the code around them needs.
inline bool
sha_x86_has_sha()
{
  unsigned a, b, c, d;
  if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & bit_SSE4_1) || !(c & bit_SSSE3))
    return false;
  if (__get_cpuid_max(0, nullptr) < 7)
    return false;
  __cpuid_count(7, 0, a, b, c, d);
  return (b & bit_SHA) != 0;
}
