// Fault injection for kavconf: parsing and the inheritance pass with too
// little memory.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testutil/memlimit.h"
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

// From the least memory it starts with to the least it succeeds with, the
// program ends with one of the parser's messages, status 1 and no dump;
// from there on the dump is whole and right; never a crash. The
// uninstrumented build runs here because the sanitizers cannot start under
// such limits. The policy has no regular expressions: glibc's regcomp()
// can corrupt its heap when an allocation fails inside it, which no caller
// can prevent.
TEST_F(KavconfFault, OutOfMemoryEndsWithItsMessage) {
  write_file(path("policy"), big_policy());
  prog_result full = run_prog({KAVCONF_PLAIN_PATH, "-c", "policy"}, dir_);
  ASSERT_EQ(0, full.status) << full.err;
  auto run = [&](rlim_t limit, bool refused) {
    std::vector<std::string> argv{KAVCONF_PLAIN_PATH, "-c", "policy"};
    if (refused)
      argv.push_back("policy");
    prog_opts o;
    o.as = limit;
    return run_prog(argv, dir_, o);
  };
  int failed = 0;
  for (const limited_run &l : runs_near_memory_need(run, 8)) {
    if (l.r.status == 0) {
      EXPECT_EQ("", l.r.err);
      EXPECT_TRUE(l.r.out == full.out) << l.limit << " bytes";
      continue;
    }
    failed++;
    EXPECT_EQ(1, l.r.status) << l.limit << " bytes: " << l.r.err;
    EXPECT_TRUE(known_failure(l.r.err)) << l.limit << " bytes: " << l.r.err;
    EXPECT_EQ("", l.r.out) << l.limit << " bytes";
  }
  EXPECT_GT(failed, 0) << "the program never ran short of memory";
}

}  // namespace
