// sign.cc: ssh-keygen -Y sign, find-principals and verify, run through
// proc.h with an argument vector; the file checked reaches ssh-keygen on
// its standard input through one descriptor.
#include "store/sign.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "diag/diag.h"
#include "proc/proc.h"

namespace {

constexpr size_t MESSAGE_MAX = 1 << 16;

// ssh-keygen's message without the newline that ends it.
std::string
message_of(std::string text)
{
  while (!text.empty() && text.back() == '\n')
    text.pop_back();
  return text;
}

// What ssh-keygen said on both streams, as the shell's 2>&1 showed it:
// verify puts its reason on one and its verdict on the other.
std::string
said_by(const proc_result &r)
{
  std::string err = message_of(r.pr_err), out = message_of(r.pr_out);
  if (err.empty() || out.empty())
    return err + out;
  return err + "\n" + out;
}

// How a run that did not exit 0 ended, for a message.
std::string
end_text(const std::string &keygen, const proc_result &r)
{
  if (r.pr_end == PROC_EXITED)
    return keygen + " exited " + std::to_string(r.pr_code);
  return keygen + " was killed by signal " + std::to_string(r.pr_code);
}

// Runs ssh-keygen with argv, stdin from in_fd (or /dev/null), both its
// output streams kept in *r. False, with *err, when it could not be run.
bool
run_keygen(const char *const *argv, int in_fd, proc_result *r, std::string *err)
{
  proc_cmd cmd = {};
  cmd.cm_argv = argv;
  if (in_fd >= 0)
    cmd.cm_in = {PROC_IN_FD, in_fd, nullptr, 0};
  cmd.cm_out = {PROC_OUT_COLLECT, -1, MESSAGE_MAX};
  cmd.cm_err = {PROC_OUT_COLLECT, -1, MESSAGE_MAX};
  return proc_run(cmd, r, err);
}

}  // namespace

bool
st_sign(const st_signer &s, const std::string &file, std::string *err)
{
  const char *argv[] = {
      s.sg_keygen.c_str(), "-Y",         "sign", "-f", s.sg_key.c_str(), "-n",
      ST_SIGN_NAMESPACE,   file.c_str(), nullptr};
  proc_result r;
  std::string why;
  std::string failed = "cannot sign " + file + " with " + s.sg_key;
  if (!run_keygen(argv, -1, &r, &why)) {
    *err = why + "\n" + failed;
    return false;
  }
  if (r.pr_end != PROC_EXITED || r.pr_code != 0) {
    std::string said = said_by(r);
    *err = (said.empty() ? end_text(s.sg_keygen, r) : said) + "\n" + failed;
    return false;
  }
  std::string sig = file + ".sig";
  int fd = open(sig.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0 || fsync(fd) != 0) {
    *err = diag_sys_text(sig.c_str(), fd < 0 ? "open" : "fsync");
    if (fd >= 0)
      close(fd);
    return false;
  }
  if (close(fd) != 0) {
    *err = diag_sys_text(sig.c_str(), "close");
    return false;
  }
  return true;
}

st_check
st_verify(const st_signer &s, const std::string &file, const std::string &sig,
          std::string *err)
{
  std::string sigfile = sig.empty() ? file + ".sig" : sig;
  struct stat st;
  if (lstat(sigfile.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
    return ST_SIG_MISSING;
  const char *keygen = s.sg_keygen.c_str();
  proc_result r;
  std::string principal = s.sg_principal;
  if (principal.empty()) {
    const char *find[] = {keygen,          "-Y", "find-principals",    "-s",
                          sigfile.c_str(), "-f", s.sg_signers.c_str(), nullptr};
    if (!run_keygen(find, -1, &r, err))
      return ST_SIG_FAILED;
    if (r.pr_end != PROC_EXITED) {
      *err = end_text(s.sg_keygen, r);
      return ST_SIG_FAILED;
    }
    principal = r.pr_out.substr(0, r.pr_out.find('\n'));
    if (r.pr_code != 0 || principal.empty()) {
      *err = message_of(r.pr_err);
      return ST_SIG_NO_SIGNER;
    }
  }
  // One descriptor: what ssh-keygen reads is what was opened, whatever
  // the name comes to hold meanwhile.
  int fd = open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    *err = file + ": " + strerror(errno);
    return ST_SIG_FAILED;
  }
  const char *verify[] = {keygen,
                          "-Y",
                          "verify",
                          "-f",
                          s.sg_signers.c_str(),
                          "-I",
                          principal.c_str(),
                          "-n",
                          ST_SIGN_NAMESPACE,
                          "-s",
                          sigfile.c_str(),
                          nullptr};
  bool ran = run_keygen(verify, fd, &r, err);
  close(fd);
  if (!ran)
    return ST_SIG_FAILED;
  if (r.pr_end != PROC_EXITED) {
    *err = end_text(s.sg_keygen, r);
    return ST_SIG_FAILED;
  }
  if (r.pr_code != 0) {
    *err = said_by(r);
    return ST_SIG_BAD;
  }
  return ST_SIG_GOOD;
}
