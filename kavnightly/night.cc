// night.cc: one night: the snapshot taken under dpkg's frontend lock,
// signed and placed; the comparisons with the previous snapshot and the
// baseline, triaged in process; the report; the rotation; the cache of
// package archives pruned.
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "diag/diag.h"
#include "kavnightly/job.h"
#include "kavnightly/triage.h"
#include "pkg/pkg.h"
#include "proc/proc.h"

namespace {

// The lock apt and dpkg take for every package operation, held while the
// walk runs and the records are kept, so that no operation lands half in
// a snapshot. -1 where the comparisons are not triaged.
bool
lock_dpkg(const nt_job &j, int *fd, std::string *err)
{
  *fd = -1;
  if (!j.nj_explain)
    return true;
  std::string lock = (j.nj_root == "/" ? "" : j.nj_root) + "/" +
                     PKG_FRONTEND_LOCK;
  bool busy = false;
  std::string why;
  if (pkg_lock_frontend(lock, j.nj_set.ns_lockwait, fd, &busy, &why))
    return true;
  if (busy)
    *err = lock + ": a package operation still holds dpkg's lock after " +
           std::to_string(j.nj_set.ns_lockwait) +
           " s (KAV_LOCKWAIT); no snapshot taken";
  else
    *err = "cannot take dpkg's lock: " + why + "; no snapshot taken";
  return false;
}

// kavbuild into the file partial; its messages go to our standard error.
bool
build(const nt_job &j, std::string *err)
{
  std::string out = nt_path(j, "partial");
  const char *argv[] = {
      j.nj_kavbuild.c_str(), "-c",   j.nj_set.ns_policy.c_str(), "-d",
      out.c_str(),           nullptr};
  proc_cmd cmd = {};
  cmd.cm_argv = argv;
  cmd.cm_out = {PROC_OUT_FD, STDOUT_FILENO, 0};
  cmd.cm_err = {PROC_OUT_FD, STDERR_FILENO, 0};
  proc_result r;
  std::string why;
  if (!proc_run(cmd, &r, &why)) {
    warn_msg2("kavnightly", why.c_str());
    *err = "kavbuild failed; no snapshot taken";
    return false;
  }
  if (r.pr_end != PROC_EXITED || r.pr_code != 0) {
    *err = "kavbuild failed; no snapshot taken";
    return false;
  }
  return true;
}

// Builds, signs and moves into place the snapshot name, with the package
// records of the moment where the comparisons are triaged.
bool
take_snapshot(const nt_job &j, const std::string &name, std::string *err)
{
  int lock;
  if (!lock_dpkg(j, &lock, err))
    return false;
  bool ok = build(j, err) && st_sync_file(j.nj_dir, "partial", err);
  if (ok && j.nj_explain) {
    std::string why, root = j.nj_root == "/" ? "" : j.nj_root;
    ok = pkg_save(root.c_str(), nt_path(j, "partial.pkg").c_str(), &why);
    if (!ok) {
      warn_msg2("kavnightly", why.c_str());
      *err = "cannot keep the package records; no snapshot taken";
    }
    ok = ok && st_sync_file(j.nj_dir, "partial.pkg", err);
  }
  if (lock >= 0)
    close(lock);
  const char *after = "no snapshot taken";
  return ok && nt_sign(j, "partial", after, err) &&
         (!j.nj_explain || nt_sign(j, "partial.pkg", after, err)) &&
         st_place(j.nj_dir, "partial", name, err);
}

// The window of the triage: where the package manager's records are, and
// the kept records of the older snapshot.
xp_window
window(const nt_job &j, const std::string &older)
{
  xp_window w;
  w.xw_root = j.nj_set.ns_pkgroot;
  if (!j.nj_set.ns_archives.empty())
    w.xw_adir = j.nj_set.ns_archives.c_str();
  w.xw_kept = nt_kept_records(j, older);
  w.xw_fetch = j.nj_set.ns_fetch;
  return w;
}

// The report as it grows: what is not explained, and what is.
struct report {
  bool rp_changed = false, rp_unexplained = false, rp_failed = false;
  std::string rp_unexplained_text, rp_explained_text;
};

// What changed since the older snapshot, under a heading naming it (as
// what, and after its name extra): the triage's report where the
// comparisons are triaged, else kavcmp's list. A failed triage never
// loses the list of changes.
bool
compare(const nt_job &j, const std::string &older, const std::string &newer,
        const char *what, const std::string &extra, report *rp,
        std::string *err)
{
  nt_result r;
  std::string why;
  if (!nt_compare(nt_path(j, older), nt_path(j, newer), j.nj_explain,
                  window(j, older), &r, &why)) {
    warn_msg2("kavnightly", why.c_str());
    *err = "kavcmp failed comparing " + nt_path(j, older) + " with " + newer;
    return false;
  }
  if (!r.nr_changed)
    return true;
  rp->rp_changed = true;
  std::string body = r.nr_list, failed;
  bool explained = false;
  if (j.nj_explain) {
    if (r.nr_status == 0 || r.nr_status == 1) {
      body = r.nr_report;
      explained = r.nr_status == 0;
    } else {
      rp->rp_failed = true;
      if (!r.nr_report.empty()) {
        body = r.nr_report;
        failed =
            "The triage failed (kavexplain's status 2): what did not "
            "verify is named first.\n";
      } else {
        warn_msg2("kavnightly", r.nr_stopped.c_str());
        failed =
            "The triage failed: kavexplain stopped with status 2 and "
            "no report; the changes as kavcmp lists them:\n";
      }
    }
  }
  std::string &section = explained ? rp->rp_explained_text
                                   : rp->rp_unexplained_text;
  if (!explained)
    rp->rp_unexplained = true;
  section += std::string("Changes since ") + what + ", " + nt_path(j, older) +
             extra + ":\n" + failed + body;
  return true;
}

// The report on standard output: what needs a look first.
void
print_report(const report &rp)
{
  if (!rp.rp_changed)
    return;
  if (!rp.rp_unexplained)
    fputs("Every change is explained by the package manager or is a move.\n",
          stdout);
  fputs(rp.rp_unexplained_text.c_str(), stdout);
  fputs(rp.rp_explained_text.c_str(), stdout);
}

// kavrel's cache of archives pruned of what no snapshot in force needs. A
// failure is said, and costs only disk space.
void
prune_cache(const nt_job &j)
{
  std::string err, root = j.nj_root == "/" ? "" : j.nj_root;
  std::vector<std::string> removed;
  pkg_db *db =
      pkg_open(root.c_str(), nullptr, nt_kept_records(j, j.nj_base), &err);
  bool ok = db != nullptr && pkg_cache_prune(db, &removed, &err);
  if (db != nullptr)
    pkg_close(db);
  if (!ok) {
    warn_msg2("kavnightly", err.c_str());
    warn_msg2("kavnightly",
              "could not prune the cache of package archives; the next "
              "night tries again");
  }
}

}  // namespace

bool
nt_night(nt_job *j, int *status, std::string *err)
{
  std::vector<std::string> names;
  if (!nt_find_base(j, err) || !st_list(j->nj_dir, &names, err))
    return false;
  std::string prev = names.empty() ? "" : names.back();
  if (!prev.empty() && j->nj_base.empty()) {
    *err = j->nj_dir.sd_path + ": the baseline " + ST_BASE_PREFIX +
           "* is missing; see kavnightly(8) to take a new one";
    return false;
  }
  // A bad signature is found before it costs a night's walk.
  if (!prev.empty() &&
      (!nt_verify_snapshot(*j, prev, err) ||
       (prev != j->nj_base && !nt_verify_snapshot(*j, j->nj_base, err))))
    return false;
  std::string name = st_next_name(prev, int64_t(time(nullptr)));
  if (name.empty()) {
    *err = j->nj_dir.sd_path + ": the snapshots' numbers have run out";
    return false;
  }
  if (!take_snapshot(*j, name, err))
    return false;
  if (prev.empty()) {
    printf("New baseline: %s\n", nt_path(*j, name).c_str());
    *status = 0;
    return true;
  }
  report rp;
  if ((prev != j->nj_base &&
       !compare(*j, prev, name, "the previous snapshot", "", &rp, err)) ||
      !compare(*j, j->nj_base, name, "the baseline", j->nj_accepted, &rp, err))
    return false;
  print_report(rp);
  std::vector<std::string> removed;
  if (!st_rotate(j->nj_dir, j->nj_set.ns_keep, &removed, err))
    return false;
  if (j->nj_explain)
    prune_cache(*j);
  *status = rp.rp_failed ? 2 : rp.rp_unexplained ? 1 : 0;
  return true;
}
