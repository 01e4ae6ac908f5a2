// spawn.h: running a built program under the limits of a fault test (file
// size, address space, umask, another user) with a deadline, so that a
// program that hangs fails the test instead of stopping it.
#pragma once
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "testutil/testutil.h"

struct spawn_opts {
  rlim_t fsize = RLIM_INFINITY;  // RLIMIT_FSIZE; SIGXFSZ is then ignored
  rlim_t as = RLIM_INFINITY;     // RLIMIT_AS
  int umask = -1;                // -1 keeps the test's own
  uid_t uid = 0;                 // with gid, run as this user when non-zero
  gid_t gid = 0;
  int timeout = 30;              // seconds; the child is then killed
};

struct spawn_result : prog_result {
  bool timed_out = false;
};

// Output comes back through pipes: a file would be subject to RLIMIT_FSIZE
// itself. Standard input is /dev/null, TZ is UTC.
inline spawn_result
spawn_prog(const std::vector<std::string> &argv, const std::string &cwd,
           const spawn_opts &o)
{
  spawn_result r;
  r.status = -1;
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0)
    return r;
  if (pipe2(err, O_CLOEXEC) != 0) {
    close(out[0]);
    close(out[1]);
    return r;
  }
  std::vector<char *> args;
  for (const auto &a : argv)
    args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    int in = open("/dev/null", O_RDONLY);
    dup2(in, 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    if (chdir(cwd.c_str()) != 0)
      _exit(126);
    setenv("TZ", "UTC", 1);
    if (o.umask >= 0)
      umask(mode_t(o.umask));
    if (o.uid != 0 && (setgroups(0, nullptr) != 0 || setgid(o.gid) != 0 ||
                       setuid(o.uid) != 0))
      _exit(125);
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
    execv(args[0], args.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  if (pid < 0) {
    close(out[0]);
    close(err[0]);
    return r;
  }
  struct timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  struct pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string *dst[2] = {&r.out, &r.err};
  int open_fds = 2;
  while (open_fds > 0) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    long left = (start.tv_sec + o.timeout - now.tv_sec) * 1000 +
                (start.tv_nsec - now.tv_nsec) / 1000000;
    if (left <= 0) {
      r.timed_out = true;
      kill(pid, SIGKILL);
      break;
    }
    int n = poll(fds, 2, int(left));
    if (n < 0 && errno != EINTR)
      break;
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
        open_fds--;
      }
    }
  }
  for (auto &f : fds)
    if (f.fd >= 0)
      close(f.fd);
  int st = 0;
  while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
  }
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  return r;
}
