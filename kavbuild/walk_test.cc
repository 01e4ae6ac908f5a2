#include "kavbuild/walk.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "policy/configfile.h"
#include "testutil/testutil.h"

namespace {

struct visit {
  std::string path;
  uint16_t mask;
  mode_t type;
  bool opened;  // handed a descriptor
};

struct visits {
  std::vector<visit> seen;
  size_t stop_at = 0;  // return stop_value for this visit (1-based)
  int stop_value = 0;
};

int
record(const char *path, const port_stat *st, uint16_t mask, void *arg,
       const pclent *, int fd)
{
  auto *v = static_cast<visits *>(arg);
  // A descriptor counts only when it is open on the object of the status.
  struct stat now;
  bool opened = fd >= 0 && fstat(fd, &now) == 0 && now.st_ino == st->st_ino &&
                now.st_dev == st->st_dev;
  v->seen.push_back({path, mask, st->st_mode & S_IFMT, opened});
  if (fd >= 0)
    close(fd);
  return v->seen.size() == v->stop_at ? v->stop_value : 0;
}

class WalkTest : public TmpDirTest {
 protected:
  void TearDown() override
  {
    if (tree_ != nullptr)
      pclt_free(tree_);
    TmpDirTest::TearDown();
  }
  // Loads policy text in which "@D" stands for the test's directory.
  void policy(std::string text)
  {
    for (size_t at; (at = text.find("@D")) != std::string::npos;)
      text.replace(at, 2, dir_);
    write_file(path(".policy"), text);
    tree_ = pclt_init();
    ASSERT_NE(nullptr, tree_);
    ASSERT_EQ(0, configfile_parse(path(".policy").c_str(), tree_));
    unlink(path(".policy").c_str());
  }
  void mkdirs(std::initializer_list<const char *> names)
  {
    for (const char *n : names)
      ASSERT_EQ(0, mkdir(path(n).c_str(), 0755)) << n;
  }
  void files(std::initializer_list<const char *> names)
  {
    for (const char *n : names)
      write_file(path(n), n);
  }
  // Relative paths of the visits, in visiting order.
  std::vector<std::string> walk(int want = 0)
  {
    v_.seen.clear();
    EXPECT_EQ(want, fs_walk(tree_, dir_.c_str(), record, &v_));
    std::vector<std::string> rel;
    for (const auto &s : v_.seen)
      rel.push_back(s.path.substr(dir_.size() + 1));
    return rel;
  }
  // The same set in name order, for trees whose directory order is free.
  std::vector<std::string> walk_sorted(int want = 0)
  {
    auto r = walk(want);
    std::sort(r.begin(), r.end());
    return r;
  }
  pclt *tree_ = nullptr;
  visits v_;
};

using strings = std::vector<std::string>;

}  // namespace

// An inheritable entry that records everything reaches every object once;
// "." and ".." never, the starting directory never.
TEST_F(WalkTest, RecordsEverythingOnce) {
  mkdirs({"a", "a/b", "c"});
  files({"a/f", "a/b/g", "h"});
  policy("@NO:@D\n+ims:I\n");
  EXPECT_EQ((strings{"a", "a/b", "a/b/g", "a/f", "c", "h"}), walk_sorted());
  for (const auto &s : v_.seen)
    EXPECT_EQ(0x043, s.mask) << s.path;
}

// Pre-order: a directory's own visit comes before anything below it, and
// its whole subtree before its next sibling.
TEST_F(WalkTest, PreOrder) {
  mkdirs({"a", "a/b", "c", "c/d"});
  files({"a/b/x", "c/d/y", "c/z"});
  policy("@NO:@D\n+C:I\n");
  auto order = walk();
  auto pos = [&](const std::string &p) {
    return std::find(order.begin(), order.end(), p) - order.begin();
  };
  ASSERT_EQ(7u, order.size());
  EXPECT_LT(pos("a"), pos("a/b"));
  EXPECT_LT(pos("a/b"), pos("a/b/x"));
  EXPECT_LT(pos("c"), pos("c/d"));
  EXPECT_LT(pos("c/d"), pos("c/d/y"));
  // Subtrees do not interleave.
  bool a_first = pos("a") < pos("c");
  const char *const inner[] = {"a/b", "a/b/x"};
  for (const char *p : inner)
    EXPECT_EQ(a_first, pos(p) < pos("c")) << p;
}

// Without the inherit flag the entry governs only the directory's own
// entries: deeper directories have no list and only inherit I entries.
TEST_F(WalkTest, WithoutInheritOnlyTopLevel) {
  mkdirs({"a", "a/b"});
  files({"a/f", "g"});
  policy("@NO:@D\n+i\n");
  EXPECT_EQ((strings{"a", "g"}), walk_sorted());
}

TEST_F(WalkTest, PruneRules) {
  mkdirs({"rec", "skip", "plain", "plain/in", "nomatch", "nomatch/d"});
  files({"rec/x", "skip/y", "plain/in/z", "nomatch/d/w", "nomatch/v"});
  // rec: recorded and pruned; skip: pruned, not recorded; nomatch: not
  // recorded but walked, its contents matched by the inherited entry.
  policy(
      "@NO:@D\n"
      "+i:S\nname:rec\n"
      "+N:S\nname:skip\n"
      "+m:I\nnamere:^(plain|in|z|d|w|v)$\n");
  EXPECT_EQ((strings{"nomatch/d", "nomatch/d/w", "nomatch/v", "plain",
                     "plain/in", "plain/in/z", "rec"}),
            walk_sorted());
}

// A deeper list of kind PRE sees the inherited entries ahead of its own; a
// NO list sees only its own.
TEST_F(WalkTest, Inheritance) {
  mkdirs({"pre", "no", "pre/sub", "no/sub"});
  files({"pre/a.c", "pre/b", "no/a.c", "no/b", "pre/sub/c.c", "no/sub/d.c"});
  policy(
      "@NO:@D\n+N:I\nname:*.x\n+i:I\nname:*.c\n+N\n"
      "@PRE:@D/pre\n+m\nname:b\n"
      "@NO:@D/no\n+u\nname:b\n");
  auto got = walk_sorted();
  EXPECT_EQ((strings{"no/b", "pre/a.c", "pre/b", "pre/sub/c.c"}), got);
  for (const auto &s : v_.seen) {
    std::string rel = s.path.substr(dir_.size() + 1);
    uint16_t want = rel == "pre/b" ? 0x002 : rel == "no/b" ? 0x008 : 0x001;
    EXPECT_EQ(want, s.mask) << rel;
  }
}

// Links are recorded as links and never followed, also to directories.
TEST_F(WalkTest, LinksNotFollowed) {
  mkdirs({"d"});
  files({"d/f"});
  ASSERT_EQ(0, symlink("d", path("ld").c_str()));
  ASSERT_EQ(0, symlink("/", path("lroot").c_str()));
  policy("@NO:@D\n+i:I\n");
  EXPECT_EQ((strings{"d", "d/f", "ld", "lroot"}), walk_sorted());
  for (const auto &s : v_.seen) {
    bool is_link = s.path.find("/l") != std::string::npos;
    EXPECT_EQ(is_link ? S_IFLNK : s.type, s.type) << s.path;
  }
}

// A FIFO is visited with its status only: the walk never opens it, so
// nothing blocks.
TEST_F(WalkTest, FifoVisited) {
  ASSERT_EQ(0, mkfifo(path("p").c_str(), 0600));
  policy("@NO:@D\n+F\n");
  EXPECT_EQ((strings{"p"}), walk());
  EXPECT_EQ(S_IFIFO, v_.seen[0].type);
}

// A regular file or a directory comes open when its directory's list may
// ask for a digest (c or h) of its type, and nothing else does: not a link
// or a FIFO, nor an object whose list records no digest or whose type the
// list leaves out.
TEST_F(WalkTest, FilesToDigestComeOpen) {
  mkdirs({"dig", "dig/d", "sha", "sha/e", "plain", "plain/d"});
  files({"dig/f", "sha/g", "plain/p"});
  ASSERT_EQ(0, symlink("f", path("dig/l").c_str()));
  ASSERT_EQ(0, mkfifo(path("dig/q").c_str(), 0600));
  policy(
      "@NO:@D\n+C:I\n"
      "@PRE:@D/dig\n+F\n"
      "@PRE:@D/sha\n+h\ntype:r\n+C\ntype:d\n");
  EXPECT_EQ((strings{"dig", "dig/d", "dig/f", "dig/l", "dig/q", "plain",
                     "plain/d", "plain/p", "sha", "sha/e", "sha/g"}),
            walk_sorted());
  for (const auto &s : v_.seen) {
    std::string rel = s.path.substr(dir_.size() + 1);
    EXPECT_EQ(rel == "dig/f" || rel == "dig/d" || rel == "sha/g", s.opened)
        << rel;
  }
}

TEST_F(WalkTest, VisitorStops) {
  mkdirs({"d"});
  for (int i = 0; i < 20; i++)
    write_file(path("d/f" + std::to_string(i)), "x");
  policy("@NO:@D\n+i:I\n");
  v_.stop_at = 10;
  v_.stop_value = 5;
  EXPECT_EQ(10u, walk(5).size());
}

TEST_F(WalkTest, MissingDirectory) {
  policy("@NO:@D\n+i:I\n");
  testing::internal::CaptureStderr();
  EXPECT_EQ(-1, fs_walk(tree_, path("none").c_str(), record, &v_));
  EXPECT_EQ("opendir(): " + path("none") + ": " + strerror(ENOENT) + "\n",
            testing::internal::GetCapturedStderr());
}

// A full path past 1023 bytes is reported, cut to what fits, as lstat()
// failing with ENAMETOOLONG; nothing is looked up under the cut name, and
// what was visited before stays visited.
TEST_F(WalkTest, PathTooLong) {
  std::string rel;
  std::string name(200, 'n');
  // Every level's name is padded so that the last one crosses 1023.
  while (dir_.size() + 1 + rel.size() + name.size() + 1 <= 1023) {
    rel += (rel.empty() ? "" : "/") + name;
    ASSERT_EQ(0, mkdir(path(rel).c_str(), 0755));
  }
  std::string full = path(rel + "/" + name);
  ASSERT_GT(full.size(), 1023u);
  // Made relative to its parent: the whole path is too long for mkdir.
  int fd = open(path(rel).c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(0, mkdirat(fd, name.c_str(), 0755));
  close(fd);
  policy("@NO:@D\n+i:I\n");
  testing::internal::CaptureStderr();
  v_.seen.clear();
  EXPECT_EQ(-1, fs_walk(tree_, dir_.c_str(), record, &v_));
  EXPECT_EQ("lstat(): " + full.substr(0, 1023) + ": " + strerror(ENAMETOOLONG) +
                "\n",
            testing::internal::GetCapturedStderr());
  EXPECT_EQ(size_t(std::count(rel.begin(), rel.end(), '/') + 1),
            v_.seen.size());
}

namespace {

// Permissions do not hold back the superuser, so the unreadable cases run
// in a child that gives up its privileges first.
void
drop_privileges()
{
  if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
    _exit(99);
}

}  // namespace

TEST_F(WalkTest, UnreadableDirectoryStops) {
  mkdirs({"d", "d/locked"});
  files({"d/locked/f"});
  ASSERT_EQ(0, chmod(path("d/locked").c_str(), 0));
  ASSERT_EQ(0, chmod(dir_.c_str(), 0755));
  policy("@NO:@D\n+i:I\n");
  EXPECT_EXIT(
      {
        drop_privileges();
        visits v;
        exit(fs_walk(tree_, dir_.c_str(), record, &v) == -1 ? 3 : 0);
      },
      testing::ExitedWithCode(3),
      "^opendir\\(\\): " + path("d/locked") + ": " + strerror(EACCES) + "\n$");
}
