// testutil.cc: helpers shared by the tests.
#include "testutil/testutil.h"

#include <fcntl.h>
#include <ftw.h>
#include <grp.h>
#include <linux/capability.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

void
TmpDirTest::SetUp()
{
  std::string tmpl = testing::TempDir() + "kavtest.XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  ASSERT_NE(nullptr, mkdtemp(buf.data())) << strerror(errno);
  // Its path with every link resolved, as a walk and the package
  // manager's records name what is under it.
  char real[PATH_MAX];
  ASSERT_NE(nullptr, realpath(buf.data(), real)) << strerror(errno);
  dir_ = real;
}

void
TmpDirTest::TearDown()
{
  if (!dir_.empty())
    remove_tree(dir_);
}

namespace {

int
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

}  // namespace

void
remove_tree(const std::string &name)
{
  // Make unreadable directories readable first so their contents go too.
  nftw(
      name.c_str(),
      [](const char *p, const struct stat *st, int flag, struct FTW *) {
        if (flag == FTW_DNR || (flag == FTW_D && (st->st_mode & 0700) != 0700))
          chmod(p, 0700);
        return 0;
      },
      16, FTW_PHYS);
  nftw(name.c_str(), remove_one, 16, FTW_PHYS | FTW_DEPTH);
}

std::string
hex_bytes(const uint8_t *d, size_t n)
{
  static const char digits[] = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; i++) {
    s += digits[d[i] >> 4];
    s += digits[d[i] & 15];
  }
  return s;
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

namespace {

// The test's environment with TZ=UTC, so that printed times do not depend
// on the machine's zone, and the settings a test adds.
std::vector<std::string>
child_environment(const std::vector<std::string> &extra)
{
  std::vector<std::string> set = extra;
  set.push_back("TZ=UTC");
  auto overridden = [&set](const char *e) {
    for (const auto &s : set)
      if (strncmp(e, s.c_str(), s.find('=') + 1) == 0)
        return true;
    return false;
  };
  std::vector<std::string> env;
  for (char **e = environ; *e != nullptr; e++)
    if (!overridden(*e))
      env.push_back(*e);
  env.insert(env.end(), set.begin(), set.end());
  return env;
}

// In the child: streams, directory, user and limits as o asks. Only calls
// that are safe after fork(), since the test may have other threads.
void
enter_child(int in, int out, int err, const std::string &cwd,
            const prog_opts &o)
{
  if (dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0)
    _exit(125);
  if (!o.out_file.empty()) {
    int fd = open(o.out_file.c_str(), O_WRONLY);
    if (fd < 0 || dup2(fd, 1) < 0)
      _exit(125);
    close(fd);
  }
  if (chdir(cwd.c_str()) != 0)
    _exit(126);
  if (o.umask >= 0)
    umask(mode_t(o.umask));
  if (o.uid != 0 &&
      (setgroups(0, nullptr) != 0 || setgid(o.gid) != 0 || setuid(o.uid) != 0))
    _exit(125);
  // Out of the bounding set, the capabilities are not granted again when
  // the superuser executes the program.
  if (o.bound_by_permissions && geteuid() == 0 &&
      (prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0) != 0 ||
       prctl(PR_CAPBSET_DROP, CAP_DAC_READ_SEARCH, 0, 0, 0) != 0))
    _exit(124);
  if (o.fsize != RLIM_INFINITY) {
    // An ignored signal stays ignored across exec: a write past the limit
    // then fails with EFBIG instead of killing the program.
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit rl = {o.fsize, o.fsize};
    if (setrlimit(RLIMIT_FSIZE, &rl) != 0)
      _exit(125);
  }
  if (o.as != RLIM_INFINITY) {
    struct rlimit rl = {o.as, o.as};
    if (setrlimit(RLIMIT_AS, &rl) != 0)
      _exit(125);
  }
}

// Milliseconds from now until start plus seconds.
long
ms_left(const struct timespec &start, int seconds)
{
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (start.tv_sec + seconds - now.tv_sec) * 1000 +
         (start.tv_nsec - now.tv_nsec) / 1000000;
}

// Reads both pipes until the child closes them, calling o.watch on the way,
// then reaps it. Both pipes are drained together so that neither can fill
// up and stop the child. False when the child outlived the deadline and
// was killed.
bool
collect(pid_t pid, int out, int err, const prog_opts &o, prog_result *r)
{
  struct timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  struct pollfd fds[2] = {{out, POLLIN, 0}, {err, POLLIN, 0}};
  std::string *dst[2] = {&r->out, &r->err};
  bool watching = bool(o.watch);
  bool in_time = true;
  int st = 0;
  for (;;) {
    long left = ms_left(start, o.timeout);
    if (left <= 0) {
      in_time = false;
      kill(pid, SIGKILL);
      waitpid(pid, &st, 0);
      break;
    }
    if (watching)
      watching = !o.watch(pid);
    if (fds[0].fd < 0 && fds[1].fd < 0) {
      // Both streams closed: the child is ending, or has closed them and
      // runs on, which the deadline still covers.
      pid_t w = waitpid(pid, &st, WNOHANG);
      if (w == pid || (w < 0 && errno != EINTR))
        break;
      usleep(1000);
      continue;
    }
    int n = poll(fds, 2, int(watching && left > 5 ? 5 : left));
    for (int i = 0; i < 2 && n > 0; i++) {
      if (fds[i].fd < 0 || fds[i].revents == 0)
        continue;
      char buf[65536];
      ssize_t got = read(fds[i].fd, buf, sizeof buf);
      if (got > 0) {
        dst[i]->append(buf, size_t(got));
      } else if (got == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
      }
    }
  }
  for (auto &f : fds)
    if (f.fd >= 0)
      close(f.fd);
  r->status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  return in_time;
}

// Forks a child that enters the state o asks for, with TZ=UTC and o.env,
// and runs body. Output comes back through pipes: a file would be subject
// to RLIMIT_FSIZE itself. what names the child in a failure.
prog_result
run_forked(const std::function<void()> &body, const std::string &what,
           const std::string &cwd, const prog_opts &o)
{
  prog_result r{-1, "", ""};
  std::vector<std::string> env = child_environment(o.env);
  std::vector<char *> envp;
  for (auto &e : env)
    envp.push_back(&e[0]);
  envp.push_back(nullptr);
  int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
  int out[2] = {-1, -1}, err[2] = {-1, -1};
  if (in < 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    ADD_FAILURE() << what << ": cannot set up: " << strerror(errno);
    for (int fd : {in, out[0], out[1], err[0], err[1]})
      if (fd >= 0)
        close(fd);
    return r;
  }
  fflush(nullptr);  // or the child would write the test's pending output too
  pid_t pid = fork();
  if (pid == 0) {
    enter_child(in, out[1], err[1], cwd, o);
    environ = envp.data();
    body();
    fflush(nullptr);
    _exit(0);
  }
  close(in);
  close(out[1]);
  close(err[1]);
  if (pid < 0) {
    ADD_FAILURE() << what << ": fork(): " << strerror(errno);
    close(out[0]);
    close(err[0]);
    return r;
  }
  if (!collect(pid, out[0], err[0], o, &r))
    ADD_FAILURE() << what << " was killed after " << o.timeout << " s";
  return r;
}

}  // namespace

prog_result
run_prog(const std::vector<std::string> &argv, const std::string &cwd,
         const prog_opts &o)
{
  std::vector<char *> args;
  for (const auto &a : argv)
    args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  return run_forked(
      [&] {
        execv(args[0], args.data());
        _exit(127);
      },
      argv.empty() ? "" : argv[0], cwd, o);
}

prog_result
run_child(const std::function<void()> &fn, const std::string &cwd,
          const prog_opts &o)
{
  return run_forked(fn, "child process", cwd, o);
}

void
expect_full_stdout(const std::vector<std::string> &argv, const std::string &cwd,
                   bool fails)
{
  prog_opts o;
  o.out_file = "/dev/full";
  prog_result r = run_prog(argv, cwd, o);
  std::string joined;
  for (size_t i = 1; i < argv.size(); i++)
    joined += argv[i] + " ";
  EXPECT_EQ(fails ? 1 : 0, r.status) << joined;
  EXPECT_EQ(fails ? std::string("stdout: ") + strerror(ENOSPC) + "\n" : "",
            r.err)
      << joined;
}
