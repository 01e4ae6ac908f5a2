// explain.cc: the verdicts. A path is a package's when that package claims
// it, an operation on the package lies between the snapshots, and what the
// newer snapshot holds is what the package's archive, verified through a
// signed index, installed. Where only the host's own records (dpkg's
// digests, kept copies of them, a stat override, the alternatives) account
// for it, the path is claimed: root can rewrite those records.
#include "explain/explain.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>

#include "cmp/cmp.h"
#include "explain/explain_int.h"
#include "sha256/sha256.h"

const char *const XP_VERDICT_WORDS[XP_VERDICTS] = {
    "unexplained", "conffile", "package", "moved", "claimed", "downgraded"};
const char *const XP_EVIDENCE_WORDS[3] = {"dpkg", "archive", "snapshots"};

namespace {

std::string
octal(uint16_t mode)
{
  char b[16];
  snprintf(b, sizeof b, "%06o", unsigned(mode));
  return b;
}

std::string
pkg_text(const pkg_meta *m)
{
  return m->pm_name + " " + m->pm_version;
}

// What a claim's check came to: the path is not the package's, it is a
// conffile edited, it is as the package installed it, or it is but for
// what a stat override alone accounts for.
enum claim_step { CLAIM_FAILS, CLAIM_CONFFILE, CLAIM_MATCHES, CLAIM_OVERRIDE };

// The administrator's stat override of a path, if any.
struct override_rec {
  bool set;
  uint16_t perm;
  uint32_t uid, gid;
};

// True when a stat override only takes rights away from what the archive
// ships: no permission bit the archive's mode lacks, the same owner and
// group. Such an override makes the archive's account more precise; any
// other is the host's own word.
bool
override_narrows(const override_rec &o, const pkg_afile &a)
{
  return (o.perm & ~(a.pa_mode & 07777)) == 0 && o.uid == a.pa_uid &&
         o.gid == a.pa_gid;
}

// The path against the package's archive: type, mode, owner, contents. A
// mode or owner that only a stat override that gives rights accounts for
// is CLAIM_OVERRIDE: the contents are the archive's, the rest a claim.
claim_step
by_archive(xp_path *p, const pkg_claim &cl, const pkg_archive &ar,
           const std::string &host, const override_rec &o)
{
  const db_rec *now = xp_now(*p);
  const pkg_meta *m = cl.pc_pkg;
  p->xp_evidence = XP_EV_ARCHIVE;
  auto f = ar.pr_files.find(host);
  if (f == ar.pr_files.end()) {
    p->xp_expected = "no such path in " + pkg_text(m) + "'s archive";
    return CLAIM_FAILS;
  }
  const pkg_afile &a = f->second;
  auto mode_is = [now](uint16_t mode) {
    return !(now->mask & DB_MODE) || now->mode == mode;
  };
  auto owner_is = [now](uint32_t uid, uint32_t gid) {
    return !((now->mask & DB_UID) && now->uid != uid) &&
           !((now->mask & DB_GID) && now->gid != gid);
  };
  bool overridden = false;
  if (!mode_is(a.pa_mode) || !owner_is(a.pa_uid, a.pa_gid)) {
    if (!o.set || !mode_is(uint16_t((a.pa_mode & ~07777) | o.perm)) ||
        !owner_is(o.uid, o.gid)) {
      p->xp_expected = !mode_is(a.pa_mode)
                           ? "mode " + octal(a.pa_mode) + " of " + pkg_text(m)
                           : "owner " + std::to_string(a.pa_uid) + ":" +
                                 std::to_string(a.pa_gid) + " of " +
                                 pkg_text(m);
      return CLAIM_FAILS;
    }
    overridden = !override_narrows(o, a);
  }
  if ((S_ISREG(a.pa_mode) || S_ISLNK(a.pa_mode)) &&
      !xp_sums_match(now, a.pa_sum, a.pa_sum256)) {
    if (cl.pc_conffile)
      return CLAIM_CONFFILE;
    p->xp_expected = "the contents of " + pkg_text(m);
    return CLAIM_FAILS;
  }
  if (!overridden)
    return CLAIM_MATCHES;
  p->xp_expected = "mode " + octal(a.pa_mode) + " and owner " +
                   std::to_string(a.pa_uid) + ":" + std::to_string(a.pa_gid) +
                   " of " + pkg_text(m) +
                   " (only a stat override, the host's own record, gives "
                   "more)";
  return CLAIM_OVERRIDE;
}

// A regular file against dpkg's MD5: the file read from the host, which
// must still be what the newer snapshot holds.
claim_step
by_digest(xp_ctx *c, xp_path *p, const pkg_claim &cl, const std::string &host)
{
  const db_rec *now = xp_now(*p);
  // Away from the host, its file is not here to read, and its records'
  // digests, which a kept copy leaves out, would be its own word anyway.
  if (c->xc_away) {
    p->xp_expected = "the archive of " + pkg_text(cl.pc_pkg) +
                     ", listed by a signed index (none at hand)";
    return CLAIM_FAILS;
  }
  xp_digest &dd = c->xc_disk[c->xc_at];
  if (!dd.xd_done)
    xp_disk_sums(c->xc_root + host, now->mask, &dd);
  if (!dd.xd_ok || !xp_sums_match(now, dd.xd_sha1, dd.xd_sha256)) {
    p->xp_expected =
        "the file as the newer snapshot holds it (it has "
        "changed or gone since)";
    return CLAIM_FAILS;
  }
  if (cl.pc_md5.empty()) {
    p->xp_expected = "a digest in " + pkg_text(cl.pc_pkg) + "'s records (none)";
    return CLAIM_FAILS;
  }
  if (cl.pc_md5 != dd.xd_md5) {
    if (cl.pc_conffile)
      return CLAIM_CONFFILE;
    p->xp_expected = "the contents of " + pkg_text(cl.pc_pkg) + " (md5 " +
                     cl.pc_md5 + ")";
    return CLAIM_FAILS;
  }
  return CLAIM_MATCHES;
}

// The path against dpkg's records, which know no mode or owner (only an
// override can account for a change of them) and no link target.
claim_step
by_records(xp_ctx *c, xp_path *p, const pkg_claim &cl, const std::string &host,
           uint32_t diff, const override_rec &o)
{
  const db_rec *now = xp_now(*p), *was = &p->xp_recs[0];
  if ((diff & (DB_MODE | DB_UID | DB_GID)) && p->xp_kind == DB_KIND_CHANGED &&
      !(o.set && (now->mode & 07777) == o.perm && now->uid == o.uid &&
        now->gid == o.gid)) {
    p->xp_expected = "mode " + octal(was->mode) + " and owner " +
                     std::to_string(was->uid) + ":" + std::to_string(was->gid) +
                     " as before (only the archive or a stat override can "
                     "account for a change)";
    return CLAIM_FAILS;
  }
  // dpkg's records hold no mode: a set-user-ID or set-group-ID bit on a
  // new path is something only the archive can vouch for. The override
  // file is the host's own to write, so it cannot vouch for one either.
  if (p->xp_kind == DB_KIND_NEW && (now->mask & DB_MODE) &&
      (now->mode & (S_ISUID | S_ISGID)) && !S_ISDIR(now->mode)) {
    p->xp_expected = "mode " +
                     octal(uint16_t(now->mode & ~(S_ISUID | S_ISGID))) +
                     " (only the archive of " + pkg_text(cl.pc_pkg) +
                     " can account for a set-user-ID or set-group-ID bit)";
    return CLAIM_FAILS;
  }
  if (S_ISREG(now->mode))
    return by_digest(c, p, cl, host);
  if (S_ISLNK(now->mode) && (diff & (DB_CSUM | DB_SHA256))) {
    p->xp_expected = "the link target of " + pkg_text(cl.pc_pkg) +
                     ", which only its archive holds";
    return CLAIM_FAILS;
  }
  if (!S_ISDIR(now->mode) && !S_ISLNK(now->mode)) {
    p->xp_expected = "a file of the type " + pkg_text(cl.pc_pkg) + " ships";
    return CLAIM_FAILS;
  }
  return CLAIM_MATCHES;
}

// What would turn a claim on the package's records into an explanation.
std::string
to_verify(const std::string &name, const std::string &version)
{
  return "the archive of " + name + " " + version +
         ", listed by a signed index (none at hand)";
}

// One claim's account of a changed or new path; true when it settles the
// verdict (the package's, a claim, a downgrade, a conffile edit, or an
// archive that does not verify), false when another claim may do better.
// Fills the verdict either way.
bool
try_claim(xp_ctx *c, xp_path *p, const std::string &host, const pkg_claim &cl)
{
  const pkg_meta *m = cl.pc_pkg;
  uint32_t diff = p->xp_kind == DB_KIND_CHANGED
                      ? db_rec_diff(&p->xp_recs[0], xp_now(*p))
                      : DB_ALL;
  p->xp_package = m->pm_name;
  p->xp_version = m->pm_version;
  p->xp_verdict = XP_UNEXPLAINED;
  p->xp_evidence = XP_EV_DPKG;
  const pkg_archive *ar = nullptr;
  std::string why;
  if (!m->pm_version.empty() &&
      xp_archive_at(c, m->pm_name, m->pm_version, m->pm_arch, &ar, &why) < 0) {
    p->xp_evidence = XP_EV_ARCHIVE;
    p->xp_expected = "what the archive of " + pkg_text(m) +
                     " holds, which does not verify: " + why;
    return true;
  }
  override_rec o;
  o.set = pkg_override(c->xc_db, host, &o.perm, &o.uid, &o.gid);
  // No package record holds extended attributes: a capability, an ACL or a
  // label that changed on a package's file, or that a new one came with,
  // is never the package's doing.
  const db_rec *now = xp_now(*p);
  if (p->xp_kind == DB_KIND_CHANGED && (diff & DB_XATTR)) {
    p->xp_expected =
        "the extended attributes as before (no package record "
        "accounts for a change of them)";
    p->xp_evidence = ar != nullptr ? XP_EV_ARCHIVE : XP_EV_DPKG;
    return false;
  }
  if (p->xp_kind == DB_KIND_NEW && (now->mask & DB_XATTR) &&
      now->ext != nullptr && now->ext->xa_len > 0) {
    p->xp_expected =
        "no extended attributes (no package record accounts for a "
        "capability, an ACL or a label on a new file)";
    p->xp_evidence = ar != nullptr ? XP_EV_ARCHIVE : XP_EV_DPKG;
    return false;
  }
  claim_step step = ar != nullptr ? by_archive(p, cl, *ar, host, o)
                                  : by_records(c, p, cl, host, diff, o);
  if (step == CLAIM_CONFFILE)
    p->xp_verdict = XP_CONFFILE;
  if (step == CLAIM_CONFFILE || step == CLAIM_FAILS)
    return step == CLAIM_CONFFILE;
  const pkg_op *op = xp_install_op(*c, m);
  if (op == nullptr) {
    p->xp_expected = "an install, upgrade or reinstall of " + pkg_text(m) +
                     " between the snapshots (none)";
    return false;
  }
  p->xp_older = op->po_old;
  if (xp_is_downgrade(*op)) {
    p->xp_verdict = XP_DOWNGRADED;
    p->xp_expected = xp_downgrade_text(*op);
  } else if (ar == nullptr) {
    p->xp_verdict = XP_CLAIMED;
    p->xp_expected = to_verify(m->pm_name, m->pm_version);
  } else if (step == CLAIM_OVERRIDE) {
    p->xp_verdict = XP_CLAIMED;  // what by_archive said stays
  } else {
    p->xp_verdict = XP_PACKAGE;
    p->xp_expected.clear();
  }
  return true;
}

// A link that the package manager's alternatives manage, pointing where
// they allow: a claim, until the file it leads to proves verified once
// every path has its verdict (settle_links). True when the link is one
// they manage.
bool
explain_managed(xp_ctx *c, xp_path *p, const std::string &host)
{
  const db_rec *now = xp_now(*p);
  const std::vector<std::string> *targets = pkg_managed_link(c->xc_db, host);
  if (targets == nullptr || !S_ISLNK(now->mode))
    return false;
  p->xp_package = "(alternatives)";
  const std::string *to = nullptr;
  for (const std::string &t : *targets) {
    uint8_t sum[SHA1_LEN], sum256[DB_SHA256_LEN];
    sha_buf(t.data(), int32_t(t.size()), sum);
    if (sha256_buf(t.data(), t.size(), sum256) != nullptr &&
        xp_sums_match(now, sum, sum256))
      to = &t;
  }
  if (to == nullptr && (now->mask & (DB_CSUM | DB_SHA256))) {
    p->xp_expected = "a link to an alternative the package manager has";
    for (const std::string &t : *targets)
      p->xp_expected += (&t == &(*targets)[0] ? ": " : ", ") + t;
  } else if (c->xc_ops.empty()) {
    p->xp_expected = "a package operation between the snapshots (none)";
  } else if (to != nullptr) {
    p->xp_verdict = XP_CLAIMED;
    p->xp_expected = "a link to a file verified in its package's archive (" +
                     *to + " is not)";
    c->xc_links.emplace_back(c->xc_at, *to);
  }
  return true;
}

// The first claim that settles the path's verdict; when none does, the
// first claim's account.
void
explain_present(xp_ctx *c, xp_path *p, const std::string &host)
{
  if (explain_managed(c, p, host))
    return;
  const db_rec *now = xp_now(*p);
  std::vector<pkg_claim> claims =
      pkg_claims(c->xc_db, host, S_ISREG(now->mode));
  if (claims.empty()) {
    p->xp_expected = "a package that owns the path (none)";
    return;
  }
  // Only a conffile, or a package that an operation in between installed,
  // can account for the path: the claims that can are tried in order. A
  // verified account wins over a claim, which wins over a failure. A
  // directory that hundreds of packages claim is so checked against the
  // few that changed, not against every archive.
  const xp_path fresh = *p;
  auto hopeless = [c](const pkg_claim &cl) {
    return !cl.pc_conffile && xp_install_op(*c, cl.pc_pkg) == nullptr;
  };
  xp_path first = fresh, weak = fresh;
  bool have_first = false, have_weak = false;
  for (const pkg_claim &cl : claims) {
    if (hopeless(cl))
      continue;
    *p = fresh;
    bool settled = try_claim(c, p, host, cl);
    if (settled &&
        (p->xp_verdict == XP_PACKAGE || p->xp_verdict == XP_CONFFILE))
      return;
    if (settled && !have_weak) {
      weak = *p;
      have_weak = true;
    }
    if (&cl == &claims[0]) {
      first = *p;
      have_first = true;
    }
  }
  if (have_weak) {
    *p = weak;
    return;
  }
  *p = first;
  if (!have_first)
    try_claim(c, p, host, claims[0]);
}

// True when the records kept with earlier snapshots say that one of the
// operations in *untold, which no archive told of, removed the deleted
// path: a claim, for they are copies of the host's own records. The
// operations they know nothing of are left in *untold.
bool
explain_kept(xp_ctx *c, xp_path *p, const std::string &host,
             std::vector<const pkg_op *> *untold)
{
  std::vector<const pkg_op *> left;
  for (const pkg_op *op : *untold) {
    int r = pkg_kept_shipped(c->xc_db, *op, host, &p->xp_kept);
    if (r > 0) {
      p->xp_verdict = XP_CLAIMED;
      p->xp_package = op->po_name;
      p->xp_version = op->po_new;
      p->xp_older = op->po_old;
      p->xp_expected = to_verify(op->po_name, op->po_old);
      return true;
    }
    if (r < 0)
      left.push_back(op);
  }
  p->xp_kept.clear();
  *untold = left;
  return false;
}

void
explain_deleted(xp_ctx *c, xp_path *p, const std::string &host)
{
  std::vector<pkg_claim> claims = pkg_claims(c->xc_db, host, false);
  if (!claims.empty()) {
    const pkg_meta *m = claims[0].pc_pkg;
    p->xp_package = m->pm_name;
    p->xp_version = m->pm_version;
    p->xp_expected = "the path, which " + pkg_text(m) + " still ships";
    return;
  }
  std::vector<const pkg_op *> untold;  // no archive at hand tells of
  for (const auto &entry : c->xc_ops) {
    for (const pkg_op &op : entry.second) {
      if (op.po_old.empty() || op.po_old == op.po_new)
        continue;
      bool found = false;
      for (const std::string &arch : xp_arches_of(*c, op.po_name)) {
        const pkg_archive *ar = nullptr;
        std::string why;
        int r = xp_archive_at(c, op.po_name, op.po_old, arch, &ar, &why);
        if (r < 0) {
          p->xp_evidence = XP_EV_ARCHIVE;
          p->xp_expected = "what the archive of " + op.po_name + " " +
                           op.po_old + " holds, which does not verify: " + why;
          return;
        }
        if (r == 0)
          continue;
        found = true;
        if (ar->pr_files.count(host) == 0)
          continue;
        // Shipped by the older version, and the newer, if any, does not
        // claim it (else it would have claims above).
        p->xp_verdict = xp_is_downgrade(op) ? XP_DOWNGRADED : XP_PACKAGE;
        p->xp_evidence = XP_EV_ARCHIVE;
        p->xp_package = op.po_name;
        p->xp_version = op.po_new;
        p->xp_older = op.po_old;
        if (xp_is_downgrade(op))
          p->xp_expected = xp_downgrade_text(op);
        return;
      }
      if (!found)
        untold.push_back(&op);
    }
  }
  if (explain_kept(c, p, host, &untold))
    return;
  std::string unknown;
  for (const pkg_op *op : untold)
    unknown += (unknown.empty() ? "" : ", ") + op->po_name + " " + op->po_old;
  p->xp_expected =
      unknown.empty()
          ? "a package removed or upgraded between the snapshots that "
            "shipped it (none)"
          : "what " + unknown + " shipped (no archive at hand" +
                (pkg_kept_any(c->xc_db) ? ", nor kept records of it)" : ")");
}

// The links of the alternatives that point where they allow are
// explained when what they lead to is verified.
void
settle_links(xp_ctx *c, std::vector<xp_path> *paths)
{
  if (c->xc_links.empty())
    return;
  std::map<std::string, size_t> at;
  for (size_t i = 0; i < paths->size(); i++) {
    std::string host;
    if (xp_host_of(c->xc_root, (*paths)[i].xp_name, &host))
      at[host] = i;
  }
  std::map<size_t, std::string> links(c->xc_links.begin(), c->xc_links.end());
  for (const auto &l : c->xc_links) {
    xp_path &p = (*paths)[l.first];
    const xp_path *proof = nullptr;
    xp_evidence_kind ev;
    if (!xp_target_verified(c, *paths, at, links, l.second, &proof, &ev))
      continue;
    p.xp_verdict = XP_PACKAGE;
    p.xp_evidence = ev;
    p.xp_expected.clear();
    if (proof != nullptr) {
      p.xp_version = proof->xp_version;
      p.xp_older = proof->xp_older;
    }
  }
}

}  // namespace

// A file unchanged since the older snapshot is so only where the newer
// records it: a place the policy does not watch proves nothing.
bool
xp_target_verified(xp_ctx *c, const std::vector<xp_path> &paths,
                   const std::map<std::string, size_t> &at,
                   const std::map<size_t, std::string> &links, std::string t,
                   const xp_path **proof, xp_evidence_kind *ev)
{
  *ev = XP_EV_ARCHIVE;
  for (int hop = 0; hop < 8; hop++) {
    auto it = at.find(t);
    if (it != at.end()) {
      auto next = links.find(it->second);
      if (next != links.end()) {
        t = next->second;
        continue;
      }
      const xp_path &q = paths[it->second];
      *proof = &q;
      bool unchanged = q.xp_rule != nullptr &&
                       strcmp(q.xp_rule, "unchanged") == 0;
      if (q.xp_verdict != XP_PACKAGE || q.xp_kind == DB_KIND_DELETED ||
          (q.xp_evidence != XP_EV_ARCHIVE && !unchanged))
        return false;
      *ev = q.xp_evidence;
      return true;
    }
    if (!c->xc_recorded || !c->xc_recorded(c->xc_root + t))
      return false;
    if (pkg_managed_link(c->xc_db, t) != nullptr) {
      *ev = XP_EV_SNAPSHOTS;  // a link of theirs as the older snapshot has it
      return true;
    }
    for (const pkg_claim &cl : pkg_claims(c->xc_db, t, false)) {
      const pkg_meta *m = cl.pc_pkg;
      const pkg_archive *ar = nullptr;
      std::string why;
      if (!m->pm_version.empty() &&
          xp_archive_at(c, m->pm_name, m->pm_version, m->pm_arch, &ar, &why) >
              0 &&
          ar->pr_files.count(t) != 0)
        return true;
    }
    return false;
  }
  return false;
}

int
xp_archive_at(xp_ctx *c, const std::string &name, const std::string &version,
              const std::string &arch, const pkg_archive **ar, std::string *why)
{
  int r = pkg_archive_get(c->xc_db, name, version, arch, ar, why);
  if (r < 0 && c->xc_told.insert(*why).second)
    c->xc_notes->xn_failed.push_back(*why);
  return r;
}

bool
xp_is_downgrade(const pkg_op &op)
{
  return !op.po_old.empty() && !op.po_new.empty() &&
         pkg_version_cmp(op.po_new, op.po_old) < 0;
}

std::string
xp_downgrade_text(const pkg_op &op)
{
  return "no downgrade: " + op.po_name + " went back from " + op.po_old +
         " to " + op.po_new;
}

// The last operation between the snapshots that installed the package's
// present version, or null.
const pkg_op *
xp_install_op(const xp_ctx &c, const pkg_meta *m)
{
  auto it = c.xc_ops.find(m->pm_name);
  if (it == c.xc_ops.end())
    return nullptr;
  for (auto op = it->second.rbegin(); op != it->second.rend(); ++op)
    if (op->po_new == m->pm_version && !m->pm_version.empty())
      return &*op;
  return nullptr;
}

// The native architecture, for archives of packages no longer installed.
std::vector<std::string>
xp_arches_of(const xp_ctx &c, const std::string &name)
{
  std::vector<std::string> v;
  if (const pkg_meta *m = pkg_find(c.xc_db, name))
    v.push_back(m->pm_arch);
  if (const pkg_meta *d = pkg_find(c.xc_db, "dpkg"))
    v.push_back(d->pm_arch);
  v.push_back("all");
  return v;
}

// The host path of a snapshot's path: false for one outside the root.
bool
xp_host_of(const std::string &root, const std::string &name, std::string *host)
{
  if (!root.empty() &&
      (name.compare(0, root.size(), root) != 0 || name[root.size()] != '/'))
    return false;
  *host = name.substr(root.size());
  return true;
}

int
xp_collect(ft_node *node, void *arg)
{
  xp_path p;
  p.xp_kind = uint8_t(cmp_change(node, p.xp_recs));
  if (p.xp_kind == DB_KIND_NONE)
    return 0;
  p.xp_name = node->ftn_path;
  static_cast<std::vector<xp_path> *>(arg)->push_back(std::move(p));
  return 0;
}

void
xp_explain(pkg_db *db, const std::string &root, int64_t from, int64_t to,
           const xp_recorded_fn &recorded, std::vector<xp_path> *paths,
           xp_notes *notes)
{
  xp_ctx c;
  c.xc_db = db;
  c.xc_root = root;
  c.xc_away = pkg_away(db);
  c.xc_recorded = recorded;
  c.xc_notes = notes;
  for (const pkg_op &op : pkg_ops(db, from, to)) {
    c.xc_ops[op.po_name].push_back(op);
    if (xp_is_downgrade(op))
      notes->xn_downgrades.push_back(op);
  }
  c.xc_disk.resize(paths->size());
  xp_read_ahead(&c, *paths);
  for (c.xc_at = 0; c.xc_at < paths->size(); c.xc_at++) {
    xp_path &p = (*paths)[c.xc_at];
    std::string host;
    if (!xp_host_of(root, p.xp_name, &host)) {
      p.xp_expected = "a path under " + root;
      continue;
    }
    // The package manager's own files: explain_own.cc.
    bool own = xp_explain_own(&c, &p, host);
    if (!own && p.xp_kind == DB_KIND_DELETED)
      explain_deleted(&c, &p, host);
    else if (!own)
      explain_present(&c, &p, host);
  }
  settle_links(&c, paths);
  xp_own_settle(paths);
  xp_find_moves(paths);
  // After the moves, so that a rule never takes one half of a move; the
  // directories last, so that entries a rule explained count.
  xp_apply_rules(&c, paths);
  xp_explain_dirs(paths);
}

int
xp_status(const std::vector<xp_path> &paths, const xp_notes &notes)
{
  if (!notes.xn_failed.empty())
    return 2;
  if (!notes.xn_downgrades.empty())
    return 1;
  for (const xp_path &p : paths)
    if (p.xp_verdict != XP_PACKAGE && p.xp_verdict != XP_MOVED)
      return 1;
  return 0;
}
