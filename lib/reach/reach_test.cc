// The walk's answer along the paths of a small tree under a few policies:
// recorded with a mask, not recorded, pruned below a directory, not
// reached past a link or a pruned directory, and the paths refused.
#include "reach/reach.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>

#include "db/db.h"
#include "policy/configfile.h"
#include "testutil/testutil.h"

namespace {

class Reach : public TmpDirTest {
 protected:
  void SetUp() override
  {
    TmpDirTest::SetUp();
    top_ = dir_;
    ASSERT_EQ(0, mkdir((top_ + "/a").c_str(), 0755));
    ASSERT_EQ(0, mkdir((top_ + "/a/b").c_str(), 0755));
    ASSERT_EQ(0, mkdir((top_ + "/db").c_str(), 0700));
    ASSERT_EQ(0, mkdir((top_ + "/db/x").c_str(), 0700));
    write_file(top_ + "/a/f", "x");
    ASSERT_EQ(0, symlink("a", (top_ + "/s").c_str()));
  }

  // The policy: from / down to top through the next name only, then
  // top's own list as given.
  pclt *policy(const std::string &own)
  {
    std::string text, at = "/";
    for (size_t p = 1; p < top_.size();) {
      size_t end = top_.find('/', p);
      if (end == std::string::npos)
        end = top_.size();
      std::string name = top_.substr(p, end - p);
      text += "@NO:" + at + "\n+N\nname:" + name + "\n+N:S\n";
      at = at == "/" ? "/" + name : at + "/" + name;
      p = end + 1;
    }
    text += "@NO:" + top_ + "\n" + own;
    write_file(top_ + "/policy", text);
    pclt *t = pclt_init();
    EXPECT_NE(nullptr, t);
    EXPECT_EQ(0, configfile_parse((top_ + "/policy").c_str(), t));
    return t;
  }

  std::string top_;
};

TEST_F(Reach, Answers) {
  const struct {
    const char *policy;  // top's own list
    std::string path;    // under top
    bool reached;
    std::string stop;  // under top
    bool recorded;
    uint16_t mask;
    bool descended;
  } cases[] = {
      // Everything recorded with its mode and owners, and entered, down
      // the tree.
      {"+ugm:I\n", "/a", true, "", true, DB_UID | DB_GID | DB_MODE, true},
      {"+ugm:I\n", "/a/f", true, "", true, DB_UID | DB_GID | DB_MODE, false},
      {"+ugm:I\n", "//a//b/", true, "", true, DB_UID | DB_GID | DB_MODE, true},
      // A link is recorded, never followed.
      {"+ugm:I\n", "/s", true, "", true, DB_UID | DB_GID | DB_MODE, false},
      {"+ugm:I\n", "/s/b", false, "/s", false, 0, false},
      // The database directory pruned as the nightly job's page says:
      // neither recorded nor entered, and nothing below it reached.
      {"+N:S\nname:db\n+ugm:I\n", "/db", true, "", false, 0, false},
      {"+N:S\nname:db\n+ugm:I\n", "/db/x", false, "/db", false, 0, false},
      {"+N:S\nname:db\n+ugm:I\n", "/a/b", true, "", true,
       DB_UID | DB_GID | DB_MODE, true},
      // Not recorded, entered all the same.
      {"+N\n", "/db", true, "", false, 0, true},
      {"+N\n", "/db/x", true, "", false, 0, true},
      // Recorded, not entered.
      {"+m:S\nname:db\n+N\n", "/db", true, "", true, DB_MODE, false},
      {"+m:S\nname:db\n+N\n", "/db/x", false, "/db", false, 0, false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.policy) + " " + c.path);
    pclt *t = policy(c.policy);
    ASSERT_NE(nullptr, t);
    reach_answer a;
    a.ra_path = a.ra_stop = "junk";
    a.ra_mask = 0xdead;
    a.ra_reached = a.ra_recorded = a.ra_descended = !c.reached;
    std::string err;
    ASSERT_TRUE(reach_path(t, (top_ + c.path).c_str(), &a, &err)) << err;
    pclt_free(t);
    std::string want = top_;
    for (size_t p = 0; p < c.path.size();) {  // as the walk names it
      size_t end = c.path.find('/', p + 1);
      if (end == std::string::npos)
        end = c.path.size();
      if (end > p + 1)
        want += c.path.substr(p, end - p);
      p = end;
    }
    EXPECT_EQ(want, a.ra_path);
    EXPECT_EQ(c.reached, a.ra_reached);
    EXPECT_EQ(c.stop.empty() ? "" : top_ + c.stop, a.ra_stop);
    EXPECT_EQ(c.recorded, a.ra_recorded);
    EXPECT_EQ(c.mask, a.ra_mask);
    EXPECT_EQ(c.descended, a.ra_descended);
    EXPECT_EQ(c.reached && (c.recorded || c.descended), reach_watched(a));
  }
}

// "/" is where the walk starts: never matched, always entered.
TEST_F(Reach, Root) {
  pclt *t = policy("+N\n");
  ASSERT_NE(nullptr, t);
  reach_answer a;
  std::string err;
  for (const char *p : {"/", "///"}) {
    ASSERT_TRUE(reach_path(t, p, &a, &err)) << err;
    EXPECT_EQ("/", a.ra_path);
    EXPECT_TRUE(a.ra_reached && a.ra_descended && !a.ra_recorded) << p;
    EXPECT_EQ("/: not recorded, descended into", reach_line(a));
  }
  pclt_free(t);
}

TEST_F(Reach, Refused) {
  pclt *t = policy("+ugm\n");
  ASSERT_NE(nullptr, t);
  const std::string too_long = "/" + std::string(DB_PATH_MAX, 'x');
  const struct {
    std::string path, err;
  } cases[] = {
      {"a/b", "a/b: want an absolute path"},
      {"", ": want an absolute path"},
      {top_ + "/a/../db", top_ + "/a/../db: want a path without . or .. names"},
      {top_ + "/./a", top_ + "/./a: want a path without . or .. names"},
      {too_long, too_long + ": path too long"},
      {top_ + "/none/x", "lstat(): " + top_ + "/none: " + strerror(ENOENT)},
  };
  for (const auto &c : cases) {
    reach_answer a;
    std::string err = "junk";
    EXPECT_FALSE(reach_path(t, c.path.c_str(), &a, &err)) << c.path;
    EXPECT_EQ(c.err, err);
  }
  pclt_free(t);
}

// The lines kavreach prints, names escaped.
TEST(ReachLine, Layouts) {
  reach_answer a;
  a.ra_path = "/a\nb";
  a.ra_reached = true;
  a.ra_recorded = true;
  a.ra_mask = DB_UID | DB_MODE;
  EXPECT_EQ("/a\\012b: recorded +--u-m----, not descended into", reach_line(a));
  a.ra_recorded = false;
  a.ra_descended = true;
  EXPECT_EQ("/a\\012b: not recorded, descended into", reach_line(a));
  a.ra_reached = false;
  a.ra_stop = "/a\\";
  EXPECT_EQ("/a\\012b: not reached: /a\\134 is not descended into",
            reach_line(a));
}

}  // namespace
