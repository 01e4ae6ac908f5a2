// glob_fuzz.cc: glob_match against the reference matcher of the tests.
// Input: the pattern, a zero byte, the name (a second zero byte ends it).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "policy/pcl.h"
#include "testutil/glob_ref.h"

extern "C" int
LLVMFuzzerInitialize(int *, char ***)
{
  return 0;
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  const char *d = reinterpret_cast<const char *>(data);
  const char *sep = static_cast<const char *>(memchr(d, 0, size));
  if (sep == nullptr)
    return 0;
  std::string pat(d, size_t(sep - d));
  const char *nb = sep + 1;
  size_t rest = size - size_t(nb - d);
  const char *end = static_cast<const char *>(memchr(nb, 0, rest));
  std::string name(nb, end ? size_t(end - nb) : rest);
  // A policy line holds at most 1998 characters and a file name at most
  // 255 bytes on the hosts the walk runs on.
  if (pat.size() > 1998 || name.size() > 255)
    return 0;
  int want = glob_ref_match(pat, name);
  int got = glob_match(pat.c_str(), name.c_str());
  if (got != want) {
    fprintf(stderr, "glob_match(\"%s\", \"%s\") = %d, want %d\n", pat.c_str(),
            name.c_str(), got, want);
    abort();
  }
  return 0;
}
