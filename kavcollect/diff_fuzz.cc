// diff_fuzz.cc: the collector's reading of a snapshot sent as a
// difference: the "delta NAME BASE SIZE" line, then the difference rebuilt
// from the base it names. Input: the line, a newline, the difference.
// Whatever the bytes, the line's size is never over the snapshot's listed
// size, and a rebuild yields exactly the listed size or nothing.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "delta/delta.h"
#include "kavcollect/collect.h"

namespace {

constexpr uint64_t LISTED = 4096;

// The collector's copy of the base: records that repeat with a counter,
// so that a difference from it can copy runs of any length.
const std::string &
base_bytes()
{
  static const std::string b = [] {
    std::string s;
    for (int i = 0; s.size() < LISTED; i++)
      s += "/etc/f" + std::to_string(i) + std::string(40, char('a' + i % 26));
    s.resize(LISTED);
    return s;
  }();
  return b;
}

}  // namespace

extern "C" int
LLVMFuzzerInitialize(int *, char ***)
{
  return 0;
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  const char *d = reinterpret_cast<const char *>(data);
  const char *nl = static_cast<const char *>(memchr(d, '\n', size));
  if (nl == nullptr)
    return 0;
  snap_entry want;
  want.se_name = "kavdb-000002-20261202T031500Z";
  want.se_num = 2;
  want.se_size = LISTED;
  want.se_sha = std::string(64, 'a');
  std::string line(d, size_t(nl - d)), err;
  uint64_t n = 0;
  if (collect_parse_delta(line, want, "kavdb-000001-20261201T031500Z", &n,
                          &err) &&
      n > LISTED) {
    fprintf(stderr, "a difference of %llu bytes taken\n",
            static_cast<unsigned long long>(n));
    abort();
  }
  std::string diff(nl + 1, size - size_t(nl + 1 - d)), out = "junk";
  bool ok = delta_apply(base_bytes(), diff, LISTED, &out, &err);
  if (ok ? out.size() != LISTED : !out.empty() || err.empty()) {
    fprintf(stderr, "delta_apply: %d, %zu bytes out\n", int(ok), out.size());
    abort();
  }
  return 0;
}
