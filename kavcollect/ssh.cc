// ssh.cc: one ssh(1) session per request, its output read under the
// host's deadline. Nothing of our own goes over the wire but the request.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "kavcollect/collect.h"

namespace {

constexpr size_t ERRTEXT_MAX = 1024;
constexpr int CONNECT_TIMEOUT_MAX = 30;

// The last words of ssh's stderr, one line: what a report can show.
std::string
err_summary(const std::string &text)
{
  std::string s = text;
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r'))
    s.pop_back();
  size_t nl = s.rfind('\n');
  if (nl != std::string::npos)
    s.erase(0, nl + 1);
  for (char &c : s)
    if (c < 0x20 || c == 0x7f)
      c = '?';
  return s;
}

void
close_fd(int *fd)
{
  if (*fd >= 0)
    close(*fd);
  *fd = -1;
}

}  // namespace

bool
ssh_start(ssh_session *s, const collect_opts *o, const char *host,
          const std::string &ctl, const char *request, time_t deadline,
          std::string *why)
{
  s->ss_pid = -1;
  s->ss_out = s->ss_err = -1;
  s->ss_deadline = deadline;
  s->ss_errtext.clear();
  long left = long(deadline - time(nullptr));
  if (left < 1)
    left = 1;
  std::string timeout =
      "ConnectTimeout=" +
      std::to_string(left < CONNECT_TIMEOUT_MAX ? left : CONNECT_TIMEOUT_MAX);
  // BatchMode: no password or host key prompt can hang the run; an
  // unknown host key fails the session. -n: nothing is read from stdin.
  // One handshake per host: the first session leaves its connection
  // open for the next (ControlPersist, ended by ssh_close or when idle).
  std::string path = "ControlPath=" + ctl;
  std::vector<const char *> argv = {
      "ssh", "-n", "-T", "-o", "BatchMode=yes", "-o", timeout.c_str(), "-o",
      "ControlMaster=auto", "-o", path.c_str(), "-o", "ControlPersist=60"};
  if (o->co_ssh_config != nullptr) {
    argv.push_back("-F");
    argv.push_back(o->co_ssh_config);
  }
  argv.insert(argv.end(), {"--", host, request, nullptr});
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0) {
    *why = std::string("pipe: ") + strerror(errno);
    return false;
  }
  if (pipe2(err, O_CLOEXEC) != 0) {
    *why = std::string("pipe: ") + strerror(errno);
    close(out[0]);
    close(out[1]);
    return false;
  }
  pid_t pid = fork();
  if (pid == 0) {
    // Its own process group, so that a kill at the deadline reaches a
    // ProxyCommand too.
    setpgid(0, 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    execvp("ssh", const_cast<char *const *>(argv.data()));
    _exit(127);
  }
  int e = errno;
  close(out[1]);
  close(err[1]);
  if (pid < 0) {
    close(out[0]);
    close(err[0]);
    *why = std::string("fork: ") + strerror(e);
    return false;
  }
  s->ss_pid = pid;
  s->ss_out = out[0];
  s->ss_err = err[0];
  return true;
}

ssize_t
ssh_read(ssh_session *s, void *buf, size_t n)
{
  for (;;) {
    time_t now = time(nullptr);
    if (now >= s->ss_deadline) {
      errno = ETIMEDOUT;
      return -1;
    }
    pollfd p[2] = {{s->ss_out, POLLIN, 0}, {s->ss_err, POLLIN, 0}};
    int r = poll(p, s->ss_err >= 0 ? 2 : 1,
                 int(s->ss_deadline - now) * 1000);
    if (r < 0 && errno == EINTR)
      continue;
    if (r < 0)
      return -1;
    if (s->ss_err >= 0 && p[1].revents != 0) {
      char tmp[512];
      ssize_t m = read(s->ss_err, tmp, sizeof tmp);
      if (m <= 0)
        close_fd(&s->ss_err);
      else if (s->ss_errtext.size() < ERRTEXT_MAX)
        s->ss_errtext.append(tmp, size_t(m));
    }
    if (p[0].revents != 0) {
      ssize_t m = read(s->ss_out, buf, n);
      if (m < 0 && errno == EINTR)
        continue;
      return m;
    }
  }
}

bool
ssh_finish(ssh_session *s, bool abandon, std::string *why)
{
  close_fd(&s->ss_out);
  // What ssh said last comes before its exit, unless the deadline passed.
  char tmp[512];
  while (!abandon && s->ss_err >= 0 && time(nullptr) < s->ss_deadline) {
    pollfd p = {s->ss_err, POLLIN, 0};
    if (poll(&p, 1, int(s->ss_deadline - time(nullptr)) * 1000) <= 0)
      break;
    ssize_t m = read(s->ss_err, tmp, sizeof tmp);
    if (m <= 0)
      break;
    if (s->ss_errtext.size() < ERRTEXT_MAX)
      s->ss_errtext.append(tmp, size_t(m));
  }
  close_fd(&s->ss_err);
  int status = -1;
  bool late = false;
  if (s->ss_pid > 0) {
    // Once both its streams are closed ssh exits at once; one that does
    // not by the deadline, or that is abandoned, is killed.
    pid_t r;
    while ((r = waitpid(s->ss_pid, &status, WNOHANG)) == 0 && !abandon) {
      if (time(nullptr) >= s->ss_deadline) {
        late = true;
        break;
      }
      usleep(10000);
    }
    if (r == 0) {
      kill(-s->ss_pid, SIGKILL);
      kill(s->ss_pid, SIGKILL);
      while ((r = waitpid(s->ss_pid, &status, 0)) < 0 && errno == EINTR) {
      }
      status = -1;
    }
  }
  s->ss_pid = -1;
  if (status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0)
    return true;
  std::string said = err_summary(s->ss_errtext);
  if (late || time(nullptr) >= s->ss_deadline)
    *why = "no answer within the time limit";
  else if (status == -1)
    *why = "ssh was stopped";
  else if (WIFEXITED(status) && WEXITSTATUS(status) == 127)
    *why = "cannot run ssh";
  else if (WIFEXITED(status))
    *why = "ssh exited " + std::to_string(WEXITSTATUS(status));
  else
    *why = "ssh was killed";
  if (!said.empty())
    *why += ": " + said;
  return false;
}

void
ssh_close(const collect_opts *o, const char *host, const std::string &ctl)
{
  if (access(ctl.c_str(), F_OK) != 0)
    return;
  std::string path = "ControlPath=" + ctl;
  std::vector<const char *> argv = {"ssh", "-o", path.c_str(), "-O", "exit"};
  if (o->co_ssh_config != nullptr) {
    argv.push_back("-F");
    argv.push_back(o->co_ssh_config);
  }
  argv.insert(argv.end(), {"--", host, nullptr});
  pid_t pid = fork();
  if (pid == 0) {
    int devnull = open("/dev/null", O_RDWR);
    dup2(devnull, 0);
    dup2(devnull, 1);
    dup2(devnull, 2);
    execvp("ssh", const_cast<char *const *>(argv.data()));
    _exit(127);
  }
  int status;
  while (pid > 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}
