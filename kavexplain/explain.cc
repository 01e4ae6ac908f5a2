// explain.cc: the verdicts. A path is a package's when that package claims
// it, an operation on the package lies between the snapshots, and what the
// newer snapshot holds is what the package installed, by the strongest
// records at hand: the archive where one verifies, else dpkg's digests.
#include "kavexplain/explain.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <thread>
#include <tuple>
#include <unordered_map>

#include "db/print.h"
#include "kavcmp/cmp.h"
#include "port/port.h"
#include "sha1/sha1.h"
#include "sha256/sha256.h"

const char *const XP_VERDICT_WORDS[4] = {"unexplained", "conffile", "package",
                                         "moved"};
const char *const XP_EVIDENCE_WORDS[3] = {"dpkg", "archive", "snapshots"};

namespace {

// What the dpkg level reads of a file on the host: its MD5 for dpkg's
// records, and the digests the newer record holds, from one read.
struct disk_digest {
  bool dd_done = false;  // read (ahead, or when first asked for)
  bool dd_ok = false;    // and it could be
  char dd_md5[2 * 16 + 1];
  uint8_t dd_sha1[SHA1_LEN];
  uint8_t dd_sha256[DB_SHA256_LEN];
};

struct ctx {
  pkg_db *db;
  std::string root;
  std::map<std::string, std::vector<pkg_op>> ops;  // by package, in order
  std::vector<disk_digest> disk;  // by path, as the paths are ordered
  size_t at = 0;  // the path being explained
  std::string err;  // set when a check failed outright
};

std::string
octal(uint16_t mode)
{
  char b[16];
  snprintf(b, sizeof b, "%06o", unsigned(mode));
  return b;
}

// True when the digests the record holds, SHA-1 and SHA-256 as its mask
// asks, are these: a snapshot that records only one is checked by it.
bool
sums_match(const db_rec *r, const uint8_t sha1[SHA1_LEN],
           const uint8_t sha256[DB_SHA256_LEN])
{
  static const uint8_t none[DB_SHA256_LEN] = {};
  if ((r->mask & DB_CSUM) && memcmp(r->csum, sha1, SHA1_LEN) != 0)
    return false;
  const uint8_t *have = r->ext != nullptr ? r->ext->sha256 : none;
  return !(r->mask & DB_SHA256) || memcmp(have, sha256, DB_SHA256_LEN) == 0;
}

// The MD5 of the file at name, not following a link, and its SHA-1 and
// SHA-256 as mask (the newer record's) asks: dd_ok false when it cannot
// be read.
void
disk_sums(const std::string &name, uint32_t mask, disk_digest *dd)
{
  dd->dd_done = true;
  dd->dd_ok = false;
  int fd = open(name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0)
    return;
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> m(EVP_MD_CTX_new(),
                                                            EVP_MD_CTX_free);
  EVP_DigestInit_ex(m.get(), EVP_md5(), nullptr);
  sha1_ctx s;
  sha1_init(&s);
  sha256_ctx s256;
  bool want256 = (mask & DB_SHA256) != 0;
  if (want256 && sha256_init(&s256) != 0) {
    close(fd);
    return;
  }
  static thread_local char buf[1 << 17];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) {
    EVP_DigestUpdate(m.get(), buf, size_t(n));
    if (mask & DB_CSUM)
      sha1_update(&s, buf, int32_t(n));
    if (want256)
      sha256_update(&s256, buf, size_t(n));
  }
  close(fd);
  if (n < 0) {
    if (want256)
      sha256_free(&s256);
    return;
  }
  if (want256)
    sha256_final(&s256, dd->dd_sha256);
  unsigned char d[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_DigestFinal_ex(m.get(), d, &len);
  sha1_final(&s, dd->dd_sha1);
  hex_encode(d, dd->dd_md5, int(2 * len));
  dd->dd_ok = true;
}

// The last operation between the snapshots that installed the package's
// present version, or null.
const pkg_op *
install_op(const ctx &c, const pkg_meta *m)
{
  auto it = c.ops.find(m->pm_name);
  if (it == c.ops.end())
    return nullptr;
  for (auto op = it->second.rbegin(); op != it->second.rend(); ++op)
    if (op->po_new == m->pm_version && !m->pm_version.empty())
      return &*op;
  return nullptr;
}

std::string
pkg_text(const pkg_meta *m)
{
  return m->pm_name + " " + m->pm_version;
}

// One claim's account of a changed or new path; true when it accounts for
// all of it. Fills the verdict either way.
bool
try_claim(ctx *c, xp_path *p, const std::string &host, const pkg_claim &cl)
{
  const pkg_meta *m = cl.pc_pkg;
  const db_rec *now = &p->xp_recs[p->xp_kind == DB_KIND_CHANGED ? 1 : 0];
  uint32_t diff = p->xp_kind == DB_KIND_CHANGED
                      ? db_rec_diff(&p->xp_recs[0], now)
                      : DB_ALL;
  p->xp_package = m->pm_name;
  p->xp_version = m->pm_version;
  p->xp_verdict = XP_UNEXPLAINED;
  p->xp_evidence = XP_EV_DPKG;
  const pkg_archive *ar = nullptr;
  if (!m->pm_version.empty() &&
      pkg_archive_get(c->db, m->pm_name, m->pm_version, m->pm_arch, &ar,
                      &c->err) < 0)
    return false;
  uint16_t perm;
  uint32_t uid, gid;
  bool over = pkg_override(c->db, host, &perm, &uid, &gid);
  // No package record holds extended attributes: a capability, an ACL or a
  // label that changed on a package's file is never the package's doing.
  if (p->xp_kind == DB_KIND_CHANGED && (diff & DB_XATTR)) {
    p->xp_expected = "the extended attributes as before (no package record "
                     "accounts for a change of them)";
    p->xp_evidence = ar != nullptr ? XP_EV_ARCHIVE : XP_EV_DPKG;
    return false;
  }
  if (ar != nullptr) {
    p->xp_evidence = XP_EV_ARCHIVE;
    auto f = ar->pr_files.find(host);
    if (f == ar->pr_files.end()) {
      p->xp_expected = "no such path in " + pkg_text(m) + "'s archive";
      return false;
    }
    const pkg_afile &a = f->second;
    uint16_t mode = over ? uint16_t((a.pa_mode & ~07777) | perm) : a.pa_mode;
    uint32_t wuid = over ? uid : a.pa_uid, wgid = over ? gid : a.pa_gid;
    if ((now->mask & DB_MODE) && now->mode != mode) {
      p->xp_expected = "mode " + octal(mode) + " of " + pkg_text(m);
      return false;
    }
    if (((now->mask & DB_UID) && now->uid != wuid) ||
        ((now->mask & DB_GID) && now->gid != wgid)) {
      p->xp_expected = "owner " + std::to_string(wuid) + ":" +
                       std::to_string(wgid) + " of " + pkg_text(m);
      return false;
    }
    if ((S_ISREG(mode) || S_ISLNK(mode)) &&
        !sums_match(now, a.pa_sum, a.pa_sum256)) {
      if (cl.pc_conffile) {
        p->xp_verdict = XP_CONFFILE;
        return true;
      }
      p->xp_expected = "the contents of " + pkg_text(m);
      return false;
    }
  } else {
    // dpkg's records know no mode or owner: only an override can account
    // for a change of them.
    if (diff & (DB_MODE | DB_UID | DB_GID)) {
      bool ok = over && (now->mode & 07777) == perm && now->uid == uid &&
                now->gid == gid;
      if (p->xp_kind == DB_KIND_CHANGED && !ok) {
        p->xp_expected = "mode " + octal(p->xp_recs[0].mode) + " and owner " +
                         std::to_string(p->xp_recs[0].uid) + ":" +
                         std::to_string(p->xp_recs[0].gid) +
                         " as before (only the archive or a stat override "
                         "can account for a change)";
        return false;
      }
    }
    if (S_ISREG(now->mode)) {
      disk_digest &dd = c->disk[c->at];
      if (!dd.dd_done)
        disk_sums(c->root + host, now->mask, &dd);
      if (!dd.dd_ok || !sums_match(now, dd.dd_sha1, dd.dd_sha256)) {
        p->xp_expected = "the file as the newer snapshot holds it (it has "
                         "changed or gone since)";
        return false;
      }
      if (cl.pc_md5.empty()) {
        p->xp_expected = "a digest in " + pkg_text(m) + "'s records (none)";
        return false;
      }
      if (cl.pc_md5 != dd.dd_md5) {
        if (cl.pc_conffile) {
          p->xp_verdict = XP_CONFFILE;
          return true;
        }
        p->xp_expected = "the contents of " + pkg_text(m) + " (md5 " +
                         cl.pc_md5 + ")";
        return false;
      }
    } else if (S_ISLNK(now->mode) && (diff & (DB_CSUM | DB_SHA256))) {
      p->xp_expected = "the link target of " + pkg_text(m) +
                       ", which only its archive holds";
      return false;
    } else if (!S_ISDIR(now->mode) && !S_ISLNK(now->mode)) {
      p->xp_expected = "a file of the type " + pkg_text(m) + " ships";
      return false;
    }
  }
  const pkg_op *op = install_op(*c, m);
  if (op == nullptr) {
    p->xp_expected = "an install, upgrade or reinstall of " + pkg_text(m) +
                     " between the snapshots (none)";
    return false;
  }
  p->xp_older = op->po_old;
  p->xp_verdict = XP_PACKAGE;
  p->xp_expected.clear();
  return true;
}

// A link that the package manager's alternatives manage: it must point
// where they allow.
bool
explain_managed(ctx *c, xp_path *p, const std::string &host)
{
  const db_rec *now = &p->xp_recs[p->xp_kind == DB_KIND_CHANGED ? 1 : 0];
  const std::vector<std::string> *targets = pkg_managed_link(c->db, host);
  if (targets == nullptr || !S_ISLNK(now->mode))
    return false;
  p->xp_package = "(alternatives)";
  bool ok = !(now->mask & (DB_CSUM | DB_SHA256));
  for (const std::string &t : *targets) {
    uint8_t sum[SHA1_LEN], sum256[DB_SHA256_LEN];
    sha_buf(t.data(), int32_t(t.size()), sum);
    ok |= sha256_buf(t.data(), t.size(), sum256) != nullptr &&
          sums_match(now, sum, sum256);
  }
  if (!ok) {
    p->xp_expected = "a link to an alternative the package manager has";
    for (const std::string &t : *targets)
      p->xp_expected += (&t == &(*targets)[0] ? ": " : ", ") + t;
  } else if (c->ops.empty()) {
    p->xp_expected = "a package operation between the snapshots (none)";
  } else {
    p->xp_verdict = XP_PACKAGE;
  }
  return true;
}

void
explain_present(ctx *c, xp_path *p, const std::string &host)
{
  if (explain_managed(c, p, host))
    return;
  const db_rec *now = &p->xp_recs[p->xp_kind == DB_KIND_CHANGED ? 1 : 0];
  std::vector<pkg_claim> claims =
      pkg_claims(c->db, host, S_ISREG(now->mode));
  if (claims.empty()) {
    p->xp_expected = "a package that owns the path (none)";
    return;
  }
  // Only a conffile, or a package that an operation in between installed,
  // can account for the path: the claims that can are tried in order, and
  // when none does, the verdict is the first claim's. A directory that
  // hundreds of packages claim is so checked against the few that
  // changed, not against every archive.
  const xp_path fresh = *p;
  auto hopeless = [c](const pkg_claim &cl) {
    return !cl.pc_conffile && install_op(*c, cl.pc_pkg) == nullptr;
  };
  xp_path first = fresh;
  bool have_first = false;
  for (const pkg_claim &cl : claims) {
    if (hopeless(cl))
      continue;
    *p = fresh;
    if (try_claim(c, p, host, cl) || !c->err.empty())
      return;
    if (&cl == &claims[0]) {
      first = *p;
      have_first = true;
    }
  }
  *p = first;
  if (!have_first)
    try_claim(c, p, host, claims[0]);
}

// The native architecture, for archives of packages no longer installed.
std::vector<std::string>
arches_of(const ctx &c, const std::string &name)
{
  std::vector<std::string> v;
  if (const pkg_meta *m = pkg_find(c.db, name))
    v.push_back(m->pm_arch);
  if (const pkg_meta *d = pkg_find(c.db, "dpkg"))
    v.push_back(d->pm_arch);
  v.push_back("all");
  return v;
}

void
explain_deleted(ctx *c, xp_path *p, const std::string &host)
{
  std::vector<pkg_claim> claims = pkg_claims(c->db, host, false);
  if (!claims.empty()) {
    const pkg_meta *m = claims[0].pc_pkg;
    p->xp_package = m->pm_name;
    p->xp_version = m->pm_version;
    p->xp_expected = "the path, which " + pkg_text(m) + " still ships";
    return;
  }
  std::string unknown;
  for (const auto &entry : c->ops) {
    for (const pkg_op &op : entry.second) {
      if (op.po_old.empty() || op.po_old == op.po_new)
        continue;
      bool found = false;
      for (const std::string &arch : arches_of(*c, op.po_name)) {
        const pkg_archive *ar = nullptr;
        int r = pkg_archive_get(c->db, op.po_name, op.po_old, arch, &ar,
                                &c->err);
        if (r < 0)
          return;
        if (r == 0)
          continue;
        found = true;
        if (ar->pr_files.count(host) == 0)
          continue;
        // Shipped by the older version, and the newer, if any, does not
        // claim it (else it would have claims above).
        p->xp_verdict = XP_PACKAGE;
        p->xp_evidence = XP_EV_ARCHIVE;
        p->xp_package = op.po_name;
        p->xp_version = op.po_new;
        p->xp_older = op.po_old;
        return;
      }
      if (!found)
        unknown += (unknown.empty() ? "" : ", ") + op.po_name + " " + op.po_old;
    }
  }
  p->xp_expected =
      unknown.empty()
          ? "a package removed or upgraded between the snapshots that "
            "shipped it (none)"
          : "what " + unknown + " shipped (no archive at hand)";
}

// Pairs of an unexplained deleted and an unexplained new path that are
// plainly one object: the same inode and contents, or the only pair with
// the same contents and a size above zero.
void
find_moves(std::vector<xp_path> *paths)
{
  auto key = [](const db_rec &r) {
    std::string k(reinterpret_cast<const char *>(r.csum), DB_SUM_LEN);
    if (r.ext != nullptr)
      k.append(reinterpret_cast<const char *>(r.ext->sha256), DB_SHA256_LEN);
    return k + std::to_string(r.size) + "/" + std::to_string(r.mode >> 12);
  };
  std::map<std::string, std::vector<size_t>> gone, came;
  std::map<std::pair<uint64_t, std::string>, std::vector<size_t>> gone_ino;
  for (size_t i = 0; i < paths->size(); i++) {
    xp_path &p = (*paths)[i];
    if (p.xp_verdict != XP_UNEXPLAINED ||
        !(p.xp_recs[0].mask & (DB_CSUM | DB_SHA256)) ||
        !p.xp_package.empty())
      continue;
    if (p.xp_kind == DB_KIND_DELETED) {
      gone[key(p.xp_recs[0])].push_back(i);
      gone_ino[{p.xp_recs[0].ino, key(p.xp_recs[0])}].push_back(i);
    } else if (p.xp_kind == DB_KIND_NEW) {
      came[key(p.xp_recs[0])].push_back(i);
    }
  }
  auto pair = [paths](size_t from, size_t to) {
    xp_path &a = (*paths)[from], &b = (*paths)[to];
    a.xp_verdict = b.xp_verdict = XP_MOVED;
    a.xp_evidence = b.xp_evidence = XP_EV_SNAPSHOTS;
    a.xp_expected.clear();
    b.xp_expected.clear();
    a.xp_peer = b.xp_name;
    b.xp_peer = a.xp_name;
  };
  for (auto &c : came) {
    for (size_t to : c.second) {
      const db_rec &r = (*paths)[to].xp_recs[0];
      auto g = gone_ino.find({r.ino, c.first});
      if ((r.mask & DB_INO) && g != gone_ino.end() && g->second.size() == 1 &&
          (*paths)[g->second[0]].xp_verdict == XP_UNEXPLAINED)
        pair(g->second[0], to);
    }
    auto g = gone.find(c.first);
    if (c.second.size() == 1 && g != gone.end() && g->second.size() == 1 &&
        (*paths)[c.second[0]].xp_recs[0].size > 0 &&
        (*paths)[g->second[0]].xp_verdict == XP_UNEXPLAINED &&
        (*paths)[c.second[0]].xp_verdict == XP_UNEXPLAINED)
      pair(g->second[0], c.second[0]);
  }
}

// A directory whose only changes are its listing's (contents, size,
// links) changed because entries came or went: it is explained when every
// entry that came or went right below it is, by the first one's package.
void
explain_dirs(std::vector<xp_path> *paths)
{
  std::map<std::string, std::vector<const xp_path *>> below;
  for (const xp_path &p : *paths)
    if (p.xp_kind != DB_KIND_CHANGED)
      below[p.xp_name.substr(0, p.xp_name.rfind('/'))].push_back(&p);
  for (xp_path &p : *paths) {
    if (p.xp_kind != DB_KIND_CHANGED || p.xp_verdict != XP_UNEXPLAINED ||
        !S_ISDIR(p.xp_recs[1].mode) ||
        (db_rec_diff(&p.xp_recs[0], &p.xp_recs[1]) &
         ~(DB_CSUM | DB_SHA256 | DB_SIZE | DB_LINKS)) != 0)
      continue;
    auto b = below.find(p.xp_name);
    if (b == below.end())
      continue;
    bool all = true;
    for (const xp_path *e : b->second)
      all &= e->xp_verdict == XP_PACKAGE || e->xp_verdict == XP_MOVED;
    if (!all)
      continue;
    const xp_path *first = b->second[0];
    p.xp_verdict = XP_PACKAGE;
    p.xp_package = first->xp_package;
    p.xp_version = first->xp_version;
    p.xp_older = first->xp_older;
    p.xp_evidence = first->xp_evidence == XP_EV_SNAPSHOTS ? XP_EV_DPKG
                                                          : first->xp_evidence;
    p.xp_expected.clear();
  }
}

// The host path of a snapshot's path: false for one outside the root.
bool
host_of(const std::string &root, const std::string &name, std::string *host)
{
  if (!root.empty() && (name.compare(0, root.size(), root) != 0 ||
                        name[root.size()] != '/'))
    return false;
  *host = name.substr(root.size());
  return true;
}

// The archives that explaining the paths will read, as far as the claims
// tell: those of the claims tried on a present path, and for a deleted
// path no package claims, those of the versions removed in between.
std::vector<pkg_key>
archive_keys(ctx *c, const std::vector<xp_path> &paths)
{
  std::vector<pkg_key> keys;
  std::string host;
  bool gone = false;
  for (const xp_path &p : paths) {
    if (!host_of(c->root, p.xp_name, &host) || pkg_own_state(host))
      continue;
    std::vector<pkg_claim> claims = pkg_claims(c->db, host, false);
    gone |= p.xp_kind == DB_KIND_DELETED && claims.empty();
    if (p.xp_kind == DB_KIND_DELETED || claims.empty())
      continue;
    size_t before = keys.size();
    for (const pkg_claim &cl : claims)
      if (cl.pc_conffile || install_op(*c, cl.pc_pkg) != nullptr)
        keys.push_back({cl.pc_pkg->pm_name, cl.pc_pkg->pm_version,
                        cl.pc_pkg->pm_arch});
    if (keys.size() == before)
      keys.push_back({claims[0].pc_pkg->pm_name, claims[0].pc_pkg->pm_version,
                      claims[0].pc_pkg->pm_arch});
  }
  for (const auto &entry : c->ops)
    for (const pkg_op &op : entry.second)
      if (gone && !op.po_old.empty() && op.po_old != op.po_new)
        for (const std::string &arch : arches_of(*c, op.po_name))
          keys.push_back({op.po_name, op.po_old, arch});
  // An installed package's archive only; each once.
  auto tied = [](const pkg_key &k) {
    return std::tie(k.pk_name, k.pk_version, k.pk_arch);
  };
  std::sort(keys.begin(), keys.end(), [&tied](const pkg_key &a,
                                              const pkg_key &b) {
    return tied(a) < tied(b);
  });
  keys.erase(std::unique(keys.begin(), keys.end(),
                         [&tied](const pkg_key &a, const pkg_key &b) {
                           return tied(a) == tied(b);
                         }),
             keys.end());
  // A package no longer installed has no archive of its own.
  keys.erase(std::remove_if(keys.begin(), keys.end(),
                            [](const pkg_key &k) {
                              return k.pk_version.empty();
                            }),
             keys.end());
  return keys;
}

// Reads, on every core, the files that the dpkg level will read: the
// regular files that a package claims whose archive is not at hand.
void
read_ahead(ctx *c, const std::vector<xp_path> &paths)
{
  pkg_archive_read_ahead(c->db, archive_keys(c, paths));
  std::vector<size_t> todo;
  std::string host;
  for (size_t i = 0; i < paths.size(); i++) {
    const xp_path &p = paths[i];
    const db_rec *now = &p.xp_recs[p.xp_kind == DB_KIND_CHANGED ? 1 : 0];
    if (p.xp_kind == DB_KIND_DELETED || !S_ISREG(now->mode) ||
        !host_of(c->root, p.xp_name, &host) || pkg_own_state(host))
      continue;
    for (const pkg_claim &cl : pkg_claims(c->db, host, false)) {
      const pkg_meta *m = cl.pc_pkg;
      if (m->pm_version.empty() ||
          !pkg_archive_near(c->db, m->pm_name, m->pm_version, m->pm_arch)) {
        todo.push_back(i);
        break;
      }
    }
  }
  std::atomic<size_t> next(0);
  auto work = [c, &paths, &todo, &next] {
    for (size_t k; (k = next++) < todo.size();) {
      const xp_path &p = paths[todo[k]];
      const db_rec *now = &p.xp_recs[p.xp_kind == DB_KIND_CHANGED ? 1 : 0];
      disk_sums(p.xp_name, now->mask, &c->disk[todo[k]]);
    }
  };
  std::vector<std::thread> threads;
  for (int t = 1; t < port_ncpu() && size_t(t) < todo.size(); t++)
    threads.emplace_back(work);
  work();
  for (std::thread &t : threads)
    t.join();
}

}  // namespace

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

int
xp_explain(pkg_db *db, const std::string &root, int64_t from, int64_t to,
           std::vector<xp_path> *paths, std::string *err)
{
  ctx c;
  c.db = db;
  c.root = root;
  for (const pkg_op &op : pkg_ops(db, from, to))
    c.ops[op.po_name].push_back(op);
  c.disk.resize(paths->size());
  read_ahead(&c, *paths);
  for (c.at = 0; c.at < paths->size(); c.at++) {
    xp_path &p = (*paths)[c.at];
    std::string host;
    if (!host_of(root, p.xp_name, &host)) {
      p.xp_expected = "a path under " + root;
      continue;
    }
    // The package manager's own records change with every operation;
    // what they say is what every other verdict rests on.
    if (pkg_own_state(host)) {
      if (!c.ops.empty()) {
        p.xp_verdict = XP_PACKAGE;
        p.xp_package = "(package manager)";
      } else {
        p.xp_expected = "a package operation between the snapshots (none)";
      }
      continue;
    }
    if (p.xp_kind == DB_KIND_DELETED)
      explain_deleted(&c, &p, host);
    else
      explain_present(&c, &p, host);
    if (!c.err.empty()) {
      *err = c.err;
      return -1;
    }
  }
  find_moves(paths);
  explain_dirs(paths);
  return 0;
}

int
xp_status(const std::vector<xp_path> &paths)
{
  for (const xp_path &p : paths)
    if (p.xp_verdict == XP_UNEXPLAINED || p.xp_verdict == XP_CONFFILE)
      return 1;
  return 0;
}
