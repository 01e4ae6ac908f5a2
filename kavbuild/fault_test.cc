// Fault injection for kavbuild: a database that cannot grow, a tree that
// changes while it is walked, FIFOs, -d naming something that exists, and
// the umask.
//
// Changes during the walk are made at exact moments by a visitor that
// wraps capture_file: it runs between the walk's status call and the
// capture, or between the capture of a directory and the walk's descent
// into it, which is where a racing program would strike. Each such walk
// runs in a child process with an alarm, so a hang fails the test.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "db/db.h"
#include "kavbuild/capture.h"
#include "kavbuild/walk.h"
#include "policy/configfile.h"
#include "testutil/confine.h"
#include "testutil/exists.h"
#include "testutil/hostile.h"
#include "testutil/testutil.h"
#include "testutil/unesc.h"

namespace {

constexpr uid_t NOBODY = 65534;

class KavbuildFault : public RealTmpDirTest {
 protected:
  void SetUp() override
  {
    RealTmpDirTest::SetUp();
    top_ = path("t");
    ASSERT_EQ(0, mkdir(top_.c_str(), 0755));
  }

  // Lets an unprivileged user walk the tree and write beside it: a root
  // test drops to that user where permissions must count.
  void open_to_nobody()
  {
    ASSERT_EQ(0, chmod(dir_.c_str(), 0777));
    std::function<void(const std::string &)> give = [&](const std::string &p) {
      lchown(p.c_str(), NOBODY, NOBODY);
      struct stat st;
      if (lstat(p.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return;
      std::vector<std::string> names;
      if (DIR *d = opendir(p.c_str())) {
        while (struct dirent *de = readdir(d))
          if (strcmp(de->d_name, ".") != 0 && strcmp(de->d_name, "..") != 0)
            names.push_back(de->d_name);
        closedir(d);
      }
      for (const auto &n : names)
        give(p + "/" + n);
    };
    give(top_);
  }

  // Runs kavbuild with a policy that records everything below t.
  prog_result build(const std::string &db, const prog_opts &o = prog_opts(),
                    const std::string &mask = "F")
  {
    write_file(path("policy"),
               confined_policy(top_, "@NO:@T\n+" + mask + ":I\n"));
    unlink(path(db).c_str());
    return run_prog({KAVBUILD_PATH, "-c", "policy", "-d", db}, dir_, o);
  }

  std::string top_;
};

// What the wrapping visitor does, and to which path.
struct mutation {
  std::function<void(const std::string &)> before;  // before capture
  std::function<void(const std::string &)> after;   // after capture
  std::string when;  // the path it acts on; empty: the first one visited
  bool done;
};
mutation the_mutation;

int
mutate_and_capture(const char *path, const port_stat *st, uint16_t mask,
                   void *arg, const pclent *ent, int fd)
{
  bool now = !the_mutation.done &&
             (the_mutation.when.empty() || the_mutation.when == path);
  if (now && the_mutation.before)
    the_mutation.before(path);
  int r = capture_file(path, st, mask, arg, ent, fd);
  // After the capture means after the digest, which worker threads may
  // not have made yet.
  if (r == 0 && now && the_mutation.after)
    r = capture_sync(arg);
  if (now && the_mutation.after)
    the_mutation.after(path);
  the_mutation.done = the_mutation.done || now;
  return r;
}

// The walk of top with kavbuild's visitor on threads threads, as the child
// of a death test:
// exit status 1 when the walk failed, as kavbuild's, and 4 with a message
// when the change was never made, so that a test cannot pass without it.
[[noreturn]] void
walk_and_exit(const std::string &top, const std::string &db, uid_t as,
              int threads)
{
  alarm(20);
  // Everything but the inode and the change time, which differ between
  // the trees that each run makes afresh.
  std::string policy = top + ".policy";
  write_file(policy, "@NO:" + top + "\n+mlugsfc:I\n");
  pclt *t = pclt_init();
  if (t == nullptr || configfile_parse(policy.c_str(), t) != 0)
    _exit(3);
  db_handle *h = db_open(db.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  if (h == nullptr)
    _exit(3);
  if (as != 0 &&
      (setgroups(0, nullptr) != 0 || setgid(as) != 0 || setuid(as) != 0))
    _exit(3);
  capture_ctx *c = capture_open(h, threads);
  if (c == nullptr)
    _exit(3);
  int r = fs_walk_sync(t, top.c_str(), mutate_and_capture, capture_sync, c);
  if (r == 0)
    r = capture_sync(c);
  capture_close(c);
  if (!the_mutation.done) {
    fprintf(stderr, "the walk never reached the change\n");
    exit(4);
  }
  exit(r == 0 ? 0 : r == -1 ? 1 : 2);
}

// Each walk runs on one thread and on several: the message, the status and
// the database must not depend on it.
constexpr int THREADS[] = {1, 4};

std::string
quote(const std::string &s)
{
  std::string out;
  for (char c : s) {
    if (strchr("\\^$.|?*+()[]{}", c) != nullptr)
      out += '\\';
    out += c;
  }
  return out;
}

// Entries removed after the directory was read are left out, as if the
// directory had not listed them: the walk goes on, and records the one
// left.
TEST_F(KavbuildFault, EntriesRemovedDuringTheWalk) {
  std::string top = top_;
  for (int threads : THREADS) {
    for (int i = 0; i < 5; i++)
      write_file(top_ + "/f" + std::to_string(i), "x");
    the_mutation = {[top](const std::string &p) {
                      for (int i = 0; i < 5; i++) {
                        std::string f = top + "/f" + std::to_string(i);
                        if (f != p)
                          unlink(f.c_str());
                      }
                    },
                    nullptr, "", false};
    std::string db = path("db" + std::to_string(threads));
    EXPECT_EXIT(walk_and_exit(top_, db, 0, threads), testing::ExitedWithCode(0),
                "^$")
        << threads;
    remove_tree(top_);
    ASSERT_EQ(0, mkdir(top_.c_str(), 0755));
  }
  EXPECT_EQ(read_file(path("db1")), read_file(path("db4")));
  int frames = 0;
  uint8_t data[DB_REC_LEN];
  ASSERT_EQ(0, db_readall(
                   path("db1").c_str(),
                   [](const db_frame *, const void *, void *n) {
                     return ++*static_cast<int *>(n), 0;
                   },
                   &frames, data, sizeof data));
  EXPECT_EQ(1, frames);
}

// An object swapped for a FIFO, a link or another of its kind between its
// status and its digest. The walk opened it, its status read from that
// descriptor: its record is of the object the walk opened, contents or
// names included, as if nothing had happened since. A directory is opened
// again by its name to be walked: a FIFO or a link there stops the walk,
// without blocking on the FIFO, and another directory is walked.
TEST_F(KavbuildFault, ObjectReplacedDuringTheWalk) {
  using swap_fn = std::function<void(const std::string &)>;
  const struct {
    const char *what;
    bool dir;
    int err;  // the walk's opendir(), or 0
    swap_fn swap;
  } cases[] = {
      {"fifo", false, 0,
       [](const std::string &p) {
         unlink(p.c_str());
         mkfifo(p.c_str(), 0644);
       }},
      {"link", false, 0,
       [](const std::string &p) {
         unlink(p.c_str());
         symlink("other", p.c_str());
       }},
      // Renamed over it, so that the new file cannot reuse the old inode.
      {"file", false, 0,
       [](const std::string &p) {
         write_file(p + ".new", "new");
         rename((p + ".new").c_str(), p.c_str());
       }},
      {"dir-fifo", true, ENOTDIR,
       [](const std::string &p) {
         rmdir(p.c_str());
         mkfifo(p.c_str(), 0755);
       }},
      {"dir-link", true, ENOTDIR,
       [](const std::string &p) {
         rmdir(p.c_str());
         symlink("other", p.c_str());
       }},
      {"dir-dir", true, 0,
       [](const std::string &p) {
         mkdir((p + ".new").c_str(), 0755);
         rename((p + ".new").c_str(), p.c_str());
       }},
  };
  write_file(top_ + "/other", "other");
  std::string victim = top_ + "/victim";
  auto make_victim = [&](bool dir) {
    if (dir)
      ASSERT_EQ(0, mkdir(victim.c_str(), 0755));
    else
      write_file(victim, "contents");
  };
  auto remove_victim = [&] {
    unlink(victim.c_str());
    rmdir(victim.c_str());
  };
  // The database of the file left alone, for the cases that must match it.
  make_victim(false);
  the_mutation = {nullptr, nullptr, victim, false};
  EXPECT_EXIT(walk_and_exit(top_, path("db.alone"), 0, 1),
              testing::ExitedWithCode(0), "^$");
  remove_victim();
  for (const auto &c : cases) {
    for (int threads : THREADS) {
      make_victim(c.dir);
      the_mutation = {c.swap, nullptr, victim, false};
      std::string db =
          path(std::string("db.") + c.what + std::to_string(threads));
      std::string want = c.err ? "^opendir\\(\\): " + quote(victim) + ": " +
                                     strerror(c.err) + "\n$"
                               : "^$";
      EXPECT_EXIT(walk_and_exit(top_, db, 0, threads),
                  testing::ExitedWithCode(c.err ? 1 : 0), want)
          << c.what << " " << threads;
      remove_victim();
    }
    EXPECT_EQ(read_file(path(std::string("db.") + c.what + "1")),
              read_file(path(std::string("db.") + c.what + "4")))
        << c.what;
    if (!c.dir) {
      EXPECT_EQ(read_file(path("db.alone")),
                read_file(path(std::string("db.") + c.what + "1")))
          << c.what;
    }
  }
}

// A directory removed after the walk recorded it and before it descends
// has nothing left to walk: the build goes on. One made unreadable then
// stops the walk at opendir(). Permissions do not bind root, so a root
// test walks as an unprivileged user.
TEST_F(KavbuildFault, DirectoryChangedBeforeTheDescent) {
  std::string sub = top_ + "/sub";
  for (int threads : THREADS) {
    ASSERT_EQ(0, mkdir(sub.c_str(), 0755));
    write_file(sub + "/inner", "x");
    the_mutation = {nullptr, [](const std::string &p) { remove_tree(p); }, sub,
                    false};
    std::string db = path("db1." + std::to_string(threads));
    EXPECT_EXIT(walk_and_exit(top_, db, 0, threads), testing::ExitedWithCode(0),
                "^$")
        << threads;
  }
  EXPECT_EQ(read_file(path("db1.1")), read_file(path("db1.4")));

  for (int threads : THREADS) {
    remove_tree(sub);
    ASSERT_EQ(0, mkdir(sub.c_str(), 0755));
    write_file(sub + "/inner", "x");
    uid_t as = 0;
    if (geteuid() == 0) {
      open_to_nobody();
      as = NOBODY;
    }
    the_mutation = {nullptr, [](const std::string &p) { chmod(p.c_str(), 0); },
                    sub, false};
    std::string db = path("db2." + std::to_string(threads));
    EXPECT_EXIT(walk_and_exit(top_, db, as, threads),
                testing::ExitedWithCode(1),
                "^opendir\\(\\): " + quote(sub) + ": Permission denied\n$")
        << threads;
  }
  EXPECT_EQ(read_file(path("db2.1")), read_file(path("db2.4")));
}

// The whole program against a tree that another process keeps changing:
// every run ends in time, with a database that reads back or with one of
// the walk's or the capture's messages and status 1. Runs go on past ten
// until one has met a change, thirty at the most, so that the test cannot
// pass without the failures it is about.
TEST_F(KavbuildFault, TreeChangingUnderTheProgram) {
  for (int i = 0; i < 50; i++)
    write_file(top_ + "/f" + std::to_string(i),
               std::string(size_t(i * 100), 'x'));
  // The changes made so far, counted where the test can see them.
  void *shared = mmap(nullptr, sizeof(std::atomic<unsigned>),
                      PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1,
                      0);
  ASSERT_NE(MAP_FAILED, shared);
  auto *changes = new (shared) std::atomic<unsigned>(0);
  pid_t test = getpid();
  pid_t churn = fork();
  if (churn == 0) {
    // Swaps files for FIFOs, links and directories and back, and removes
    // and recreates them, until it is killed or the test is gone.
    for (unsigned n = 0; getppid() == test; n++) {
      std::string f = top_ + "/f" + std::to_string(n % 50);
      remove_tree(f);
      switch (n % 4) {
        case 0: mkfifo(f.c_str(), 0644); break;
        case 1: symlink("f0", f.c_str()); break;
        case 2: mkdir(f.c_str(), 0755); break;
        case 3: write_file(f, "again"); break;
      }
      *changes = n + 1;
    }
    _exit(0);
  }
  ASSERT_GT(churn, 0);
  for (int i = 0; i < 10000 && *changes == 0; i++)
    usleep(1000);
  const char *const messages[] = {"lstat(): ", "opendir(): ", "readdir_r(): ",
                                  "sha_file(): ", "readlink(): "};
  int run = 0, failed = 0;
  for (; run < 30 && (run < 10 || failed == 0); run++) {
    std::string db = "db" + std::to_string(run);
    prog_result r = build(db);
    if (r.status == 0) {
      EXPECT_EQ("", r.err);
      EXPECT_EQ(0, run_prog({KAVSHOW_PATH, "-p", db}, dir_).status);
      continue;
    }
    failed++;
    EXPECT_EQ(1, r.status) << r.err;
    bool known = false;
    for (const char *m : messages)
      known = known || r.err.rfind(m, 0) == 0;
    EXPECT_TRUE(known) << r.err;
    EXPECT_EQ(1, std::count(r.err.begin(), r.err.end(), '\n')) << r.err;
  }
  kill(churn, SIGKILL);
  waitpid(churn, nullptr, 0);
  EXPECT_GT(changes->load(), 0u) << "the tree never changed";
  EXPECT_GT(failed, 0) << "no run met a change";
  munmap(shared, sizeof(std::atomic<unsigned>));
  std::cerr << failed << " of " << run << " runs met a change\n";
}

// Another user creating and removing files in directories the walk reads:
// in one it only passes through (whose entries it still reads the status
// of) and in one whose files it records and digests. Every build succeeds,
// on one thread and on four; where the walk only passes through, every
// database is the same. Names are never reused, so no path is ever another
// object's than the one the walk saw.
TEST_F(KavbuildFault, ChurningWriterNeverFailsTheBuild) {
  std::string data = top_ + "/data", spool = top_ + "/spool";
  ASSERT_EQ(0, mkdir(data.c_str(), 0755));
  ASSERT_EQ(0, mkdir(spool.c_str(), 0755));
  for (int i = 0; i < 20; i++)
    write_file(data + "/f" + std::to_string(i), std::string(size_t(i), 'x'));
  write_file(path("through"), confined_policy(data, "@NO:@T\n+F:I\n"));
  write_file(path("records"), confined_policy(top_, "@NO:@T\n+F:I\n"));
  pid_t test = getpid();
  pid_t churn = fork();
  if (churn == 0) {
    for (unsigned n = 0; getppid() == test; n++) {
      for (const std::string &d : {top_, spool}) {
        write_file(d + "/c" + std::to_string(n), "churn");
        if (n >= 200)
          unlink((d + "/c" + std::to_string(n - 200)).c_str());
      }
    }
    _exit(0);
  }
  ASSERT_GT(churn, 0);
  std::string first;
  for (int run = 0; run < 20; run++) {
    prog_opts o;
    o.env = {run % 4 < 2 ? "KAVBUILD_THREADS=1" : "KAVBUILD_THREADS=4"};
    const char *policy = run % 2 ? "records" : "through";
    std::string db = "db" + std::to_string(run);
    prog_result r = run_prog({KAVBUILD_PATH, "-c", policy, "-d", db}, dir_, o);
    EXPECT_EQ(0, r.status) << policy << " " << o.env[0] << ": " << r.err;
    EXPECT_EQ("", r.err);
    if (run % 2 != 0)
      continue;
    if (first.empty())
      first = read_file(path(db));
    EXPECT_EQ(first, read_file(path(db))) << o.env[0];
  }
  kill(churn, SIGKILL);
  waitpid(churn, nullptr, 0);
}

// A FIFO in the tree, recorded with every attribute, is never opened: no
// open event reaches a watch on it, and its checksum stays zero.
TEST_F(KavbuildFault, FifoIsNeverOpened) {
  std::string fifo = top_ + "/fifo";
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0644));
  int in = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (in < 0)
    GTEST_SKIP() << "no inotify: " << strerror(errno);
  ASSERT_GE(inotify_add_watch(in, fifo.c_str(), IN_OPEN | IN_ACCESS), 0);
  prog_result r = build("db");
  EXPECT_EQ(0, r.status) << r.err;
  char buf[4096];
  EXPECT_LT(read(in, buf, sizeof buf), 0) << "the FIFO was opened";
  close(in);
  prog_result s =
      run_prog({KAVSHOW_PATH, "-p", "-M", "c", "-D", fifo, "db"}, dir_);
  EXPECT_EQ("? ilugmsftc " + fifo + "\n" + std::string(40, '0') + " \n", s.out);
}

// With the file size limited, the database ends at the limit: every frame
// before the failed write is there, byte for byte as an unlimited run
// writes it, and the run names the failed write once.
TEST_F(KavbuildFault, DatabaseThatCannotGrowKeepsEveryFrameBefore) {
  // Enough frames that the program's large writes fail in the middle of
  // the walk as well as at its end.
  for (int d = 0; d < 40; d++) {
    std::string sub = top_ + "/d" + std::to_string(d);
    ASSERT_EQ(0, mkdir(sub.c_str(), 0755));
    for (int i = 0; i < 100; i++)
      write_file(sub + "/file" + std::to_string(i), std::to_string(i * d));
  }
  ASSERT_EQ(0, mkdir(path("out").c_str(), 0755));
  prog_opts one;
  one.env = {"KAVBUILD_THREADS=1"};
  prog_result full = build("out/full", one);
  ASSERT_EQ(0, full.status) << full.err;
  std::string want = read_file(path("out/full"));
  ASSERT_GT(want.size(), 300000u);
  for (rlim_t limit : {rlim_t(0), rlim_t(3), rlim_t(7), rlim_t(100),
                       rlim_t(4096), rlim_t(300000), rlim_t(want.size() - 1)}) {
    for (const char *threads : {"1", "4"}) {
      std::string name = "out/cut" + std::to_string(limit) + "." + threads;
      prog_opts o;
      o.fsize = limit;
      o.env = {std::string("KAVBUILD_THREADS=") + threads};
      prog_result r = build(name, o);
      std::string at = "limit " + std::to_string(limit) + ", " + threads;
      EXPECT_EQ(1, r.status) << at;
      EXPECT_TRUE(r.err == "db_put(): File too large\n" ||
                  r.err == "db_close(): " + name + ": File too large\n")
          << at << ": " << r.err;
      std::string got = read_file(path(name));
      EXPECT_EQ(size_t(limit), got.size()) << at;
      EXPECT_EQ(0, want.compare(0, got.size(), got)) << at;
    }
  }
}

// -d never opens what is already there, and what it makes is private
// whatever the umask.
TEST_F(KavbuildFault, DatabaseOnlyNewAndPrivate) {
  write_file(top_ + "/f", "x");
  write_file(path("policy"), confined_policy(top_, "@NO:@T\n+F:I\n"));
  expect_only_new_private_databases(dir_, [](const std::string &name) {
    return std::vector<std::string>{KAVBUILD_PATH, "-c", "policy", "-d", name};
  });
}

// A directory the builder may not read stops the build with "opendir()"
// (recorded without a checksum: digesting it would fail first). Among
// files named to forge report lines, and with such a name itself, the
// message is one line all the same, and its path reads back as the bytes
// on disk.
TEST_F(KavbuildFault, UnreadableDirectoryStopsTheBuild) {
  for (const std::string &name : hostile_names())
    write_file(top_ + "/" + name, "x");
  const std::string head = "opendir(): ", tail = ": Permission denied\n";
  for (const std::string &name :
       {std::string("closed"), hostile_names()[0] + "\t\\\x7f\xff"}) {
    std::string sub = top_ + "/" + name;
    ASSERT_EQ(0, mkdir(sub.c_str(), 0755));
    write_file(sub + "/secret", "x");
    prog_opts o;
    o.bound_by_permissions = true;
    ASSERT_EQ(0, chmod(sub.c_str(), 0));
    prog_result r = build("db", o, "C");
    if (r.status == 124)
      GTEST_SKIP() << "cannot run kavbuild without CAP_DAC_OVERRIDE";
    EXPECT_EQ(1, r.status);
    ASSERT_GT(r.err.size(), head.size() + tail.size()) << r.err;
    EXPECT_EQ(head, r.err.substr(0, head.size()));
    EXPECT_EQ(tail, r.err.substr(r.err.size() - tail.size()));
    std::string back;
    EXPECT_TRUE(unesc_name(
        r.err.substr(head.size(), r.err.size() - head.size() - tail.size()),
        &back))
        << r.err;
    EXPECT_EQ(sub, back);
    remove_tree(sub);
  }
}

}  // namespace
