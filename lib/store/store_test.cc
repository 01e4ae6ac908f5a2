#include "store/store.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "testutil/testutil.h"

namespace {

const char B0[] = "kavdb-000000-20260101T000000Z";
const char B1[] = "kavdb-000000-20260301T000000Z";
const char S1[] = "kavdb-000001-20260102T000000Z";
const char S2[] = "kavdb-000002-20260103T000000Z";
const char S3[] = "kavdb-000003-20260104T000000Z";
const char S4[] = "kavdb-000004-20260105T000000Z";

TEST(StoreNames, Shape) {
  const struct {
    const char *name;
    bool snapshot, baseline;
  } cases[] = {
      {"kavdb-000000-20260101T000000Z", true, true},
      {"kavdb-000001-20260101T000000Z", true, false},
      {"kavdb-999999-99999999T999999Z", true, false},
      {"kavdb-000000-20260101T000000Z.sig", false, false},
      {"kavdb-000000-20260101T000000", false, false},
      {"kavdb-00000-20260101T000000Z", false, false},
      {"kavdb-0000001-20260101T000000Z", false, false},
      {"kavdb-00000a-20260101T000000Z", false, false},
      {"kavdb-000001-20260101t000000Z", false, false},
      {"kavdb-000001_20260101T000000Z", false, false},
      {"kavdb-000001-2026010 T000000Z", false, false},
      {"Kavdb-000001-20260101T000000Z", false, false},
      {"xkavdb-000001-20260101T000000Z", false, false},
      {"kavdb-+00001-20260101T000000Z", false, false},
      {"partial", false, false},
      {"", false, false},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(c.snapshot, st_is_snapshot(c.name)) << c.name;
    EXPECT_EQ(c.baseline, st_is_baseline(c.name)) << c.name;
  }
  // A zero byte is no digit.
  std::string z = "kavdb-000001-20260101T000000Z";
  z[8] = '\0';
  EXPECT_FALSE(st_is_snapshot(z));
}

TEST(StoreNames, Next) {
  const int64_t t = 1781000000;  // 2026-06-09T10:13:20Z
  const struct {
    const char *prev;
    int64_t now;
    const char *want;
  } cases[] = {
      {"", 0, "kavdb-000000-19700101T000000Z"},
      {"", t, "kavdb-000000-20260609T101320Z"},
      {"kavdb-000000-20260101T000000Z", t, "kavdb-000001-20260609T101320Z"},
      // Leading zeros are decimal: 08 and 09 are numbers, 010 is ten.
      {"kavdb-000007-20260101T000000Z", t, "kavdb-000008-20260609T101320Z"},
      {"kavdb-000008-20260101T000000Z", t, "kavdb-000009-20260609T101320Z"},
      {"kavdb-000009-20260101T000000Z", t, "kavdb-000010-20260609T101320Z"},
      {"kavdb-000010-20260101T000000Z", t, "kavdb-000011-20260609T101320Z"},
      {"kavdb-099999-20260101T000000Z", t, "kavdb-100000-20260609T101320Z"},
      {"kavdb-999998-20260101T000000Z", t, "kavdb-999999-20260609T101320Z"},
      // No seventh digit: the names would no longer sort by number.
      {"kavdb-999999-20260101T000000Z", t, ""},
      // The clock is not asked about the previous name's time.
      {"kavdb-000003-29990101T000000Z", 0, "kavdb-000004-19700101T000000Z"},
      {"partial", t, ""},
      {"kavdb-000003-20260101T000000Z.sig", t, ""},
      // A year of five digits, or before the epoch's year 0, has no name.
      {"", 253402300800, ""},
      {"", 253402300799, "kavdb-000000-99991231T235959Z"},
      {"", -62167219201, ""},
  };
  for (const auto &c : cases)
    EXPECT_EQ(c.want, st_next_name(c.prev, c.now))
        << "prev \"" << c.prev << "\" now " << c.now;
  EXPECT_EQ("kavdb-000000-20260609T101320Z", st_baseline_name(t));
  EXPECT_EQ("", st_baseline_name(253402300800));
}

std::set<std::string>
entries(const std::string &dir)
{
  std::set<std::string> out;
  std::unique_ptr<DIR, int (*)(DIR *)> d(opendir(dir.c_str()), closedir);
  EXPECT_NE(nullptr, d) << dir;
  while (d != nullptr) {
    struct dirent *de = readdir(d.get());
    if (de == nullptr)
      break;
    if (strcmp(de->d_name, ".") != 0 && strcmp(de->d_name, "..") != 0)
      out.insert(de->d_name);
  }
  return out;
}

std::string
join(const std::set<std::string> &s)
{
  std::string out;
  for (const std::string &n : s)
    out += n + " ";
  return out;
}

class StoreTest : public TmpDirTest {
 protected:
  void SetUp() override
  {
    TmpDirTest::SetUp();
    db_ = path("db");
    ASSERT_EQ(0, mkdir(db_.c_str(), 0700));
    std::string err;
    ASSERT_TRUE(st_dir_open(db_, false, &d_, &err)) << err;
  }
  void TearDown() override
  {
    st_dir_close(&d_);
    TmpDirTest::TearDown();
  }
  std::string in(const std::string &name) const { return db_ + "/" + name; }
  // A directory with a file in it, which no rename can replace.
  void block(const std::string &name)
  {
    ASSERT_EQ(0, mkdir(in(name).c_str(), 0700));
    write_file(in(name) + "/x", "x");
  }
  std::string db_;
  st_dir d_;
};

TEST_F(StoreTest, OpenRefuses) {
  std::string err;
  st_dir d;
  std::string other = path("other");
  const struct {
    const char *what;
    std::function<void()> set_up;
    std::string want;
  } cases[] = {
      {"mode 755", [&] { chmod(db_.c_str(), 0755); },
       db_ + ": mode 755, want 700; chmod 700 " + db_},
      {"mode 750", [&] { chmod(db_.c_str(), 0750); },
       db_ + ": mode 750, want 700; chmod 700 " + db_},
      {"sticky", [&] { chmod(db_.c_str(), 01700); },
       db_ + ": mode 1700, want 700; chmod 700 " + db_},
      {"mode 500", [&] { chmod(db_.c_str(), 0500); },
       db_ + ": mode 500, want 700; chmod 700 " + db_},
      {"link",
       [&] {
         remove_tree(db_);
         mkdir(other.c_str(), 0700);
         symlink(other.c_str(), db_.c_str());
       },
       db_ + ": the database directory is a symbolic link"},
      {"link, named with a slash",
       [&] {
         remove_tree(db_);
         mkdir(other.c_str(), 0700);
         symlink(other.c_str(), db_.c_str());
         db_ += "//";
       },
       db_ + "//: the database directory is a symbolic link"},
      {"file",
       [&] {
         remove_tree(db_);
         write_file(db_, "");
       },
       db_ + ": the database directory is not a directory"},
      {"missing", [&] { remove_tree(db_); },
       db_ + ": the database directory is not a directory"},
  };
  for (const auto &c : cases) {
    remove_tree(db_);
    remove_tree(other);
    ASSERT_EQ(0, mkdir(db_.c_str(), 0700));
    c.set_up();
    err = "junk";
    EXPECT_FALSE(st_dir_open(db_, false, &d, &err)) << c.what;
    EXPECT_EQ(c.want, err) << c.what;
    EXPECT_EQ(-1, d.sd_fd) << c.what;
    db_ = path("db");
  }
  // Owned by someone else: only root can make that.
  remove_tree(db_);
  ASSERT_EQ(0, mkdir(db_.c_str(), 0700));
  if (geteuid() == 0) {
    ASSERT_EQ(0, chown(db_.c_str(), 12345, 0));
    EXPECT_FALSE(st_dir_open(db_, false, &d, &err));
    EXPECT_EQ(db_ +
                  ": owned by uid 12345, not by root; the snapshots could "
                  "be replaced",
              err);
  }
}

TEST_F(StoreTest, OpenRefusesPlantedLinks) {
  for (const char *name :
       {"lock", "report", "report.triage", "partial", "partial.pkg.sig",
        "accept.log", "accept.log.sig", "accept.log.partial.sig"}) {
    ASSERT_EQ(0, symlink("/etc/passwd", in(name).c_str()));
    st_dir d;
    std::string err;
    EXPECT_FALSE(st_dir_open(db_, false, &d, &err)) << name;
    EXPECT_EQ(in(name) +
                  ": a symbolic link where a file of kavnightly's own belongs",
              err);
    ASSERT_EQ(0, unlink(in(name).c_str()));
  }
  // A link under a snapshot's name is only left out of the list.
  ASSERT_EQ(0, symlink("/etc/passwd", in(S1).c_str()));
  st_dir d;
  std::string err;
  ASSERT_TRUE(st_dir_open(db_, false, &d, &err)) << err;
  std::vector<std::string> names = {"junk"};
  ASSERT_TRUE(st_list(d, &names, &err)) << err;
  EXPECT_TRUE(names.empty());
  st_dir_close(&d);
}

TEST_F(StoreTest, OpenMakes) {
  std::string deep = path("a/b/db");
  st_dir d;
  std::string err;
  mode_t old = umask(0);
  bool ok = st_dir_open(deep, true, &d, &err);
  umask(old);
  ASSERT_TRUE(ok) << err;
  struct stat st;
  for (const std::string &p : {path("a"), path("a/b"), deep}) {
    ASSERT_EQ(0, lstat(p.c_str(), &st)) << p;
    EXPECT_EQ(0700u, st.st_mode & 07777) << p;
  }
  EXPECT_EQ(deep, d.sd_path);
  st_dir_close(&d);
  EXPECT_EQ(-1, d.sd_fd);
}

TEST_F(StoreTest, Files) {
  std::string err, bytes;
  bool missing = false;
  ASSERT_TRUE(st_write(d_, "report", std::string("a\0b", 3), &err)) << err;
  struct stat st;
  ASSERT_EQ(0, stat(in("report").c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 07777);
  // New only.
  EXPECT_FALSE(st_write(d_, "report", "c", &err));
  EXPECT_EQ(in("report") + ": cannot write: File exists", err);
  EXPECT_TRUE(st_read(d_, "report", &bytes, &missing, &err)) << err;
  EXPECT_EQ(std::string("a\0b", 3), bytes);
  EXPECT_FALSE(st_read(d_, "partial", &bytes, &missing, &err));
  EXPECT_TRUE(missing);
  ASSERT_EQ(0, symlink("report", in("partial").c_str()));
  EXPECT_FALSE(st_read(d_, "partial", &bytes, &missing, &err));
  EXPECT_FALSE(missing);
  EXPECT_EQ(in("partial") + ": cannot read: a symbolic link", err);
  ASSERT_EQ(0, mkfifo(in("report.triage").c_str(), 0600));
  EXPECT_FALSE(st_read(d_, "report.triage", &bytes, &missing, &err));
  EXPECT_EQ(in("report.triage") + ": cannot read: not a regular file", err);

  EXPECT_TRUE(st_exists(d_, "report"));
  EXPECT_FALSE(st_exists(d_, "partial"));
  EXPECT_TRUE(st_exists(d_, "partial", true));
  EXPECT_FALSE(st_exists(d_, "nothing", true));

  std::string hex = "junk";
  off_t size = -1;
  ASSERT_TRUE(st_write(d_, "report.explained", "abc", &err)) << err;
  ASSERT_TRUE(st_sha256(d_, "report.explained", &hex, &size, &err)) << err;
  EXPECT_EQ("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",
            hex);
  EXPECT_EQ(3, size);
  EXPECT_FALSE(st_sha256(d_, "partial", &hex, nullptr, &err));
  EXPECT_TRUE(st_sync_file(d_, "report", &err)) << err;
  EXPECT_TRUE(st_sync_dir(d_, &err)) << err;

  // Clean takes every scratch file, a link among them, and nothing else.
  write_file(in(S1), "s");
  write_file(in("accept.log"), "l");
  ASSERT_TRUE(st_clean(d_, &err)) << err;
  EXPECT_EQ(join({S1, "accept.log"}), join(entries(db_)));
  block("partial.sig");
  EXPECT_FALSE(st_clean(d_, &err));
  EXPECT_EQ("cannot remove " + in("partial.sig") + ": Is a directory", err);
}

// Placing partial as S1 with the companions of the row, and a step made to
// fail by a directory in the way of one of the names it moves to: nothing
// may stay under the new name, and everything is back as partial.
TEST_F(StoreTest, PlaceFailsAtEachStep) {
  const struct {
    std::vector<const char *> companions;
    const char *blocked;  // the extension in the way, null for none
  } cases[] = {
      {{".sig", ".pkg.sig", ".pkg"}, nullptr},
      {{}, nullptr},
      {{".pkg"}, nullptr},
      {{".sig", ".pkg.sig", ".pkg"}, ".sig"},
      {{".sig", ".pkg.sig", ".pkg"}, ".pkg.sig"},
      {{".sig", ".pkg.sig", ".pkg"}, ".pkg"},
      {{".sig", ".pkg.sig", ".pkg"}, ""},
      {{".sig"}, ""},
      {{".pkg.sig", ".pkg"}, ".pkg"},
  };
  for (const auto &c : cases) {
    std::string what = std::string("blocked ") +
                       (c.blocked ? c.blocked : "none") + ", companions";
    std::set<std::string> before = {"partial"};
    write_file(in("partial"), "partial");
    for (const char *ext : c.companions) {
      write_file(in(std::string("partial") + ext), ext);
      before.insert(std::string("partial") + ext);
      what += std::string(" ") + ext;
    }
    if (c.blocked != nullptr) {
      block(S1 + std::string(c.blocked));
      before.insert(S1 + std::string(c.blocked));
    }
    std::string err = "junk";
    bool ok = st_place(d_, "partial", S1, &err);
    EXPECT_EQ(c.blocked == nullptr, ok) << what << ": " << err;
    if (ok) {
      std::set<std::string> after = {S1};
      for (const char *ext : c.companions) {
        after.insert(S1 + std::string(ext));
        EXPECT_EQ(ext, read_file(in(S1 + std::string(ext)))) << what;
      }
      EXPECT_EQ(join(after), join(entries(db_))) << what;
      EXPECT_EQ("partial", read_file(in(S1))) << what;
    } else {
      EXPECT_EQ("cannot rename " + in(std::string("partial") + c.blocked) +
                    ": Is a directory",
                err)
          << what;
      EXPECT_EQ(join(before), join(entries(db_))) << what;
      for (const char *ext : c.companions)
        EXPECT_EQ(ext, read_file(in(std::string("partial") + ext))) << what;
      EXPECT_EQ("partial", read_file(in("partial"))) << what;
    }
    for (const std::string &n : entries(db_))
      remove_tree(in(n));
  }
}

TEST_F(StoreTest, PlaceWithoutTheFile) {
  write_file(in("partial.sig"), "sig");
  std::string err;
  EXPECT_FALSE(st_place(d_, "partial", S1, &err));
  EXPECT_EQ("cannot rename " + in("partial") + ": No such file or directory",
            err);
  EXPECT_EQ(join({"partial.sig"}), join(entries(db_)));
}

// Rotation: the directory before (regular files) and after, keeping keep.
TEST_F(StoreTest, Rotate) {
  auto with = [](const char *s, std::vector<const char *> exts) {
    std::vector<std::string> out = {s};
    for (const char *e : exts)
      out.push_back(s + std::string(e));
    return out;
  };
  auto all = [&](const char *s) {
    return with(s, {".sig", ".pkg", ".pkg.sig"});
  };
  auto cat = [](std::vector<std::vector<std::string>> parts) {
    std::set<std::string> out;
    for (const auto &p : parts)
      out.insert(p.begin(), p.end());
    return out;
  };
  const struct {
    const char *what;
    std::set<std::string> before;
    int keep;
    std::set<std::string> after;
    std::vector<std::string> removed;
  } cases[] = {
      {"empty", {}, 1, {}, {}},
      {"fewer than keep",
       cat({all(B0), all(S1)}),
       2,
       cat({all(B0), all(S1)}),
       {}},
      {"oldest go with companions",
       cat({all(B0), all(S1), with(S2, {".sig"}), all(S3), with(S4, {})}),
       2,
       cat({all(B0), all(S3), with(S4, {})}),
       {S1, S2}},
      {"baselines never count nor go",
       cat({all(B0), all(B1), all(S1), all(S2)}),
       1,
       cat({all(B0), all(B1), all(S2)}),
       {S1}},
      {"only baselines",
       cat({all(B0), all(B1)}),
       1,
       cat({all(B0), all(B1)}),
       {}},
      {"keep zero",
       cat({all(B0), all(S1), all(S2)}),
       0,
       cat({all(B0)}),
       {S1, S2}},
      {"orphaned companions go, other files stay",
       cat({all(B0),
            with(S2, {}),
            {S1 + std::string(".sig")},
            {S1 + std::string(".pkg.sig")},
            {B1 + std::string(".pkg")},
            {"report", "accept.log", "kavdb-x.sig"}}),
       1,
       cat({all(B0), with(S2, {}), {"report", "accept.log", "kavdb-x.sig"}}),
       {B1 + std::string(".pkg"), S1 + std::string(".pkg.sig"),
        S1 + std::string(".sig")}},
  };
  for (const auto &c : cases) {
    for (const std::string &n : entries(db_))
      remove_tree(in(n));
    for (const std::string &n : c.before)
      write_file(in(n), n);
    std::vector<std::string> removed = {"junk"};
    std::string err;
    ASSERT_TRUE(st_rotate(d_, c.keep, &removed, &err)) << c.what << ": " << err;
    EXPECT_EQ(join(c.after), join(entries(db_))) << c.what;
    // The snapshots oldest first, then the companions left behind.
    const std::vector<std::string> &want = c.removed;
    EXPECT_EQ(want.size(), removed.size()) << c.what;
    std::set<std::string> got(removed.begin(), removed.end());
    EXPECT_EQ(join({want.begin(), want.end()}), join(got)) << c.what;
  }
}

TEST_F(StoreTest, RemoveFailure) {
  write_file(in(S1), "s");
  block(S1 + std::string(".pkg"));
  std::string err;
  EXPECT_FALSE(st_remove(d_, S1, &err));
  EXPECT_EQ("cannot remove " + in(S1 + std::string(".pkg")) +
                ": Is a directory",
            err);
  // The snapshot went first.
  EXPECT_FALSE(st_exists(d_, S1, true));
}

// A holder of the lock in one descriptor, asked for in another: flock
// locks belong to the open file, so a second opening conflicts as another
// process's would.
TEST_F(StoreTest, Lock) {
  const struct {
    bool held_shared, shared, ok;
  } cases[] = {
      {false, false, false},
      {false, true, false},
      {true, false, false},
      {true, true, true},
  };
  std::string err;
  for (const auto &c : cases) {
    std::string what = std::string(c.held_shared ? "shared" : "exclusive") +
                       " held, " + (c.shared ? "shared" : "exclusive") +
                       " asked";
    st_dir holder, other;
    bool busy = true;
    ASSERT_TRUE(st_dir_open(db_, false, &holder, &err)) << err;
    ASSERT_TRUE(st_dir_open(db_, false, &other, &err)) << err;
    if (c.held_shared)  // a shared lock needs the file a run made
      write_file(in("lock"), "");
    ASSERT_TRUE(st_lock(&holder, c.held_shared, 0, &busy, &err)) << what;
    EXPECT_FALSE(busy);
    EXPECT_GE(holder.sd_lock, 0) << what;
    EXPECT_EQ(c.ok, st_lock(&other, c.shared, 0, &busy, &err)) << what;
    EXPECT_EQ(!c.ok, busy) << what;
    if (!c.ok) {
      EXPECT_EQ(
          in("lock") + ": another run still holds it after 0 s; giving up", err)
          << what;
      EXPECT_EQ(-1, other.sd_lock) << what;
    }
    // Released when the holder closes.
    st_dir_close(&holder);
    EXPECT_TRUE(st_lock(&other, c.shared, 0, &busy, &err)) << what << err;
    st_dir_close(&other);
    unlink(in("lock").c_str());
  }
}

TEST_F(StoreTest, LockSharedWithoutFile) {
  bool busy = true;
  std::string err;
  ASSERT_TRUE(st_lock(&d_, true, 0, &busy, &err)) << err;
  EXPECT_FALSE(busy);
  EXPECT_EQ(-1, d_.sd_lock);
  EXPECT_FALSE(st_exists(d_, "lock", true));
  ASSERT_TRUE(st_lock(&d_, false, 0, &busy, &err)) << err;
  struct stat st;
  ASSERT_EQ(0, lstat(in("lock").c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 07777);
}

TEST_F(StoreTest, LockRefusesWhatIsNoFile) {
  ASSERT_EQ(0, mkfifo(in("lock").c_str(), 0600));
  bool busy = true;
  std::string err;
  for (bool shared : {true, false}) {
    EXPECT_FALSE(st_lock(&d_, shared, 0, &busy, &err));
    EXPECT_FALSE(busy);
    EXPECT_EQ(in("lock") + ": cannot open: not a regular file", err);
  }
}

// Another process holds the lock for a while: a wait shorter than that
// gives up after about its length, a longer one gets the lock when the
// holder exits.
TEST_F(StoreTest, LockWaitsForAnotherProcess) {
  int ready[2], go[2];
  ASSERT_EQ(0, pipe(ready));
  ASSERT_EQ(0, pipe(go));
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    st_dir d;
    std::string err;
    bool busy;
    char c = 'x';
    if (!st_dir_open(db_, false, &d, &err) ||
        !st_lock(&d, false, 0, &busy, &err) || write(ready[1], &c, 1) != 1 ||
        read(go[0], &c, 1) != 1)
      _exit(1);
    // Held a little after being told to go.
    usleep(300 * 1000);
    _exit(0);
  }
  close(ready[1]);
  close(go[0]);
  char c;
  ASSERT_EQ(1, read(ready[0], &c, 1));
  bool busy = false;
  std::string err;
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(st_lock(&d_, true, 1, &busy, &err));
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_TRUE(busy);
  EXPECT_GE(waited, std::chrono::milliseconds(1000));
  EXPECT_LT(waited, std::chrono::milliseconds(3000));
  EXPECT_EQ(in("lock") + ": another run still holds it after 1 s; giving up",
            err);
  ASSERT_EQ(1, write(go[1], "g", 1));
  EXPECT_TRUE(st_lock(&d_, false, 10, &busy, &err)) << err;
  int status;
  ASSERT_EQ(pid, waitpid(pid, &status, 0));
  EXPECT_EQ(0, status);
  close(ready[0]);
  close(go[1]);
}

}  // namespace
