// glob_ref.h: the matching rules of glob_match written another way, as the
// reference that the unit tests and the fuzz target hold it to.
//
// The rules read as a question about suffixes: can the pattern from i match
// the name from j, when both still have characters left? Answers are
// remembered per (i, j), so it runs in polynomial time and never shares a
// bug with a backtracking matcher.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct glob_ref {
  const std::string &p;
  const std::string &n;
  std::vector<int8_t> memo;  // -1 unknown, else 0 or 1

  glob_ref(const std::string &pat, const std::string &name)
      : p(pat), n(name), memo(pat.size() * name.size(), -1)
  {
  }

  // Both the pattern from i and the name from j are non-empty.
  bool rest(size_t i, size_t j)
  {
    int8_t &m = memo[i * n.size() + j];
    if (m < 0)
      m = compute(i, j) ? 1 : 0;
    return m == 1;
  }

  bool compute(size_t i, size_t j)
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

  bool match()
  {
    if (p.empty() || n.empty())
      return (p.empty() && n.empty()) || (n.empty() && p == "*");
    return rest(0, 0);
  }
};

// 1 or 0, as glob_match answers.
inline int
glob_ref_match(const std::string &pat, const std::string &name)
{
  return glob_ref(pat, name).match() ? 1 : 0;
}
