// job.cc: the steps a night and an acceptance share: signatures, the
// baseline in force, the kept package records.
#include "kavnightly/job.h"

#include <ctime>

#include "store/log.h"

std::string
nt_path(const nt_job &j, const std::string &name)
{
  return j.nj_dir.sd_path + "/" + name;
}

bool
nt_verify(const nt_job &j, const std::string &name, const char *what,
          std::string *err)
{
  std::string file = nt_path(j, name), why;
  switch (st_verify(j.nj_signer, file, "", &why)) {
    case ST_SIG_GOOD: return true;
    case ST_SIG_MISSING:
      *err = file + ": NO SIGNATURE (" + file + ".sig is missing): the " +
             what + " may have been replaced; nothing compared";
      return false;
    case ST_SIG_NO_SIGNER:
      *err = file + ": BAD SIGNATURE: made by no signer that " +
             j.nj_signer.sg_signers + " allows; nothing compared";
      return false;
    case ST_SIG_BAD:
      if (!why.empty())
        fprintf(stderr, "%s\n", why.c_str());
      *err = file + ": BAD SIGNATURE: the " + what +
             " may have been altered; nothing compared";
      return false;
    case ST_SIG_FAILED: break;
  }
  *err = file + ": cannot check the signature: " + why + "; nothing compared";
  return false;
}

bool
nt_verify_snapshot(const nt_job &j, const std::string &name, std::string *err)
{
  if (j.nj_signing && !nt_verify(j, name, "snapshot", err))
    return false;
  std::string pkg = name + ".pkg";
  bool have_pkg = st_exists(j.nj_dir, pkg, true);
  if (st_exists(j.nj_dir, pkg + ".sig", true) && !have_pkg) {
    *err = nt_path(j, pkg) +
           ": missing beside its signature: the package records were "
           "removed; nothing compared";
    return false;
  }
  return !j.nj_signing || !have_pkg ||
         nt_verify(j, pkg, "package records", err);
}

bool
nt_sign(const nt_job &j, const std::string &name, const char *after,
        std::string *err)
{
  if (!j.nj_signing)
    return true;
  std::string why;
  if (st_sign(j.nj_signer, nt_path(j, name), &why))
    return true;
  if (!why.empty())
    fprintf(stderr, "%s\n", why.c_str());
  *err = "cannot sign " + nt_path(j, name) + " with " + j.nj_signer.sg_key +
         "; " + after;
  return false;
}

namespace {

// The acceptance in words for the baseline's heading.
std::string
accepted_words(const st_accept &a)
{
  char when[32];
  time_t t = time_t(a.sa_time);
  struct tm tm;
  if (gmtime_r(&t, &tm) == nullptr ||
      strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", &tm) == 0)
    return "";
  return std::string(" (accepted ") + when + " by " + a.sa_user + ", " +
         a.sa_mode + ")";
}

}  // namespace

bool
nt_find_base(nt_job *j, std::string *err)
{
  std::vector<std::string> names;
  if (!st_list(j->nj_dir, &names, err))
    return false;
  j->nj_base.clear();
  j->nj_accepted.clear();
  for (const std::string &n : names)
    if (st_is_baseline(n)) {
      j->nj_base = n;
      break;
    }
  std::string log_name = "accept.log", log = nt_path(*j, log_name), bytes;
  bool missing = false;
  if (!st_read(j->nj_dir, log_name, &bytes, &missing, err)) {
    if (!missing)
      return false;
    if (st_exists(j->nj_dir, log_name + ".sig", true)) {
      *err = log +
             ": missing beside its signature: the acceptance log was "
             "removed; nothing compared";
      return false;
    }
    return true;
  }
  if (j->nj_signing && !nt_verify(*j, log_name, "acceptance log", err))
    return false;
  std::string_view last;
  st_accept a;
  std::string why;
  if (!st_log_last(bytes, &last) || !st_log_parse(last, &a, &why)) {
    *err = log + ": its last line is not an acceptance; nothing compared";
    return false;
  }
  std::string base = nt_path(*j, a.sa_baseline), sum;
  if (!st_exists(j->nj_dir, a.sa_baseline)) {
    *err = log + ": the baseline it names, " + base +
           ", is missing; nothing compared";
    return false;
  }
  if (!st_sha256(j->nj_dir, a.sa_baseline, &sum, nullptr, err))
    return false;
  if (sum != a.sa_newer_sha256) {
    *err = base +
           ": BASELINE ALTERED: its SHA-256 is not the one the acceptance "
           "log recorded; nothing compared";
    return false;
  }
  j->nj_base = a.sa_baseline;
  j->nj_accepted = accepted_words(a);
  return true;
}

bool
nt_finish_log(nt_job *j, std::string *err)
{
  const st_dir &d = j->nj_dir;
  if (!j->nj_signing || !st_exists(d, "accept.log.partial") ||
      st_exists(d, "accept.log.partial.sig", true) ||
      !st_exists(d, "accept.log.sig"))
    return true;
  std::string why;
  if (st_verify(j->nj_signer, nt_path(*j, "accept.log.partial"),
                nt_path(*j, "accept.log.sig"), &why) != ST_SIG_GOOD)
    return true;
  if (renameat(d.sd_fd, "accept.log.partial", d.sd_fd, "accept.log") != 0) {
    *err = "cannot rename " + nt_path(*j, "accept.log.partial");
    return false;
  }
  return st_sync_dir(d, err);
}

std::vector<std::string>
nt_kept_records(const nt_job &j, const std::string &older)
{
  std::vector<std::string> names, kept;
  std::string unused;
  if (st_is_baseline(older)) {
    if (!st_list(j.nj_dir, &names, &unused))
      names.clear();
    std::vector<std::string> bases;
    for (const std::string &n : names) {
      if (!st_is_baseline(n))
        continue;
      bases.push_back(n);
      if (n == older)
        break;
    }
    names = bases;
  } else {
    names = {older};
  }
  for (auto it = names.rbegin(); it != names.rend(); ++it)
    if (st_exists(j.nj_dir, *it + ".pkg"))
      kept.push_back(nt_path(j, *it + ".pkg"));
  return kept;
}
