// Fault injection for kavconf: parsing and the inheritance pass with too
// little memory.
#include <gtest/gtest.h>

#include <string>

#include "testutil/testutil.h"

namespace {

class KavconfFault : public TmpDirTest {};

// 40 inheritable entries at the root, copied into 400 PRE lists.
std::string
big_policy()
{
  std::string p = "@NO:/\n";
  for (int i = 0; i < 40; i++) {
    std::string n = std::to_string(i);
    p += "+F:I\nname:root" + n + "*\nname:*.bak" + n + "\nuid:" + n +
         "-\ngid:" + n + "-" + std::to_string(i + 5) + "\ntype:dr\n";
  }
  for (int d = 0; d < 400; d++)
    p += "@PRE:/d" + std::to_string(d) + "\n+C\nname:x" + std::to_string(d) +
         "\n";
  return p;
}

bool
known_failure(const std::string &err)
{
  for (const char *op :
       {"pcl_init()", "pclent_init()", "pclent_name_add()", "pclent_egid_add()",
        "pclent_euid_add()", "pcl_add()", "pclt_add()", "pclt_merge()"})
    if (err == std::string(op) + ": Cannot allocate memory\n")
      return true;
  return false;
}

// At every limit the dump is either whole and right, or absent with one of
// the parser's messages and status 1; never a crash. The uninstrumented
// build runs here because the sanitizers cannot start under such limits.
// The policy has no regular expressions: glibc's regcomp() can corrupt its
// heap when an allocation fails inside it, which no caller can prevent.
TEST_F(KavconfFault, OutOfMemoryEndsWithItsMessage) {
  write_file(path("policy"), big_policy());
  prog_result full = run_prog({KAVCONF_PLAIN_PATH, "-c", "policy"}, dir_);
  ASSERT_EQ(0, full.status) << full.err;
  int failed = 0, passed = 0;
  for (rlim_t kb = 5 * 1024; kb <= 12 * 1024; kb += 512) {
    prog_opts o;
    o.as = kb << 10;
    prog_result r = run_prog({KAVCONF_PLAIN_PATH, "-c", "policy"}, dir_, o);
    if (r.status == 127 && r.err.find("error while loading") != std::string::npos)
      continue;  // too small for the loader: the program never ran
    if (r.status == 0) {
      passed++;
      EXPECT_EQ("", r.err);
      EXPECT_TRUE(r.out == full.out) << kb << " KB";
      continue;
    }
    failed++;
    EXPECT_EQ(1, r.status) << kb << " KB: " << r.err;
    EXPECT_TRUE(known_failure(r.err)) << kb << " KB: " << r.err;
    EXPECT_EQ("", r.out) << kb << " KB";
  }
  EXPECT_GT(failed, 0) << "no limit was small enough";
  EXPECT_GT(passed, 0) << "no limit was large enough";
}

}  // namespace
