// testutil.cc: helpers shared by the tests.
#include "testutil/testutil.h"

#include <fcntl.h>
#include <ftw.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

void
TmpDirTest::SetUp()
{
  std::string tmpl = testing::TempDir() + "kavtest.XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  ASSERT_NE(nullptr, mkdtemp(buf.data())) << strerror(errno);
  dir_ = buf.data();
}

void
TmpDirTest::TearDown()
{
  if (!dir_.empty())
    remove_tree(dir_);
}

static int
remove_one(const char *p, const struct stat *, int flag, struct FTW *)
{
  if (flag == FTW_DP || flag == FTW_D || flag == FTW_DNR) {
    chmod(p, 0700);
    rmdir(p);
  } else {
    unlink(p);
  }
  return 0;
}

void
remove_tree(const std::string &name)
{
  // Make unreadable directories readable first so their contents go too.
  nftw(name.c_str(), [](const char *p, const struct stat *st, int flag,
                        struct FTW *) {
    if (flag == FTW_DNR || (flag == FTW_D && (st->st_mode & 0700) != 0700))
      chmod(p, 0700);
    return 0;
  }, 16, FTW_PHYS);
  nftw(name.c_str(), remove_one, 16, FTW_PHYS | FTW_DEPTH);
}

std::string
read_file(const std::string &name)
{
  std::ifstream in(name, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void
write_file(const std::string &name, const std::string &data)
{
  std::ofstream out(name, std::ios::binary | std::ios::trunc);
  out << data;
}

// Reads everything from fd until end of file.
static std::string
drain(int fd)
{
  std::string s;
  char buf[65536];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
    if (n > 0)
      s.append(buf, size_t(n));
  return s;
}

prog_result
run_prog(const std::vector<std::string> &argv, const std::string &cwd)
{
  prog_result r{-1, "", ""};
  // Output goes to temporary files, so a large output cannot dead-lock.
  char outname[] = "/tmp/kavout.XXXXXX";
  char errname[] = "/tmp/kaverr.XXXXXX";
  int out = mkstemp(outname);
  int err = mkstemp(errname);
  if (out < 0 || err < 0)
    return r;
  unlink(outname);
  unlink(errname);
  pid_t pid = fork();
  if (pid == 0) {
    int in = open("/dev/null", O_RDONLY);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    if (chdir(cwd.c_str()) != 0)
      _exit(126);
    setenv("TZ", "UTC", 1);
    std::vector<char *> args;
    for (const auto &a : argv)
      args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  int st = 0;
  while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
  }
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  lseek(out, 0, SEEK_SET);
  lseek(err, 0, SEEK_SET);
  r.out = drain(out);
  r.err = drain(err);
  close(out);
  close(err);
  return r;
}
