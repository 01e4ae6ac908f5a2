#include "diag/diag.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "testutil/testutil.h"

namespace {

// The family as a table: each warn_* beside its die_*, given the same
// texts, and the line both write when errno is ENOENT.
struct diag_case {
  void (*warn)();
  void (*die)();
  std::string want;
};

// A name far longer than a message's buffer, and its printed form.
const std::string &
huge_name()
{
  static const std::string n = std::string(5000, 'n') + "\n" +
                               std::string(9000, '\\');
  return n;
}

std::string
huge_printed()
{
  std::string p = std::string(5000, 'n') + "\\012";
  for (int i = 0; i < 9000; i++)
    p += "\\134";
  return p;
}

std::vector<diag_case>
diag_cases()
{
  const std::string e = strerror(ENOENT);
  return {
      {[] { warn_sys0(); }, [] { die_sys0(); }, e + "\n"},
      {[] { warn_sys1("x"); }, [] { die_sys1("x"); }, "x: " + e + "\n"},
      {[] { warn_sys2("a", "b"); }, [] { die_sys2("a", "b"); },
       "a: b: " + e + "\n"},
      {[] { warn_sys3("a", "b", "c"); }, [] { die_sys3("a", "b", "c"); },
       "a: b: c: " + e + "\n"},
      {[] { warn_msg1("a"); }, [] { die_msg1("a"); }, "a\n"},
      {[] { warn_msg2("a", "b"); }, [] { die_msg2("a", "b"); }, "a: b\n"},
      {[] { warn_msg2("", "b"); }, [] { die_msg2("", "b"); }, ": b\n"},
      {[] { warn_msg3("a", "b", "c"); }, [] { die_msg3("a", "b", "c"); },
       "a: b: c\n"},
      // Every text is escaped, so a name cannot add a line to the message.
      {[] { warn_sys2("lstat()", "/t/x\n100644 5 0\nD \t\\\x7f\xff"); },
       [] { die_sys2("lstat()", "/t/x\n100644 5 0\nD \t\\\x7f\xff"); },
       "lstat(): /t/x\\012100644 5 0\\012D \\011\\134\\177\xff: " + e + "\n"},
      {[] { warn_msg2("a\nb", "c"); }, [] { die_msg2("a\nb", "c"); },
       "a\\012b: c\n"},
      {[] { warn_msg3("a", "b", huge_name().c_str()); },
       [] { die_msg3("a", "b", huge_name().c_str()); },
       "a: b: " + huge_printed() + "\n"},
  };
}

}  // namespace

TEST(Diag, WarnLines) {
  for (const auto &c : diag_cases()) {
    testing::internal::CaptureStderr();
    errno = ENOENT;
    c.warn();
    EXPECT_EQ(ENOENT, errno) << "a warning keeps errno";
    EXPECT_EQ(c.want, testing::internal::GetCapturedStderr());
  }
}

// Each die_* in a child whose standard output waits in its buffer: the
// line on standard error, status 1, and the pending output written by the
// exit.
TEST(Diag, DieExitsWithOneAndFlushesStdout) {
  for (const auto &c : diag_cases()) {
    prog_result r = run_child([&] {
      printf("pending");
      errno = ENOENT;
      c.die();
    });
    EXPECT_EQ(1, r.status) << c.want;
    EXPECT_EQ("pending", r.out) << c.want;
    EXPECT_EQ(c.want, r.err);
  }
}
