#include "diag/diag.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

// The family as a table: which function, its texts, and the line it writes.
TEST(Diag, WarnLines) {
  const std::string enoent = strerror(ENOENT);
  const struct {
    void (*fn)();
    std::string want;
  } cases[] = {
      {[] { warn_sys0(); }, enoent + "\n"},
      {[] { warn_sys1("x"); }, "x: " + enoent + "\n"},
      {[] { warn_sys2("a", "b"); }, "a: b: " + enoent + "\n"},
      {[] { warn_sys3("a", "b", "c"); }, "a: b: c: " + enoent + "\n"},
      {[] { warn_msg1("a"); }, "a\n"},
      {[] { warn_msg2("a", "b"); }, "a: b\n"},
      {[] { warn_msg2("", "b"); }, ": b\n"},
      {[] { warn_msg3("a", "b", "c"); }, "a: b: c\n"},
  };
  for (const auto &c : cases) {
    testing::internal::CaptureStderr();
    errno = ENOENT;
    c.fn();
    EXPECT_EQ(c.want, testing::internal::GetCapturedStderr());
  }
}

TEST(Diag, DieExitsWithOneAndFlushesStdout) {
  EXPECT_EXIT(die_msg2("a", "b"), testing::ExitedWithCode(1), "^a: b\n$");
  EXPECT_EXIT((errno = EACCES, die_sys2("db_open()", "/x")),
              testing::ExitedWithCode(1),
              std::string("^db_open\\(\\): /x: ") + strerror(EACCES));
  EXPECT_EXIT((errno = ENOMEM, die_sys1("ft_init()")), testing::ExitedWithCode(1),
              "^ft_init\\(\\): ");
  EXPECT_EXIT(die_msg1("m"), testing::ExitedWithCode(1), "^m\n$");
  EXPECT_EXIT(die_msg3("a", "b", "c"), testing::ExitedWithCode(1), "^a: b: c\n$");
  EXPECT_EXIT(die_sys0(), testing::ExitedWithCode(1), "");
  EXPECT_EXIT(die_sys3("a", "b", "c"), testing::ExitedWithCode(1), "^a: b: c: ");
  // Buffered standard output is still written by the normal exit.
  EXPECT_EXIT((printf("pending"), die_msg1("m")), testing::ExitedWithCode(1), "");
}
