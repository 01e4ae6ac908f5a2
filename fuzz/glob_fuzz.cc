// glob_fuzz.cc: glob_match against a matcher written another way.
// Input: the pattern, a zero byte, the name (a second zero byte ends it).
//
// The reference reads the matching rules as a question about suffixes:
// can the pattern from i match the name from j, when both still have
// characters left? Answers are remembered per (i, j), so it runs in
// polynomial time and never shares a bug with a backtracking matcher.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "policy/pcl.h"

namespace {

struct glob_ref {
  const std::string &p;
  const std::string &n;
  std::vector<int8_t> memo;  // -1 unknown, else 0 or 1

  glob_ref(const std::string &pat, const std::string &name)
      : p(pat), n(name), memo(pat.size() * name.size(), -1) {}

  // Both the pattern from i and the name from j are non-empty.
  bool
  rest(size_t i, size_t j)
  {
    int8_t &m = memo[i * n.size() + j];
    if (m < 0)
      m = compute(i, j) ? 1 : 0;
    return m == 1;
  }

  bool
  compute(size_t i, size_t j)
  {
    if (p[i] == '*') {
      if (i + 1 == p.size())
        return true;  // a final '*' takes whatever is left
      // The byte after '*' is a literal anchor: the match resumes with the
      // pattern at that byte and the name at an equal byte.
      for (size_t k = j; k < n.size(); k++)
        if (n[k] == p[i + 1] && rest(i + 1, k))
          return true;
      return false;
    }
    if (p[i] != '?' && p[i] != n[j])
      return false;
    size_t pi = i + 1, nj = j + 1;
    if (nj == n.size())  // name used up: the pattern must be too, or be "*"
      return pi == p.size() || (pi + 1 == p.size() && p[pi] == '*');
    if (pi == p.size())
      return false;
    return rest(pi, nj);
  }

  bool
  match()
  {
    if (p.empty() || n.empty())
      return (p.empty() && n.empty()) || (n.empty() && p == "*");
    return rest(0, 0);
  }
};

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
  glob_ref ref(pat, name);
  int want = ref.match() ? 1 : 0;
  int got = glob_match(pat.c_str(), name.c_str());
  if (got != want) {
    fprintf(stderr, "glob_match(\"%s\", \"%s\") = %d, want %d\n", pat.c_str(),
            name.c_str(), got, want);
    abort();
  }
  return 0;
}
