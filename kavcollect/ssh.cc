// ssh.cc: one ssh(1) session per request, its output read under the
// host's deadline. Nothing of our own goes over the wire but the request.
#include <poll.h>
#include <unistd.h>

#include <cerrno>
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
          std::string *err)
{
  s->ss_out = s->ss_err = -1;
  s->ss_code = -1;
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
  std::vector<const char *> argv = {"ssh",
                                    "-n",
                                    "-T",
                                    "-o",
                                    "BatchMode=yes",
                                    "-o",
                                    timeout.c_str(),
                                    "-o",
                                    "ControlMaster=auto",
                                    "-o",
                                    path.c_str(),
                                    "-o",
                                    "ControlPersist=60"};
  if (o->co_ssh_config != nullptr) {
    argv.push_back("-F");
    argv.push_back(o->co_ssh_config);
  }
  argv.insert(argv.end(), {"--", host, request, nullptr});
  proc_cmd cmd = {};
  cmd.cm_argv = argv.data();
  cmd.cm_out = {PROC_OUT_PIPE, -1, 0};
  cmd.cm_err = {PROC_OUT_PIPE, -1, 0};
  // Its own process group, so that a kill at the deadline reaches a
  // ProxyCommand too.
  cmd.cm_own_group = true;
  cmd.cm_deadline = proc_now_ms() + int64_t(deadline - time(nullptr)) * 1000;
  if (!proc_start(cmd, &s->ss_proc, err)) {
    if (s->ss_proc.pc_cannot_run)
      *err = "cannot run ssh";
    return false;
  }
  s->ss_out = s->ss_proc.pc_out;
  s->ss_err = s->ss_proc.pc_err;
  s->ss_proc.pc_out = s->ss_proc.pc_err = -1;
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
    int r = poll(p, s->ss_err >= 0 ? 2 : 1, int(s->ss_deadline - now) * 1000);
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
ssh_finish(ssh_session *s, bool abandon, std::string *err)
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
  // Once both its streams are closed ssh exits at once; one that does not
  // by the deadline is killed, and one abandoned is killed now.
  proc_result r;
  bool waited = false;
  if (s->ss_proc.pc_pid > 0) {
    if (abandon)
      proc_kill(&s->ss_proc);
    std::string unused;  // what ssh said is the message
    waited = proc_wait(&s->ss_proc, &r, &unused);
  }
  if (waited && r.pr_end == PROC_EXITED)
    s->ss_code = r.pr_code;
  if (waited && r.pr_end == PROC_EXITED && r.pr_code == 0)
    return true;
  std::string said = err_summary(s->ss_errtext);
  if ((waited && r.pr_end == PROC_TIMED_OUT) || time(nullptr) >= s->ss_deadline)
    *err = "no answer within the time limit";
  else if (!waited || (abandon && r.pr_end == PROC_SIGNALED))
    *err = "ssh was stopped";
  else if (r.pr_end == PROC_EXITED && r.pr_code == 127)
    *err = "cannot run ssh";
  else if (r.pr_end == PROC_EXITED)
    *err = "ssh exited " + std::to_string(r.pr_code);
  else
    *err = "ssh was killed";
  if (!said.empty())
    *err += ": " + said;
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
  // Nothing to do when it fails: the connection ends once idle.
  proc_cmd cmd = {};
  cmd.cm_argv = argv.data();
  proc_result r;
  std::string unused;
  proc_run(cmd, &r, &unused);
}
