// dpkg's frontend lock against a second process that holds it, as dpkg
// or apt would: busy after the wait, taken once the other lets go.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "pkg/pkg.h"
#include "testutil/testutil.h"

namespace {

class PkgLock : public TmpDirTest {};

// A child process that holds the lock on file until its pipe is closed.
struct holder {
  pid_t pid = -1;
  int release = -1;  // closed to let go
};

holder
hold(const std::string &file)
{
  int ready[2], go[2];
  EXPECT_EQ(0, pipe(ready));
  EXPECT_EQ(0, pipe(go));
  holder h;
  h.pid = fork();
  if (h.pid == 0) {
    close(ready[0]);
    close(go[1]);
    int fd;
    bool busy;
    std::string err;
    if (!pkg_lock_frontend(file, 0, &fd, &busy, &err))
      _exit(1);
    char c = 'x';
    if (write(ready[1], &c, 1) != 1)
      _exit(1);
    while (read(go[0], &c, 1) > 0) {
    }
    _exit(0);
  }
  close(ready[1]);
  close(go[0]);
  char c;
  EXPECT_EQ(1, read(ready[0], &c, 1)) << "the holder could not lock";
  close(ready[0]);
  h.release = go[1];
  return h;
}

TEST_F(PkgLock, HeldByAnother) {
  const std::string file = path("lock-frontend");
  holder h = hold(file);
  for (int wait_s : {0, 1}) {
    int fd = 99;
    bool busy = false;
    std::string err;
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(pkg_lock_frontend(file, wait_s, &fd, &busy, &err));
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(busy);
    EXPECT_EQ(-1, fd);
    EXPECT_EQ(file + ": still locked by another process after " +
                  std::to_string(wait_s) + " s",
              err);
    EXPECT_GE(waited, std::chrono::seconds(wait_s));
  }
  // Let go while this one waits: it gets the lock.
  std::thread later([&h] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    close(h.release);
  });
  int fd = -1;
  bool busy = true;
  std::string err;
  bool taken = pkg_lock_frontend(file, 5, &fd, &busy, &err);
  later.join();
  int st;
  ASSERT_EQ(h.pid, waitpid(h.pid, &st, 0));
  ASSERT_TRUE(taken) << err;
  EXPECT_FALSE(busy);
  EXPECT_GE(fd, 0);
  // Now this process holds it, and another one is kept out.
  pid_t other = fork();
  if (other == 0) {
    int f;
    bool b;
    std::string e;
    _exit(!pkg_lock_frontend(file, 0, &f, &b, &e) && b ? 0 : 1);
  }
  ASSERT_EQ(other, waitpid(other, &st, 0));
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << "not kept out";
  close(fd);
}

// Free, it is taken at once, the file made as dpkg makes it; a link or
// a missing directory is a failure, never a lock elsewhere nor "busy".
TEST_F(PkgLock, FreeAndRefused) {
  const std::string file = path("lock-frontend");
  int fd = -1;
  bool busy = true;
  std::string err;
  mode_t old = umask(022);
  ASSERT_TRUE(pkg_lock_frontend(file, 0, &fd, &busy, &err)) << err;
  umask(old);
  EXPECT_FALSE(busy);
  struct stat st;
  ASSERT_EQ(0, fstat(fd, &st));
  EXPECT_EQ(0640u, st.st_mode & 07777);
  EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
  close(fd);

  write_file(path("target"), "");
  ASSERT_EQ(0, symlink("target", path("link").c_str()));
  const struct {
    std::string file, err;
  } cases[] = {
      {path("link"), path("link") + ": " + strerror(ELOOP)},
      {path("none/lock"), path("none/lock") + ": " + strerror(ENOENT)},
  };
  for (const auto &c : cases) {
    fd = 99;
    busy = true;
    err.clear();
    EXPECT_FALSE(pkg_lock_frontend(c.file, 0, &fd, &busy, &err));
    EXPECT_EQ(c.err, err);
    EXPECT_FALSE(busy) << c.file;
    EXPECT_EQ(-1, fd) << c.file;
  }
}

}  // namespace
