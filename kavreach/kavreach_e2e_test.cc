#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include "testutil/testutil.h"

namespace {

class Kavreach : public TmpDirTest {};

// The walk's answers along the paths of a small tree: a list of the
// directory's own, one inherited below it (where only its inheritable
// rules take part), a pruned directory and a symbolic link, neither of
// them descended into, and paths written loosely or wrongly.
TEST_F(Kavreach, AlongThePaths) {
  const std::string &top = dir_;
  // From / down to top: through the next name only, all else pruned.
  std::string policy;
  std::string at = "/";
  for (size_t p = 1; p < top.size();) {
    size_t end = top.find('/', p);
    if (end == std::string::npos)
      end = top.size();
    std::string name = top.substr(p, end - p);
    policy += "@NO:" + at + "\n+N\nname:" + name + "\n+N:S\n";
    at = at == "/" ? "/" + name : at + "/" + name;
    p = end + 1;
  }
  policy += "@NO:" + top + "\n+N:S\nname:p\n+C:I\ntype:d\n+ugm\n";
  const std::string conf = top + "/policy";
  write_file(conf, policy);
  ASSERT_EQ(0, mkdir((top + "/a").c_str(), 0755));
  ASSERT_EQ(0, mkdir((top + "/a/b").c_str(), 0755));
  ASSERT_EQ(0, mkdir((top + "/p").c_str(), 0755));
  ASSERT_EQ(0, mkdir((top + "/p/x").c_str(), 0755));
  write_file(top + "/a/b/f", "x");
  ASSERT_EQ(0, symlink("a", (top + "/s").c_str()));

  struct row {
    std::vector<std::string> paths;
    int status;
    std::string out;
    std::string err;
  };
  const std::vector<row> rows = {
      {{"/"}, 0, "/: not recorded, descended into\n", ""},
      {{top + "//a/"},
       0,
       top + "/a: recorded +ilugm-f--, descended into\n",
       ""},
      {{top + "/a/b/f"},
       0,
       top + "/a/b/f: not recorded, not descended into\n",
       ""},
      {{top + "/policy"},
       0,
       top + "/policy: recorded +--ugm----, not descended into\n",
       ""},
      {{top + "/p"}, 0, top + "/p: not recorded, not descended into\n", ""},
      {{top + "/p/x"},
       0,
       top + "/p/x: not reached: " + top + "/p is not descended into\n",
       ""},
      {{top + "/s/b"},
       0,
       top + "/s/b: not reached: " + top + "/s is not descended into\n",
       ""},
      {{"a", top + "/a/../p", top + "/none", top + "/a/b"},
       1,
       top + "/a/b: recorded +ilugm-f--, descended into\n",
       "a: want an absolute path\n" + top +
           "/a/../p: want a path without . or .. names\nlstat(): " + top +
           "/none: No such file or directory\n"},
  };
  for (const row &r : rows) {
    std::vector<std::string> argv = {KAVREACH_PATH, "-c", conf};
    argv.insert(argv.end(), r.paths.begin(), r.paths.end());
    prog_result got = run_prog(argv, dir_);
    EXPECT_EQ(r.status, got.status) << r.paths[0];
    EXPECT_EQ(r.out, got.out) << r.paths[0];
    EXPECT_EQ(r.err, got.err) << r.paths[0];
  }
}

}  // namespace
