// triage.cc: a host's comparisons explained on the collector. The
// engine gets the changes collect_compare kept, and records opened away
// from the host: its own keyrings, indexes and archives verify; the
// host's records only name what to look at.
#include "kavcollect/triage.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "explain/window.h"
#include "pkg/pkg.h"

namespace {

// -f: the archives that the operations of db need and that are not at
// hand, fetched into -C as apt is configured for this user; what could not
// be, by this section's fetch or an earlier one of the run, and why. The
// lock makes the run's fetches one at a time, so that two hosts that need
// the same archive never both fetch it: the second finds it tried.
std::vector<std::string>
triage_fetch(const triage_opts *t, pkg_db *db)
{
  std::vector<pkg_key> keys = pkg_archives_missing(db, pkg_ops(db, 0, 0));
  std::vector<std::string> unfetched;
  if (keys.empty())
    return unfetched;
  triage_fetched *f = t->to_fetched;
  std::lock_guard<std::mutex> lock(f->tf_mutex);
  for (const pkg_key &k : keys) {
    std::string key = k.pk_name + " " + k.pk_version + " " + k.pk_arch;
    auto tried = f->tf_tried.find(key);
    if (tried == f->tf_tried.end()) {
      std::vector<std::string> failed;
      pkg_fetch_into(t->to_cache, "", {k}, XP_FETCH_SECONDS, &failed);
      tried = f->tf_tried.emplace(key, failed.empty() ? "" : failed[0]).first;
    }
    if (!tried->second.empty())
      unfetched.push_back(tried->second);
  }
  return unfetched;
}

void
triage_section_run(const collect_opts *o, const triage_opts *t,
                   const std::string &host, const collect_section &s,
                   triage_section *out)
{
  pkg_away_opts w;
  w.pw_newer = triage_records(o, host, s.cs_newer);
  w.pw_older = triage_records(o, host, s.cs_older);
  for (const std::string *n : {&s.cs_older, &s.cs_newer})
    if (access(triage_records(o, host, *n).c_str(), F_OK) != 0) {
      out->ts_error = "no package records kept with " + *n + ": " +
                      strerror(errno);
      return;
    }
  w.pw_keyrings = t->to_keyrings;
  w.pw_sources = t->to_sources;
  w.pw_cache = t->to_cache;
  w.pw_indexes = t->to_indexes;
  // The paths point into ts_ext, sized once so that it never moves.
  out->ts_ext.resize(s.cs_changes.size());
  out->ts_paths.resize(s.cs_changes.size());
  for (size_t i = 0; i < s.cs_changes.size(); i++) {
    xp_path &p = out->ts_paths[i];
    p.xp_name = s.cs_changes[i].cc_path;
    p.xp_kind = s.cs_changes[i].cc_kind;
    collect_change_recs(s.cs_changes[i], p.xp_recs, out->ts_ext[i].data());
  }
  // At most co_gate's number at once, as the comparisons: the engine
  // reads archives on every core.
  collect_gate_hold hold(o->co_gate);
  std::string err;
  pkg_db *db = pkg_open_away(w, &err);
  if (db == nullptr) {
    out->ts_paths.clear();
    out->ts_error = "the package records: " + err;
    return;
  }
  out->ts_ops = pkg_ops(db, 0, 0);
  // Fetched while this section holds its place at the gate: the records
  // are open, and the archives are read from the directory as soon as the
  // engine asks for them.
  if (t->to_fetched != nullptr)
    out->ts_notes.xn_unfetched = triage_fetch(t, db);
  // Only the changed paths are at hand: a rule that needs a path the
  // newer snapshot holds unchanged does not apply.
  xp_explain(db, t->to_root, 0, 0, xp_recorded_fn(), &out->ts_paths,
             &out->ts_notes);
  std::vector<std::string> failed, untrusted;
  for (const pkg_note &n : pkg_notes(db))
    (n.pn_failure ? failed : untrusted).push_back(n.pn_text);
  xp_notes &nt = out->ts_notes;
  nt.xn_failed.insert(nt.xn_failed.begin(), failed.begin(), failed.end());
  nt.xn_untrusted.insert(nt.xn_untrusted.begin(), untrusted.begin(),
                         untrusted.end());
  pkg_close(db);
  out->ts_done = true;
}

}  // namespace

std::string
triage_records(const collect_opts *o, const std::string &host,
               const std::string &name)
{
  return std::string(o->co_store) + "/" + host + "/" + name +
         COLLECT_COMPANIONS[1];
}

void
triage_run(const collect_opts *o, const triage_opts *t, const collect_result *r,
           triage_host *out)
{
  out->th_sections.clear();
  out->th_sections.resize(r->cr_sections.size());
  for (size_t i = 0; i < r->cr_sections.size(); i++)
    if (!r->cr_sections[i].cs_changes.empty())
      triage_section_run(o, t, r->cr_host, r->cr_sections[i],
                         &out->th_sections[i]);
}

bool
triage_op_verified(const triage_section &s, const pkg_op &op)
{
  // A path deleted is accounted for by the archive of the version before:
  // it shows that version went, not that the claimed one came.
  for (const xp_path &p : s.ts_paths)
    if (p.xp_verdict == XP_PACKAGE && p.xp_evidence == XP_EV_ARCHIVE &&
        p.xp_package == op.po_name && p.xp_version == op.po_new &&
        (op.po_new.empty() ? p.xp_older == op.po_old
                           : p.xp_kind != DB_KIND_DELETED))
      return true;
  return false;
}
