// accept.cc: -a, a new baseline from the one in force and the newest
// snapshot, made by kavaccept, signed, with the newest snapshot's package
// records, and then the acceptance log that names it. Until the log names
// it, the old baseline stays in force.
#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "diag/diag.h"
#include "kavnightly/job.h"
#include "proc/proc.h"
#include "store/log.h"

namespace {

// Who accepts: the login user behind sudo where there is one.
std::string
accepting_user()
{
  const char *u = getenv("SUDO_USER");
  if (u != nullptr && *u != '\0')
    return u;
  u = getlogin();
  if (u != nullptr && *u != '\0')
    return u;
  struct passwd *pw = getpwuid(geteuid());
  return pw != nullptr ? pw->pw_name : std::to_string(geteuid());
}

// A name for a new baseline: this second's, or the next free one; ""
// when the clock gives none.
std::string
baseline_name(const nt_job &j)
{
  for (;;) {
    std::string name = st_baseline_name(int64_t(time(nullptr)));
    if (name.empty() || !st_exists(j.nj_dir, name, true))
      return name;
    sleep(1);
  }
}

// kavaccept, with the options that say where the package manager's
// records are; its line for the log into *line. The program's status, or
// -1 when it could not be run.
int
run_kavaccept(const nt_job &j, const std::vector<std::string> &args,
              std::string *line, std::string *err)
{
  std::vector<std::string> v = {j.nj_kavaccept};
  if (!j.nj_set.ns_pkgroot.empty())
    v.insert(v.end(), {"-r", j.nj_set.ns_pkgroot});
  if (!j.nj_set.ns_archives.empty())
    v.insert(v.end(), {"-a", j.nj_set.ns_archives});
  if (j.nj_set.ns_fetch)
    v.emplace_back("-f");
  for (const std::string &rec : nt_kept_records(j, j.nj_base))
    v.insert(v.end(), {"-p", rec});
  v.insert(v.end(), args.begin(), args.end());
  std::vector<const char *> argv;
  for (const std::string &s : v)
    argv.push_back(s.c_str());
  argv.push_back(nullptr);
  proc_cmd cmd = {};
  cmd.cm_argv = argv.data();
  cmd.cm_out = {PROC_OUT_COLLECT, -1, size_t(64) << 20};
  cmd.cm_err = {PROC_OUT_FD, STDERR_FILENO, 0};
  proc_result r;
  if (!proc_run(cmd, &r, err))
    return -1;
  if (r.pr_end != PROC_EXITED || r.pr_out_cut)
    return -1;
  *line = r.pr_out;
  return r.pr_code;
}

// The log as it stands with the line appended, written as
// accept.log.partial and signed.
bool
write_log(const nt_job &j, const std::string &line, std::string *err)
{
  std::string log;
  bool missing = false;
  if (!st_read(j.nj_dir, "accept.log", &log, &missing, err) && !missing)
    return false;
  if (!st_write(j.nj_dir, "accept.log.partial", log + line, err)) {
    *err += "; the baseline in force is unchanged";
    return false;
  }
  return nt_sign(j, "accept.log.partial", "the baseline in force is unchanged",
                 err);
}

// The newest snapshot's package records copied for the new baseline, and
// signed.
bool
copy_records(const nt_job &j, const std::string &newest, std::string *err)
{
  std::string pkg = newest + ".pkg", bytes;
  bool missing = false;
  if (!st_exists(j.nj_dir, pkg))
    return true;
  if (!st_read(j.nj_dir, pkg, &bytes, &missing, err) ||
      !st_write(j.nj_dir, "partial.pkg", bytes, err)) {
    *err = "cannot copy the package records of " + newest + ": " + *err;
    return false;
  }
  return nt_sign(j, "partial.pkg", "the baseline in force is unchanged", err);
}

// The new log into place: its signature first, then the log; a run cut
// between the two is finished by the next (nt_finish_log).
bool
place_log(const nt_job &j, std::string *err)
{
  int d = j.nj_dir.sd_fd;
  if (j.nj_signing &&
      renameat(d, "accept.log.partial.sig", d, "accept.log.sig") != 0) {
    *err = "cannot rename " + nt_path(j, "accept.log.partial.sig");
    return false;
  }
  if (renameat(d, "accept.log.partial", d, "accept.log") != 0) {
    *err = "cannot rename " + nt_path(j, "accept.log.partial");
    return false;
  }
  return st_sync_dir(j.nj_dir, err);
}

}  // namespace

bool
nt_accept(nt_job *j, const std::string &mode, const std::string &text,
          const std::vector<std::string> &paths, int *status, std::string *err)
{
  std::vector<std::string> names;
  if (!nt_find_base(j, err) || !st_list(j->nj_dir, &names, err))
    return false;
  std::string newest;
  for (const std::string &n : names)
    if (!st_is_baseline(n))
      newest = n;
  if (j->nj_base.empty() || newest.empty()) {
    *err = j->nj_dir.sd_path +
           ": no snapshot after the baseline; nothing to "
           "accept";
    return false;
  }
  if (!nt_verify_snapshot(*j, j->nj_base, err) ||
      !nt_verify_snapshot(*j, newest, err))
    return false;
  std::string name = baseline_name(*j), line, why;
  if (name.empty()) {
    *err = "the clock gives no time to name a new baseline after";
    return false;
  }
  std::vector<std::string> args = {"-m",
                                   text,
                                   "-u",
                                   accepting_user(),
                                   "-n",
                                   name,
                                   mode,
                                   nt_path(*j, j->nj_base),
                                   nt_path(*j, newest),
                                   nt_path(*j, "partial")};
  args.insert(args.end(), paths.begin(), paths.end());
  int st = run_kavaccept(*j, args, &line, &why);
  if (st == 1) {
    *status = 1;
    return true;
  }
  st_accept a;
  if (st != 0 || !st_log_parse(line.substr(0, line.find('\n')), &a, &why) ||
      a.sa_baseline != name) {
    if (!why.empty())
      warn_msg2("kavnightly", why.c_str());
    *err = "kavaccept failed; the baseline in force is still " +
           nt_path(*j, j->nj_base);
    return false;
  }
  const char *after = "the baseline in force is unchanged";
  if (!nt_sign(*j, "partial", after, err) || !copy_records(*j, newest, err) ||
      !write_log(*j, line, err) || !st_place(j->nj_dir, "partial", name, err) ||
      !place_log(*j, err))
    return false;
  printf("New baseline: %s, accepting %s; logged in %s\n",
         nt_path(*j, name).c_str(), mode.c_str(),
         nt_path(*j, "accept.log").c_str());
  *status = 0;
  return true;
}
