// proc.cc: children started with posix_spawn, which runs the child in the
// parent's memory until it executes the program: the explain engine is a
// large process, and fork() would copy its page tables for every gpgv.
#include "proc/proc.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "port/port.h"

namespace {

constexpr size_t CHUNK = 65536;        // bytes moved per read or write
constexpr int64_t REAP_STEP_MAX = 20;  // ms between looks at a child

std::string
sys_text(const std::string &name, const std::string &call, int e)
{
  return name + ": " + call + ": " + strerror(e);
}

// Descriptors the parent holds while it starts a child: each is closed on
// return unless kept (the parent's ends of the pipes, once it runs).
class fd_pool {
 public:
  fd_pool() = default;
  fd_pool(const fd_pool &) = delete;
  fd_pool &operator=(const fd_pool &) = delete;
  ~fd_pool()
  {
    int e = errno;
    for (size_t i = 0; i < n_; i++)
      if (fds_[i] >= 0)
        close(fds_[i]);
    errno = e;
  }
  int add(int fd)
  {
    fds_[n_++] = fd;
    return fd;
  }
  int keep(int fd)
  {
    for (size_t i = 0; i < n_; i++)
      if (fds_[i] == fd)
        fds_[i] = -1;
    return fd;
  }

 private:
  int fds_[8];  // at most two per stream
  size_t n_ = 0;
};

// A descriptor the child gets is moved above 2 in the parent, so that
// setting up one of the child's 0, 1 and 2 cannot overwrite the source of
// another (the parent may have closed its own standard streams).
int
lift(int fd)
{
  if (fd < 0 || fd > 2)
    return fd;
  int high = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  int e = errno;
  close(fd);
  errno = e;
  return high;
}

// Holds SIGPIPE off this thread while a child's input is written: a child
// that stops reading ends the write with EPIPE instead of this process.
class sigpipe_hold {
 public:
  sigpipe_hold()
  {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
  }
  sigpipe_hold(const sigpipe_hold &) = delete;
  sigpipe_hold &operator=(const sigpipe_hold &) = delete;
  // The SIGPIPE a broken write left pending is taken, unless the thread
  // held it off already and it may be someone else's.
  ~sigpipe_hold()
  {
    int e = errno;
    if (broke_ && !sigismember(&old_, SIGPIPE)) {
      const timespec zero = {0, 0};
      while (sigtimedwait(&pipe_, nullptr, &zero) < 0 && errno == EINTR) {
      }
    }
    pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    errno = e;
  }
  void broke() { broke_ = true; }

 private:
  sigset_t pipe_, old_;
  bool broke_ = false;
};

void
close_fd(int *fd)
{
  if (*fd >= 0)
    close(*fd);
  *fd = -1;
}

// Milliseconds until the deadline for poll(): -1 without one, 0 once
// past it.
int
poll_wait(int64_t deadline)
{
  if (deadline == PROC_NO_DEADLINE)
    return -1;
  int64_t left = deadline - proc_now_ms();
  if (left <= 0)
    return 0;
  return left > INT32_MAX ? INT32_MAX : int(left);
}

// One write of the input, as much as the pipe takes.
void
feed(proc_child *c, sigpipe_hold *hold)
{
  size_t n = c->pc_in_left < CHUNK ? c->pc_in_left : CHUNK;
  ssize_t w = write(c->pc_in, c->pc_in_data, n);
  if (w > 0) {
    c->pc_in_data += w;
    c->pc_in_left -= size_t(w);
  } else if (w < 0 && errno != EINTR && errno != EAGAIN) {
    // The child closed its input (EPIPE): what it has not read is not
    // wanted.
    if (errno == EPIPE)
      hold->broke();
    c->pc_in_left = 0;
  }
  if (c->pc_in_left == 0)
    close_fd(&c->pc_in);
}

// One read of a collected stream into *dst, up to cap bytes kept.
bool
drain(int *fd, size_t cap, std::string *dst, bool *cut)
{
  char buf[CHUNK];
  ssize_t n = read(*fd, buf, sizeof buf);
  if (n < 0 && (errno == EINTR || errno == EAGAIN))
    return true;
  if (n <= 0) {
    int e = errno;
    close_fd(fd);
    errno = e;
    return n == 0;
  }
  size_t room = cap - dst->size();
  if (size_t(n) > room)
    *cut = true;
  dst->append(buf, size_t(n) < room ? size_t(n) : room);
  return true;
}

// Writes the input and reads the collected streams together, so that
// neither side waits on the other, until all are closed or the deadline
// passes (*late).
bool
pump(proc_child *c, proc_result *r, bool *late, std::string *err)
{
  sigpipe_hold hold;
  std::string *dst[2] = {&r->pr_out, &r->pr_err};
  bool *cut[2] = {&r->pr_out_cut, &r->pr_err_cut};
  for (;;) {
    if (c->pc_in >= 0 && c->pc_in_left == 0)
      close_fd(&c->pc_in);
    pollfd p[3];
    nfds_t n = 0;
    if (c->pc_in >= 0)
      p[n++] = {c->pc_in, POLLOUT, 0};
    for (int fd : c->pc_keep)
      if (fd >= 0)
        p[n++] = {fd, POLLIN, 0};
    if (n == 0)
      return true;
    int wait = poll_wait(c->pc_deadline);
    if (wait == 0) {
      *late = true;
      return true;
    }
    int k = poll(p, n, wait);
    if (k < 0 && errno == EINTR)
      continue;
    if (k < 0) {
      *err = sys_text(c->pc_name, "poll", errno);
      return false;
    }
    for (nfds_t i = 0; i < n; i++) {
      if (p[i].revents == 0)
        continue;
      if (p[i].fd == c->pc_in) {
        feed(c, &hold);
        continue;
      }
      int j = p[i].fd == c->pc_keep[0] ? 0 : 1;
      if (!drain(&c->pc_keep[j], c->pc_cap[j], dst[j], cut[j])) {
        *err = sys_text(c->pc_name, "read", errno);
        return false;
      }
    }
  }
}

// Reaps the child: at once when it has no deadline, else looking every
// few milliseconds until it passes (*late, and the child runs on).
bool
reap(proc_child *c, bool wait_only, int *status, bool *late, std::string *err)
{
  int64_t step = 1;
  for (;;) {
    bool block = wait_only || c->pc_deadline == PROC_NO_DEADLINE;
    pid_t w = waitpid(c->pc_pid, status, block ? 0 : WNOHANG);
    if (w == c->pc_pid)
      return true;
    if (w < 0 && errno == EINTR)
      continue;
    if (w < 0) {
      *err = sys_text(c->pc_name, "waitpid", errno);
      return false;
    }
    int64_t left = c->pc_deadline - proc_now_ms();
    if (left <= 0) {
      *late = true;
      return true;
    }
    int64_t ms = left < step ? left : step;
    const timespec nap = {time_t(ms / 1000), long(ms % 1000 * 1000000)};
    nanosleep(&nap, nullptr);
    step = step * 2 < REAP_STEP_MAX ? step * 2 : REAP_STEP_MAX;
  }
}

}  // namespace

int64_t
proc_now_ms()
{
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return int64_t(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

bool
proc_start(const proc_cmd &cmd, proc_child *c, std::string *err)
{
  c->pc_pid = -1;
  c->pc_out = c->pc_err = -1;
  c->pc_cannot_run = false;
  c->pc_name =
      cmd.cm_argv != nullptr && cmd.cm_argv[0] != nullptr ? cmd.cm_argv[0] : "";
  c->pc_group = cmd.cm_own_group;
  c->pc_deadline = cmd.cm_deadline;
  c->pc_in = -1;
  c->pc_in_data = nullptr;
  c->pc_in_left = 0;
  c->pc_keep[0] = c->pc_keep[1] = -1;
  c->pc_cap[0] = c->pc_cap[1] = 0;
  if (c->pc_name.empty()) {
    *err = "proc_start: no program named";
    errno = EINVAL;
    return false;
  }

  // theirs[i] becomes the child's descriptor i; ours[i] is the parent's
  // end of a pipe to it.
  fd_pool pool;
  int theirs[3], ours[3] = {-1, -1, -1};
  int devnull = -1;
  const proc_out *outs[2] = {&cmd.cm_out, &cmd.cm_err};
  for (int i = 0; i < 3; i++) {
    bool null = i == 0 ? cmd.cm_in.pi_kind == PROC_IN_NULL
                       : outs[i - 1]->po_kind == PROC_OUT_NULL;
    int fd = i == 0 ? cmd.cm_in.pi_fd : outs[i - 1]->po_fd;
    bool given = i == 0 ? cmd.cm_in.pi_kind == PROC_IN_FD
                        : outs[i - 1]->po_kind == PROC_OUT_FD;
    if (null) {
      if (devnull < 0)
        devnull = pool.add(lift(open("/dev/null", O_RDWR | O_CLOEXEC)));
      if (devnull < 0) {
        *err = sys_text(c->pc_name, "/dev/null", errno);
        return false;
      }
      theirs[i] = devnull;
    } else if (given) {
      // A duplicate checks the descriptor, and lifts it above 2.
      theirs[i] = pool.add(fcntl(fd, F_DUPFD_CLOEXEC, 3));
      if (theirs[i] < 0) {
        *err = sys_text(c->pc_name, "descriptor " + std::to_string(fd), errno);
        return false;
      }
    } else {
      int p[2];
      if (pipe2(p, O_CLOEXEC) != 0) {
        *err = sys_text(c->pc_name, "pipe2", errno);
        return false;
      }
      ours[i] = pool.add(i == 0 ? p[1] : p[0]);
      theirs[i] = pool.add(lift(i == 0 ? p[0] : p[1]));
      if (theirs[i] < 0) {
        *err = sys_text(c->pc_name, "fcntl", errno);
        return false;
      }
      // Only the parent's end waits for room: the child reads as usual.
      if (i == 0 && fcntl(ours[0], F_SETFL, O_NONBLOCK) != 0) {
        *err = sys_text(c->pc_name, "fcntl", errno);
        return false;
      }
    }
  }

  posix_spawn_file_actions_t fa;
  posix_spawnattr_t attr;
  int r = posix_spawn_file_actions_init(&fa);
  if (r != 0) {
    *err = sys_text(c->pc_name, "posix_spawn_file_actions_init", r);
    errno = r;
    return false;
  }
  r = posix_spawnattr_init(&attr);
  if (r != 0) {
    posix_spawn_file_actions_destroy(&fa);
    *err = sys_text(c->pc_name, "posix_spawnattr_init", r);
    errno = r;
    return false;
  }
  for (int i = 0; i < 3 && r == 0; i++)
    r = posix_spawn_file_actions_adddup2(&fa, theirs[i], i);
  if (r == 0)
    r = port_spawn_closefrom(&fa, 3);
  if (r == 0 && cmd.cm_own_group) {
    r = posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    if (r == 0)
      r = posix_spawnattr_setpgroup(&attr, 0);
  }
  const char *call = "posix_spawn_file_actions";
  pid_t pid = -1;
  if (r == 0) {
    call = "posix_spawnp";
    r = posix_spawnp(&pid, cmd.cm_argv[0], &fa, &attr,
                     const_cast<char *const *>(cmd.cm_argv), environ);
    // The child is made before the program is looked for, so any other
    // error is the program's: not found, not executable, not a program.
    c->pc_cannot_run = r != 0 && r != EAGAIN && r != ENOMEM;
  }
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&fa);
  if (r != 0) {
    *err = sys_text(c->pc_name, call, r);
    errno = r;
    return false;
  }

  c->pc_pid = pid;
  if (ours[0] >= 0) {
    c->pc_in = pool.keep(ours[0]);
    c->pc_in_data = cmd.cm_in.pi_data;
    c->pc_in_left = cmd.cm_in.pi_len;
  }
  for (int j = 0; j < 2; j++) {
    if (ours[j + 1] < 0)
      continue;
    pool.keep(ours[j + 1]);
    if (outs[j]->po_kind == PROC_OUT_PIPE) {
      (j == 0 ? c->pc_out : c->pc_err) = ours[j + 1];
    } else {
      c->pc_keep[j] = ours[j + 1];
      c->pc_cap[j] = outs[j]->po_cap;
    }
  }
  return true;
}

bool
proc_wait(proc_child *c, proc_result *r, std::string *err)
{
  r->pr_end = PROC_EXITED;
  r->pr_code = 0;
  r->pr_out.clear();
  r->pr_err.clear();
  r->pr_out_cut = r->pr_err_cut = false;
  if (c->pc_pid <= 0) {
    *err = c->pc_name + ": no child to wait for";
    errno = ECHILD;
    return false;
  }
  close_fd(&c->pc_out);
  close_fd(&c->pc_err);
  bool late = false;
  bool ok = true;
  if (c->pc_in >= 0 || c->pc_keep[0] >= 0 || c->pc_keep[1] >= 0)
    ok = pump(c, r, &late, err);
  int status = 0;
  if (ok && !late)
    ok = reap(c, false, &status, &late, err);
  if (!ok || late) {
    proc_kill(c);
    std::string why;
    bool unused;
    if (!reap(c, true, &status, &unused, &why)) {
      if (ok)
        *err = why;
      ok = false;
    }
  }
  close_fd(&c->pc_in);
  close_fd(&c->pc_keep[0]);
  close_fd(&c->pc_keep[1]);
  c->pc_pid = -1;
  if (!ok)
    return false;
  if (late)
    r->pr_end = PROC_TIMED_OUT;
  else if (WIFSIGNALED(status))
    r->pr_end = PROC_SIGNALED;
  r->pr_code = WIFSIGNALED(status) ? WTERMSIG(status) : WEXITSTATUS(status);
  return true;
}

void
proc_kill(proc_child *c)
{
  if (c->pc_pid <= 0)
    return;
  if (c->pc_group)
    kill(-c->pc_pid, SIGKILL);
  kill(c->pc_pid, SIGKILL);
}

bool
proc_run(const proc_cmd &cmd, proc_result *r, std::string *err)
{
  if (cmd.cm_out.po_kind == PROC_OUT_PIPE ||
      cmd.cm_err.po_kind == PROC_OUT_PIPE) {
    *err = std::string(cmd.cm_argv != nullptr && cmd.cm_argv[0] != nullptr
                           ? cmd.cm_argv[0]
                           : "") +
           ": a pipe the caller reads needs proc_start";
    errno = EINVAL;
    return false;
  }
  proc_child c;
  if (!proc_start(cmd, &c, err))
    return false;
  return proc_wait(&c, r, err);
}
