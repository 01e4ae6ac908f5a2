#include "port/port.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <string>

#include "sha1/sha1.h"
#include "testutil/testutil.h"

using PortTest = TmpDirTest;

// The status is lstat()'s: a link is described, not its target.
TEST_F(PortTest, LstatMatchesSystem) {
  write_file(path("f"), "12345");
  ASSERT_EQ(0, symlink("f", path("l").c_str()));
  for (const char *n : {"f", "l", ""}) {
    struct stat want;
    port_stat got;
    memset(&got, 0x55, sizeof got);
    ASSERT_EQ(0, lstat(path(n).c_str(), &want));
    ASSERT_EQ(0, port_lstat(path(n).c_str(), &got));
    EXPECT_EQ(want.st_dev, got.st_dev) << n;
    EXPECT_EQ(want.st_ino, got.st_ino) << n;
    EXPECT_EQ(want.st_mode, got.st_mode) << n;
    EXPECT_EQ(want.st_nlink, got.st_nlink) << n;
    EXPECT_EQ(want.st_uid, got.st_uid) << n;
    EXPECT_EQ(want.st_gid, got.st_gid) << n;
    EXPECT_EQ(want.st_size, got.st_size) << n;
    EXPECT_EQ(want.st_ctim.tv_sec, got.st_ctim.tv_sec) << n;
    EXPECT_EQ(want.st_ctim.tv_nsec, got.st_ctim.tv_nsec) << n;
    EXPECT_EQ(0u, got.st_flags) << n;
  }
  int fd = open(dir_.c_str(), O_RDONLY | O_DIRECTORY);
  port_stat at, plain;
  ASSERT_EQ(0, port_lstatat(fd, "l", &at));
  ASSERT_EQ(0, port_lstat(path("l").c_str(), &plain));
  EXPECT_EQ(plain.st_ino, at.st_ino);
  EXPECT_TRUE(S_ISLNK(at.st_mode));
  close(fd);
  errno = 0;
  EXPECT_EQ(-1, port_lstat(path("none").c_str(), &at));
  EXPECT_EQ(ENOENT, errno);
}

// The nodump attribute, which an owner may set, shows as UF_NODUMP.
TEST_F(PortTest, NodumpFlag) {
  write_file(path("f"), "x");
  int fd = open(path("f").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  int attr = FS_NODUMP_FL;
  int r = ioctl(fd, FS_IOC_SETFLAGS, &attr);
  close(fd);
  if (r != 0)
    GTEST_SKIP() << "file system keeps no attributes: " << strerror(errno);
  port_stat st;
  ASSERT_EQ(0, port_lstat(path("f").c_str(), &st));
  EXPECT_EQ(UF_NODUMP, st.st_flags);
}

// Every entry once, then the end; errno is left as it was.
TEST_F(PortTest, ReaddirContract) {
  write_file(path("a"), "");
  write_file(path("b"), "");
  port_dir *d = port_opendir(dir_.c_str());
  ASSERT_NE(nullptr, d);
  std::set<std::string> names;
  for (;;) {
    errno = 1234;
    struct dirent *e = nullptr;
    ASSERT_EQ(0, port_readdir(d, &e));
    EXPECT_EQ(1234, errno);
    if (e == nullptr)
      break;
    names.insert(e->d_name);
  }
  EXPECT_EQ(0, port_closedir(d));
  EXPECT_EQ((std::set<std::string>{".", "..", "a", "b"}), names);
}

// A directory larger than one reading, each entry once with its type; a
// link to a directory is followed by port_opendir only; a file is no
// directory, and a read that fails says why and leaves errno alone.
TEST_F(PortTest, ReaddirLargeDirectory) {
  ASSERT_EQ(0, mkdir(path("big").c_str(), 0755));
  std::set<std::string> want = {".", ".."};
  for (int i = 0; i < 3000; i++) {
    std::string n = "entry-with-a-longish-name-" + std::to_string(i);
    write_file(path("big/" + n), "");
    want.insert(n);
  }
  ASSERT_EQ(0, symlink("big", path("link").c_str()));
  port_dir *d = port_opendir(path("link").c_str());
  ASSERT_NE(nullptr, d);
  std::set<std::string> names;
  struct dirent *e;
  while (port_readdir(d, &e) == 0 && e != nullptr) {
    EXPECT_TRUE(names.insert(e->d_name).second) << e->d_name;
    if (e->d_name[0] != '.') {
      EXPECT_EQ(DT_REG, e->d_type) << e->d_name;
    }
  }
  EXPECT_EQ(want, names);
  EXPECT_EQ(0, port_closedir(d));

  int top = open(dir_.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(top, 0);
  errno = 0;
  EXPECT_EQ(nullptr, port_opendirat(top, "link"));
  EXPECT_EQ(ENOTDIR, errno);
  d = port_opendirat(top, "big");
  ASSERT_NE(nullptr, d);
  EXPECT_EQ(0, port_closedir(d));
  write_file(path("f"), "");
  EXPECT_EQ(nullptr, port_opendirat(top, "f"));
  EXPECT_EQ(ENOTDIR, errno);
  close(top);

  // A descriptor closed under the reading.
  d = port_opendir(path("big").c_str());
  ASSERT_NE(nullptr, d);
  ASSERT_EQ(0, close(port_dirfd(d)));
  errno = 1234;
  e = nullptr;
  EXPECT_EQ(EBADF, port_readdir(d, &e));
  EXPECT_EQ(nullptr, e);
  EXPECT_EQ(1234, errno);
  EXPECT_EQ(-1, port_closedir(d));
}

TEST_F(PortTest, OpenObjectChecksIdentity) {
  write_file(path("f"), "abc");
  port_stat st;
  ASSERT_EQ(0, port_lstat(path("f").c_str(), &st));
  int fd = port_open_object(path("f").c_str(), &st);
  ASSERT_GE(fd, 0);
  uint8_t d[SHA1_LEN], want[SHA1_LEN];
  ASSERT_NE(nullptr, sha_fd(fd, d));
  EXPECT_EQ(0, memcmp(d, sha_buf("abc", 3, want), SHA1_LEN));
  EXPECT_NE(-1, fcntl(fd, F_GETFD));
  EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
  close(fd);

  // The same name, another object.
  ASSERT_EQ(0, unlink(path("f").c_str()));
  ASSERT_EQ(0, mkdir(path("f").c_str(), 0700));
  errno = 0;
  EXPECT_EQ(-1, port_open_object(path("f").c_str(), &st));
  EXPECT_EQ(ESTALE, errno);
}

// Every name once with its length, dots included, then the end. The
// descriptor is closed in every case, and the visitor's result stops the
// reading.
TEST_F(PortTest, DirNames) {
  write_file(path("a"), "");
  write_file(path("bb"), "");
  auto add = [](const char *name, size_t len, void *arg) {
    static_cast<std::multiset<std::string> *>(arg)->insert(std::string(name,
                                                                       len));
    return 0;
  };
  std::multiset<std::string> names;
  int fd = open(dir_.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_EQ(0, port_dir_names(fd, add, &names));
  EXPECT_EQ((std::multiset<std::string>{".", "..", "a", "bb"}), names);
  EXPECT_EQ(-1, fcntl(fd, F_GETFD));

  int calls = 0;
  auto stop = [](const char *, size_t, void *arg) {
    ++*static_cast<int *>(arg);
    return 7;
  };
  fd = open(dir_.c_str(), O_RDONLY | O_DIRECTORY);
  EXPECT_EQ(7, port_dir_names(fd, stop, &calls));
  EXPECT_EQ(1, calls);
  EXPECT_EQ(-1, fcntl(fd, F_GETFD));

  fd = open(path("a").c_str(), O_RDONLY);
  errno = 0;
  EXPECT_EQ(-1, port_dir_names(fd, add, &names));
  EXPECT_EQ(ENOTDIR, errno);
  EXPECT_EQ(-1, fcntl(fd, F_GETFD));
}

// A guard that closes on the way out keeps the errno being reported, even
// when closing fails itself (here because the descriptor is gone).
TEST_F(PortTest, GuardsKeepErrno) {
  for (bool gone : {false, true}) {
    int p[2];
    ASSERT_EQ(0, pipe(p));
    ASSERT_EQ(0, close(p[1]));
    port_dir *d = port_opendir(dir_.c_str());
    ASSERT_NE(nullptr, d);
    if (gone) {
      ASSERT_EQ(0, close(p[0]));
      ASSERT_EQ(0, close(port_dirfd(d)));
    }
    {
      fd_guard f(p[0]);
      dir_guard g(d);
      errno = ENOSPC;
    }
    EXPECT_EQ(ENOSPC, errno) << gone;
    EXPECT_EQ(-1, fcntl(p[0], F_GETFD)) << gone;
  }
}
