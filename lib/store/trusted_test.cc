#include "store/trusted.h"

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "testutil/testutil.h"

namespace {

constexpr uid_t OTHER = 65534;  // nobody: a user the job must not trust

// A fixture whose directory is named by its path with every link
// resolved, so that messages naming a directory above read as built; the
// rows are skipped when the temporary directory itself is not one a job
// could trust (a /tmp without the sticky bit, say).
class Trusted : public TmpDirTest {
 protected:
  void SetUp() override
  {
    TmpDirTest::SetUp();
    base_ = dir_;
    int fd = -1;
    std::string err;
    if (!st_open_trusted(base_, ST_WANT_DIR, "the test", &fd, nullptr, &err))
      GTEST_SKIP() << "the temporary directory is not trusted: " << err;
    close(fd);
  }
  std::string at(const std::string &name) const { return base_ + "/" + name; }
  std::string base_;
};

void
make_file(const std::string &name, const std::string &data, mode_t mode,
          uid_t uid = 0)
{
  write_file(name, data);
  ASSERT_EQ(0, chmod(name.c_str(), mode)) << name << ": " << strerror(errno);
  if (uid != 0) {
    ASSERT_EQ(0, lchown(name.c_str(), uid, uid)) << name;
  }
}

void
make_dir(const std::string &name, mode_t mode, uid_t uid = 0)
{
  ASSERT_EQ(0, mkdir(name.c_str(), 0700)) << name << ": " << strerror(errno);
  ASSERT_EQ(0, chmod(name.c_str(), mode)) << name;
  if (uid != 0) {
    ASSERT_EQ(0, lchown(name.c_str(), uid, uid)) << name;
  }
}

void
make_link(const std::string &target, const std::string &name, uid_t uid = 0)
{
  ASSERT_EQ(0, symlink(target.c_str(), name.c_str())) << name;
  if (uid != 0) {
    ASSERT_EQ(0, lchown(name.c_str(), uid, uid)) << name;
  }
}

// The rows that need root to give a file to another user, or the others,
// each in a directory of its own under base.
void
check_setups(const std::string &base, bool root_rows)
{
  // In the messages, @ stands for the row's directory.
  const struct {
    const char *what;
    bool root;  // needs root to give a file to another user
    std::function<void(const std::string &)> setup;
    const char *path;
    st_want want;
    const char *err;   // "" when it opens
    const char *real;  // where it opens, when it does
  } cases[] = {
      {"a good file", false,
       [](const std::string &d) {
         make_file(d + "/conf", "KAV_KEEP=3\n", 0600);
       },
       "conf", ST_WANT_FILE, "", "conf"},
      {"a file another user owns", true,
       [](const std::string &d) { make_file(d + "/conf", "x", 0600, OTHER); },
       "conf", ST_WANT_FILE,
       "@/conf: owned by uid 65534, not by root; the test would be trusted "
       "from another user",
       nullptr},
      {"a file its group may write", false,
       [](const std::string &d) { make_file(d + "/conf", "x", 0620); }, "conf",
       ST_WANT_FILE,
       "@/conf: mode 620 lets group or others write it; chmod go-w @/conf",
       nullptr},
      {"a file others may write", false,
       [](const std::string &d) { make_file(d + "/conf", "x", 0602); }, "conf",
       ST_WANT_FILE,
       "@/conf: mode 602 lets group or others write it; chmod go-w @/conf",
       nullptr},
      {"a symbolic link as the last name", false,
       [](const std::string &d) {
         make_file(d + "/real", "x", 0600);
         make_link("real", d + "/conf");
       },
       "conf", ST_WANT_FILE,
       "@/conf: is a symbolic link; the test must be a file of its own",
       nullptr},
      {"a missing file", false, [](const std::string &) {}, "conf",
       ST_WANT_FILE, "@/conf: cannot read the test", nullptr},
      {"a directory where a file belongs", false,
       [](const std::string &d) { make_dir(d + "/conf", 0700); }, "conf",
       ST_WANT_FILE, "@/conf: cannot read the test", nullptr},
      {"a parent another user owns", true,
       [](const std::string &d) {
         make_dir(d + "/etc", 0755, OTHER);
         make_file(d + "/etc/conf", "x", 0600);
       },
       "etc/conf", ST_WANT_FILE,
       "@/etc: a directory above the test, @/etc/conf, is owned by uid "
       "65534, not by root: that user could swap the names in it; chown "
       "root @/etc",
       nullptr},
      {"a parent its group may write", false,
       [](const std::string &d) {
         make_dir(d + "/etc", 0770);
         make_file(d + "/etc/conf", "x", 0600);
       },
       "etc/conf", ST_WANT_FILE,
       "@/etc: a directory above the test, @/etc/conf, has mode 770: group "
       "or others could swap the names in it; chmod go-w @/etc",
       nullptr},
      {"a parent others may write, not sticky", false,
       [](const std::string &d) {
         make_dir(d + "/etc", 0777);
         make_file(d + "/etc/conf", "x", 0600);
       },
       "etc/conf", ST_WANT_FILE,
       "@/etc: a directory above the test, @/etc/conf, has mode 777: group "
       "or others could swap the names in it; chmod go-w @/etc",
       nullptr},
      {"a sticky parent root owns, as /tmp", true,
       [](const std::string &d) {
         make_dir(d + "/tmp", 01777);
         make_file(d + "/tmp/conf", "x", 0600);
       },
       "tmp/conf", ST_WANT_FILE, "", "tmp/conf"},
      {"a sticky parent another user owns", true,
       [](const std::string &d) {
         make_dir(d + "/tmp", 01777, OTHER);
         make_file(d + "/tmp/conf", "x", 0600);
       },
       "tmp/conf", ST_WANT_FILE,
       "@/tmp: a directory above the test, @/tmp/conf, is owned by uid "
       "65534, not by root: that user could swap the names in it; chown "
       "root @/tmp",
       nullptr},
      {"a link another user owns in a sticky directory", true,
       [](const std::string &d) {
         make_dir(d + "/tmp", 01777);
         make_dir(d + "/etc", 0755);
         make_file(d + "/etc/conf", "x", 0600);
         make_link("../etc", d + "/tmp/etc", OTHER);
       },
       "tmp/etc/conf", ST_WANT_FILE,
       "@/tmp/etc: a symbolic link on the way to the test, @/tmp/etc/conf, "
       "that uid 65534 owns in a directory others may write: that user "
       "could point it elsewhere; replace it with a link root owns",
       nullptr},
      {"a linked directory in a trusted one", false,
       [](const std::string &d) {
         make_dir(d + "/real", 0755);
         make_file(d + "/real/conf", "x", 0600);
         make_link("real", d + "/etc");
       },
       "etc/conf", ST_WANT_FILE, "", "real/conf"},
      {"an absolute link, and .. in one", false,
       [](const std::string &d) {
         make_dir(d + "/a", 0755);
         make_dir(d + "/a/b", 0755);
         make_file(d + "/conf", "x", 0600);
         make_link(d + "/a/b", d + "/abs");
         make_link("../../a/b/..", d + "/a/b/up");
       },
       "abs/up/../conf", ST_WANT_FILE, "", "conf"},
      {"a linked directory whose target is in an untrusted one", false,
       [](const std::string &d) {
         make_dir(d + "/open", 0777);
         make_dir(d + "/open/real", 0755);
         make_file(d + "/open/real/conf", "x", 0600);
         make_link("open/real", d + "/etc");
       },
       "etc/conf", ST_WANT_FILE,
       "@/open: a directory above the test, @/etc/conf, has mode 777: group "
       "or others could swap the names in it; chmod go-w @/open",
       nullptr},
      {"links in a loop", false,
       [](const std::string &d) {
         make_link("b", d + "/a");
         make_link("a", d + "/b");
       },
       "a/conf", ST_WANT_FILE,
       "@/a/conf: more than 40 symbolic links on the way to the test", nullptr},
      {"a file on the way", false,
       [](const std::string &d) { make_file(d + "/etc", "x", 0600); },
       "etc/conf", ST_WANT_FILE,
       "@/etc: a name on the way to the test, @/etc/conf, that is not a "
       "directory",
       nullptr},
      {"a program", false,
       [](const std::string &d) {
         make_file(d + "/prog", "#!/bin/sh\n", 0755);
       },
       "prog", ST_WANT_PROGRAM, "", "prog"},
      {"a program without its execute bit", false,
       [](const std::string &d) {
         make_file(d + "/prog", "#!/bin/sh\n", 0644);
       },
       "prog", ST_WANT_PROGRAM,
       "@/prog: not a program: the test must be a regular file its owner "
       "may execute",
       nullptr},
      {"a program its group may write", false,
       [](const std::string &d) {
         make_file(d + "/prog", "#!/bin/sh\n", 0775);
       },
       "prog", ST_WANT_PROGRAM,
       "@/prog: mode 775 lets group or others write it; chmod go-w @/prog",
       nullptr},
      {"a missing program", false, [](const std::string &) {}, "prog",
       ST_WANT_PROGRAM, "@/prog: no such program", nullptr},
      {"a directory", false,
       [](const std::string &d) { make_dir(d + "/db", 0700); }, "db",
       ST_WANT_DIR, "", "db"},
      {"a directory wanted, a file found", false,
       [](const std::string &d) { make_file(d + "/db", "x", 0600); }, "db",
       ST_WANT_DIR, "@/db: the test is not a directory", nullptr},
      {"a directory that is a link", false,
       [](const std::string &d) {
         make_dir(d + "/real", 0700);
         make_link("real", d + "/db");
       },
       "db", ST_WANT_DIR, "@/db: the test is a symbolic link", nullptr},
      {"a sticky directory as the last name", false,
       [](const std::string &d) { make_dir(d + "/db", 01777); }, "db",
       ST_WANT_DIR,
       "@/db: mode 1777 lets group or others write it; chmod go-w @/db",
       nullptr},
  };
  int n = 0;
  for (const auto &c : cases) {
    if (c.root != root_rows)
      continue;
    std::string d = base + "/case" + std::to_string(n++);
    ASSERT_EQ(0, mkdir(d.c_str(), 0755));
    c.setup(d);
    std::string want_err = c.err;
    for (size_t p; (p = want_err.find('@')) != std::string::npos;)
      want_err.replace(p, 1, d);
    int fd = -1;
    std::string real = "junk", err = "junk";
    bool ok =
        st_open_trusted(d + "/" + c.path, c.want, "the test", &fd, &real, &err);
    if (want_err.empty()) {
      ASSERT_TRUE(ok) << c.what << ": " << err;
      EXPECT_EQ(d + "/" + c.real, real) << c.what;
      int fl = fcntl(fd, F_GETFL);
      EXPECT_EQ(c.want == ST_WANT_PROGRAM ? O_PATH : O_RDONLY,
                fl & (O_PATH | O_ACCMODE))
          << c.what;
      EXPECT_NE(0, fcntl(fd, F_GETFD) & FD_CLOEXEC) << c.what;
      close(fd);
    } else {
      EXPECT_FALSE(ok) << c.what;
      EXPECT_EQ(want_err, err) << c.what;
      EXPECT_EQ(-1, fd) << c.what;
    }
  }
}

TEST_F(Trusted, Setups) {
  check_setups(base_, false);
}

TEST_F(Trusted, SetupsOfOtherUsers) {
  if (geteuid() != 0)
    GTEST_SKIP() << "not root: cannot give a file to another user";
  check_setups(base_, true);
}

// The descriptor is the file's, read whole; a file larger than the limit
// is refused, and a missing one says so in errno for an optional file.
TEST_F(Trusted, ReadsThroughTheDescriptor) {
  make_file(at("conf"), "KAV_KEEP=3\n", 0600);
  int fd;
  std::string err;
  ASSERT_TRUE(st_open_trusted(at("conf"), ST_WANT_FILE, "the test", &fd,
                              nullptr, &err))
      << err;
  // The name no longer matters once opened.
  ASSERT_EQ(0, rename(at("conf").c_str(), at("moved").c_str()));
  std::string bytes = "junk";
  EXPECT_TRUE(st_read_fd(fd, at("conf"), 100, &bytes, &err)) << err;
  EXPECT_EQ("KAV_KEEP=3\n", bytes);
  ASSERT_EQ(0, lseek(fd, 0, SEEK_SET));
  EXPECT_FALSE(st_read_fd(fd, at("conf"), 10, &bytes, &err));
  EXPECT_EQ(at("conf") + ": larger than 10 bytes", err);
  close(fd);
  errno = 0;
  EXPECT_FALSE(st_open_trusted(at("conf"), ST_WANT_FILE, "the test", &fd,
                               nullptr, &err));
  EXPECT_EQ(ENOENT, errno);
  EXPECT_FALSE(st_open_trusted(at("gone/conf"), ST_WANT_FILE, "the test", &fd,
                               nullptr, &err));
  EXPECT_EQ(ENOENT, errno);
  make_file(at("open"), "x", 0666);
  EXPECT_FALSE(st_open_trusted(at("open"), ST_WANT_FILE, "the test", &fd,
                               nullptr, &err));
  EXPECT_NE(ENOENT, errno);
}

// A relative path is taken from the working directory, whose own
// ancestors are checked as well.
TEST_F(Trusted, RelativePath) {
  make_dir(at("etc"), 0755);
  make_file(at("etc/conf"), "x", 0600);
  std::string real;
  prog_result r = run_child(
      [&] {
        int fd;
        std::string err;
        if (!st_open_trusted("etc/../etc/conf", ST_WANT_FILE, "the test", &fd,
                             &real, &err)) {
          fprintf(stderr, "%s\n", err.c_str());
          _exit(1);
        }
        printf("%s\n", real.c_str());
      },
      base_);
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ(at("etc/conf") + "\n", r.out);
}

TEST_F(Trusted, FindProgram) {
  make_dir(at("a"), 0755);
  make_dir(at("b"), 0755);
  make_dir(at("c"), 0777);
  make_file(at("b/tool"), "#!/bin/sh\n", 0755);
  make_file(at("c/tool"), "#!/bin/sh\n", 0755);
  make_file(at("c/other"), "#!/bin/sh\n", 0755);
  std::string file = "junk", err;
  // Missing in a, first found in b.
  ASSERT_TRUE(st_find_program(
      "tool", at("a") + "::" + at("missing") + ":" + at("b") + ":" + at("c"),
      &file, &err))
      << err;
  EXPECT_EQ(at("b/tool"), file);
  // The first found must be trusted: no looking further.
  EXPECT_FALSE(st_find_program("other", at("a") + ":" + at("c") + ":" + at("b"),
                               &file, &err));
  EXPECT_EQ(at("c") + ": a directory above the program other, " +
                at("c/other") +
                ", has mode 777: group or others could swap the names in "
                "it; chmod go-w " +
                at("c"),
            err);
  EXPECT_FALSE(st_find_program("nothing", at("a") + ":" + at("b"), &file,
                               &err));
  EXPECT_EQ("nothing: no such program in " + at("a") + ":" + at("b"), err);
}

// Another user swaps two names in a directory of theirs, over and over,
// between a good settings file root owns and one of theirs: the
// directory is refused every time, and the other file is never opened.
TEST_F(Trusted, SwapRace) {
  if (geteuid() != 0)
    GTEST_SKIP() << "not root: cannot give a directory to another user";
  // The other user must reach the directory.
  ASSERT_EQ(0, chmod(base_.c_str(), 0755));
  std::string dir = at("etc");
  make_dir(dir, 0755, OTHER);
  make_file(dir + "/conf", "KAV_KEEP=3\n", 0600);
  make_file(dir + "/bad", "KAV_KEEP=$(reboot)\n", 0600, OTHER);
  std::string conf = dir + "/conf", bad = dir + "/bad";
  if (renameat2(AT_FDCWD, conf.c_str(), AT_FDCWD, bad.c_str(),
                RENAME_EXCHANGE) != 0)
    GTEST_SKIP() << "renameat2(RENAME_EXCHANGE): " << strerror(errno);
  pid_t pid = fork();
  ASSERT_NE(-1, pid);
  if (pid == 0) {
    if (setgid(OTHER) != 0 || setuid(OTHER) != 0)
      _exit(2);
    for (;;)
      if (renameat2(AT_FDCWD, conf.c_str(), AT_FDCWD, bad.c_str(),
                    RENAME_EXCHANGE) != 0)
        _exit(3);
  }
  std::string want = dir + ": a directory above the configuration, " + conf +
                     ", is owned by uid 65534, not by root: that user could "
                     "swap the names in it; chown root " +
                     dir;
  int refused = 0;
  struct stat first, st;
  ASSERT_EQ(0, lstat(conf.c_str(), &first));
  bool swapped = false;
  for (int i = 0; i < 5000; i++) {
    int fd = -1;
    std::string err;
    if (st_open_trusted(conf, ST_WANT_FILE, "the configuration", &fd, nullptr,
                        &err)) {
      std::string bytes;
      st_read_fd(fd, conf, 100, &bytes, &err);
      close(fd);
      ADD_FAILURE() << "opened, holding " << bytes;
      break;
    }
    refused += err == want;
    if (lstat(conf.c_str(), &st) == 0 && st.st_ino != first.st_ino)
      swapped = true;
  }
  int status;
  bool running = waitpid(pid, &status, WNOHANG) == 0;
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  EXPECT_TRUE(running) << "the swapping process stopped early";
  EXPECT_TRUE(swapped) << "the names were never seen swapped";
  EXPECT_EQ(5000, refused);
}

}  // namespace
