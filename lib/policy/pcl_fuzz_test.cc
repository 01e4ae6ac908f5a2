// pcl_fuzz_test.cc: what fuzzing glob_match found, kept as regression tests.
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "policy/pcl.h"

namespace {

// The matching rules as a plain backtracking search, for short inputs only:
// it takes exponential time, which is what the real matcher must not do.
int
glob_slow(const char *p, const char *n)
{
  size_t pl = strlen(p), nl = strlen(n);
  if (pl == 0 || nl == 0)
    return (pl == 0 && nl == 0) || (nl == 0 && strcmp(p, "*") == 0);
  for (size_t i = 0;;) {
    if (p[i] == '*') {
      if (i == pl - 1)
        return 1;
      for (size_t j = i; j < nl; j++)
        if (n[j] == p[i + 1] && glob_slow(p + i + 1, n + j))
          return 1;
      return 0;
    }
    if (p[i] != '?' && p[i] != n[i])
      return 0;
    i++;
    if (i == nl)
      return i == pl || (i + 1 == pl && p[i] == '*');
    if (i == pl)
      return 0;
  }
}

std::vector<std::string>
all_strings(size_t maxlen)
{
  std::vector<std::string> out{""};
  for (size_t k = 0; k < out.size(); k++)
    if (out[k].size() < maxlen)
      for (char c : {'a', 'b', '*', '?'})
        out.push_back(out[k] + c);
  return out;
}

}  // namespace

// Every pattern and name of up to five and four bytes over an alphabet with
// both wildcards: the same answer as the plain search.
TEST(GlobMatchFuzz, AgreesWithBacktrackingOnAllShortInputs) {
  auto pats = all_strings(5), names = all_strings(4);
  int wrong = 0;
  for (const auto &p : pats)
    for (const auto &n : names)
      if (glob_match(p.c_str(), n.c_str()) != glob_slow(p.c_str(), n.c_str()) &&
          ++wrong <= 10)
        ADD_FAILURE() << "pattern \"" << p << "\" name \"" << n << "\"";
  EXPECT_EQ(0, wrong);
}

// A name can be made by anyone who can create a file; against a pattern
// with many stars the backtracking matcher took exponential time and hung
// the walk. The alarm turns a hang into a failure.
TEST(GlobMatchFuzz, ManyStarsTakePolynomialTime) {
  std::string a255(255, 'a'), star255(255, '*');
  std::string ab_a = a255.substr(0, 254) + "b";
  std::string rep_a, rep_q;
  for (int i = 0; i < 30; i++) {
    rep_a += "*a";
    rep_q += "*?";
  }
  const struct {
    std::string pattern, name;
    int want;
  } cases[] = {
      {std::string(16, '*') + "a", "a?\x92******\x92*******\x13**\xa9\x1e*\x92**", 0},
      {rep_a + "b", a255, 0},
      {rep_a + "b", ab_a, 1},
      {rep_a + "c", ab_a, 0},
      {rep_q, std::string(255, '?'), 1},
      {rep_q + "x", std::string(255, '?'), 0},
      {std::string(100, '*') + "b", star255, 0},
      {std::string(100, '*') + "b", star255.substr(0, 254) + "b", 1},
  };
  alarm(20);
  for (const auto &c : cases)
    EXPECT_EQ(c.want, glob_match(c.pattern.c_str(), c.name.c_str()))
        << "pattern \"" << c.pattern << "\"";
  alarm(0);
}
