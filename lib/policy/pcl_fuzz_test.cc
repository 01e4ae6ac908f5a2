// pcl_fuzz_test.cc: what fuzzing glob_match found, kept as regression tests.
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "policy/pcl.h"
#include "testutil/glob_ref.h"

namespace {

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
// both wildcards: the same answer as the reference.
TEST(GlobMatchFuzz, AgreesWithReferenceOnAllShortInputs) {
  auto pats = all_strings(5), names = all_strings(4);
  int wrong = 0;
  for (const auto &p : pats)
    for (const auto &n : names)
      if (glob_match(p.c_str(), n.c_str()) != glob_ref_match(p, n) &&
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
      {std::string(16, '*') + "a",
       "a?\x92******\x92*******\x13**\xa9\x1e*\x92**", 0},
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
