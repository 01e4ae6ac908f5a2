// explain_rules.cc: the rules for what maintainer scripts do beside
// unpacking their package: links, copies, leftovers of configuration
// files, the CA bundle and its configuration regenerated, certificates'
// links withdrawn, modes narrowed, directories and logs made.
// Each explains a path only from what the host cannot rewrite: a package
// archive verified through a signed index, or the snapshots themselves.
// None explains a path that gives anybody something: a set-ID bit, an
// extended attribute (a capability, an ACL, a label), a mode writable by
// others, a link out of the watched tree, contents that are not a verified
// package file's or the older snapshot's. An attribute the policy does not
// record is not checked: it is not reported either.
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "explain/explain_int.h"
#include "sha256/sha256.h"

const char *const XP_RULE_NAMES[XP_RULES] = {
    "unchanged", "link",  "leftover", "copy",      "regenerated", "narrowed",
    "enabled",   "named", "log",      "withdrawn", "entries"};

namespace {

// What a rule proved: the evidence, and the package it rests on if any.
struct rule_proof {
  xp_evidence_kind rp_ev = XP_EV_ARCHIVE;
  std::string rp_package, rp_version, rp_older;
};

// What the rules share over one comparison.
struct rule_env {
  xp_ctx *re_c;
  std::vector<xp_path> *re_paths;
  std::map<std::string, size_t> re_at;  // a path's index by its host path
  std::map<std::string, std::vector<size_t>> re_below;  // by directory
  // The regular files of the archives verified in this comparison, by
  // SHA-1, with their SHA-256; and their SHA-256 alone.
  bool re_shipped_done = false;
  std::map<std::string, std::string> re_shipped;
  std::map<std::string, bool> re_shipped256;
  // The maintainer scripts of the verified archives, by package, read
  // once.
  std::map<std::string, std::vector<std::pair<const pkg_op *, std::string>>>
      re_scripts;
  bool re_scripts_done = false;
};

using rule_fn = bool (*)(rule_env *e, const xp_path &p, const std::string &host,
                         rule_proof *proof);

constexpr uint16_t SET_ID = S_ISUID | S_ISGID;
// The accounts that the system's packages make: below the first user's.
constexpr uint32_t SYSTEM_ID_MAX = 999;
// What a file may hold, read whole: a CA bundle runs to a few hundred
// kilobytes, a maintainer script to some.
constexpr off_t TEXT_MAX = off_t(16) << 20;

bool
has_digest(const db_rec *r)
{
  return (r->mask & (DB_CSUM | DB_SHA256)) != 0;
}

// A record that gives nobody anything: its mode known, no set-ID bit, not
// writable by others, no extended attribute; its owner and group, where
// recorded, the system's own.
bool
gives_nothing(const db_rec *r)
{
  if (!(r->mask & DB_MODE) || (r->mode & (SET_ID | S_IWOTH)))
    return false;
  if ((r->mask & DB_XATTR) && r->ext != nullptr && r->ext->xa_len > 0)
    return false;
  return !((r->mask & DB_UID) && r->uid > SYSTEM_ID_MAX) &&
         !((r->mask & DB_GID) && r->gid > SYSTEM_ID_MAX);
}

// The file at name as it is, not through a link; false when it cannot be
// read or is larger than TEXT_MAX.
bool
read_text(const std::string &name, std::string *text)
{
  int fd = open(name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0)
    return false;
  struct stat st;
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
            st.st_size <= TEXT_MAX;
  text->clear();
  char buf[1 << 16];
  ssize_t n = 0;
  while (ok &&
         ((n = read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR)))
    if (n > 0 &&
        (text->append(buf, size_t(n)), text->size() > size_t(TEXT_MAX)))
      ok = false;
  close(fd);
  return ok && n == 0;
}

// The digests of text: SHA-1 and SHA-256.
struct text_sums {
  uint8_t ts_sha1[SHA1_LEN];
  uint8_t ts_sha256[DB_SHA256_LEN];
};

text_sums
sums_of(const std::string &text)
{
  text_sums s;
  sha_buf(text.data(), int32_t(text.size()), s.ts_sha1);
  if (sha256_buf(text.data(), text.size(), s.ts_sha256) == nullptr)
    memset(s.ts_sha256, 0, sizeof s.ts_sha256);
  return s;
}

// True when text is what r holds: r must hold a digest.
bool
text_is(const db_rec *r, const std::string &text)
{
  text_sums s = sums_of(text);
  return has_digest(r) && xp_sums_match(r, s.ts_sha1, s.ts_sha256);
}

// True when text is the archive's file a.
bool
text_is_shipped(const pkg_afile &a, const std::string &text)
{
  text_sums s = sums_of(text);
  return memcmp(s.ts_sha1, a.pa_sum, SHA1_LEN) == 0 &&
         memcmp(s.ts_sha256, a.pa_sum256, DB_SHA256_LEN) == 0;
}

// The archives verified for the operations in the window that installed a
// version, each with its operation.
template <typename F>
void
each_installed(rule_env *e, F f)
{
  for (const auto &entry : e->re_c->xc_ops)
    for (const pkg_op &op : entry.second) {
      if (op.po_new.empty() || xp_is_downgrade(op))
        continue;
      for (const std::string &arch : xp_arches_of(*e->re_c, op.po_name)) {
        const pkg_archive *ar = nullptr;
        std::string why;
        if (xp_archive_at(e->re_c, op.po_name, op.po_new, arch, &ar, &why) >
            0) {
          f(op, *ar);
          break;
        }
      }
    }
}

// The verified archive of a package that claims host at its installed
// version, and its file there; null when none.
const pkg_afile *
shipped_by_claim(rule_env *e, const std::string &host, const pkg_meta **by)
{
  for (const pkg_claim &cl : pkg_claims(e->re_c->xc_db, host, false)) {
    const pkg_meta *m = cl.pc_pkg;
    const pkg_archive *ar = nullptr;
    std::string why;
    if (m->pm_version.empty() ||
        xp_archive_at(e->re_c, m->pm_name, m->pm_version, m->pm_arch, &ar,
                      &why) <= 0)
      continue;
    auto f = ar->pr_files.find(host);
    if (f != ar->pr_files.end()) {
      *by = m;
      return &f->second;
    }
  }
  return nullptr;
}

void
prove_by(rule_proof *proof, const std::string &name, const std::string &version,
         const std::string &older)
{
  proof->rp_ev = XP_EV_ARCHIVE;
  proof->rp_package = name;
  proof->rp_version = version;
  proof->rp_older = older;
}

// unchanged: rewritten as it was; only the inode differs (kavcmp never
// counts the change time as a change).
bool
rule_unchanged(rule_env *, const xp_path &p, const std::string &,
               rule_proof *proof)
{
  if (p.xp_kind != DB_KIND_CHANGED || p.xp_recs[0].mask != p.xp_recs[1].mask ||
      db_rec_diff(&p.xp_recs[0], &p.xp_recs[1]) != DB_INO)
    return false;
  proof->rp_ev = XP_EV_SNAPSHOTS;
  return true;
}

// Where a link may lead from the directory it is in: a directory that
// fnmatch takes, and the directories its target may lie below.
struct link_place {
  const char *lp_dir;
  const char *lp_to[2];
};
constexpr const char *UNITS[2] = {"/lib/systemd/system/",
                                  "/usr/lib/systemd/system/"};
constexpr link_place LINK_PLACES[] = {
    {"/etc/rc[0-6S].d", {"/etc/init.d/", nullptr}},
    {"/etc/systemd/system", {UNITS[0], UNITS[1]}},
    {"/etc/systemd/system/*.wants", {UNITS[0], UNITS[1]}},
    {"/etc/systemd/system/*.requires", {UNITS[0], UNITS[1]}},
    {"/var/lib/systemd/deb-systemd-helper-enabled", {UNITS[0], UNITS[1]}},
    {"/var/lib/systemd/deb-systemd-helper-enabled/*.wants",
     {UNITS[0], UNITS[1]}},
    {"/etc/nginx/sites-enabled", {"/etc/nginx/sites-available/", nullptr}},
    {"/etc/nginx/modules-enabled",
     {"/usr/share/nginx/modules-available/", nullptr}},
    {"/etc/ssl/certs", {"/usr/share/ca-certificates/", "/etc/ssl/certs/"}},
};

bool
place_fits(const std::string &dir, const std::string &to)
{
  for (const link_place &lp : LINK_PLACES) {
    if (fnmatch(lp.lp_dir, dir.c_str(), FNM_PATHNAME | FNM_PERIOD) != 0)
      continue;
    for (const char *t : lp.lp_to)
      if (t != nullptr && to.size() > strlen(t) &&
          to.compare(0, strlen(t), t) == 0)
        return true;
  }
  return false;
}

// The host path a link at host leads to, its . and .. taken away; false
// for one that climbs above the root.
bool
link_resolve(const std::string &host, const std::string &target,
             std::string *to)
{
  std::string whole =
      target[0] == '/' ? target : host.substr(0, host.rfind('/') + 1) + target;
  std::vector<std::string_view> parts;
  std::string_view rest(whole);
  while (!rest.empty()) {
    size_t slash = rest.find('/');
    std::string_view part = rest.substr(0, slash);
    rest.remove_prefix(slash == std::string_view::npos ? rest.size()
                                                       : slash + 1);
    if (part.empty() || part == ".")
      continue;
    if (part == "..") {
      if (parts.empty())
        return false;
      parts.pop_back();
    } else {
      parts.push_back(part);
    }
  }
  to->clear();
  for (std::string_view part : parts)
    to->append("/").append(part);
  return !to->empty();
}

// link: a new or retargeted symbolic link, as the snapshot records it,
// into a place that fits where it is, to a file verified in this
// comparison or unchanged since the older snapshot and shipped by a
// verified archive; never to a place the newer snapshot does not record.
bool
rule_link(rule_env *e, const xp_path &p, const std::string &host,
          rule_proof *proof)
{
  // A link's own mode means nothing; its owner and attributes are checked
  // as a file's.
  const db_rec *now = xp_now(p);
  db_rec as_file = *now;
  as_file.mode = S_IFLNK | 0755;
  if (!S_ISLNK(now->mode) || !has_digest(now) || !gives_nothing(&as_file))
    return false;
  char buf[4096];
  ssize_t n = readlink(xp_disk(e->re_c, host).c_str(), buf, sizeof buf);
  if (n <= 0 || size_t(n) == sizeof buf)
    return false;
  std::string target(buf, size_t(n)), to;
  if (!text_is(now, target) || !link_resolve(host, target, &to))
    return false;
  // Where it leads once the links among its directories are followed: a
  // planted link to a directory cannot lead a fitting place elsewhere.
  std::string canon = pkg_canon(e->re_c->xc_db, to);
  if (!place_fits(host.substr(0, host.rfind('/')), canon))
    return false;
  const xp_path *q = nullptr;
  xp_evidence_kind ev;
  if (!xp_target_verified(e->re_c, *e->re_paths, e->re_at, {}, canon, &q, &ev))
    return false;
  if (q != nullptr)
    prove_by(proof, q->xp_package, q->xp_version, q->xp_older);
  proof->rp_ev = ev;
  return true;
}

std::string
bytes(const uint8_t *b, size_t n)
{
  return std::string(reinterpret_cast<const char *>(b), n);
}

// copy: the contents, as the snapshot records them, of a regular file
// that an archive verified in this comparison ships.
bool
rule_copy(rule_env *e, const xp_path &p, const std::string &, rule_proof *proof)
{
  const db_rec *now = xp_now(p);
  if (!S_ISREG(now->mode) || !has_digest(now) || !gives_nothing(now))
    return false;
  if (!e->re_shipped_done) {
    e->re_shipped_done = true;
    each_installed(e, [e](const pkg_op &, const pkg_archive &ar) {
      for (const auto &f : ar.pr_files)
        if (S_ISREG(f.second.pa_mode)) {
          e->re_shipped[bytes(f.second.pa_sum, SHA1_LEN)] =
              bytes(f.second.pa_sum256, DB_SHA256_LEN);
          e->re_shipped256[bytes(f.second.pa_sum256, DB_SHA256_LEN)] = true;
        }
    });
  }
  bool have = false;
  if (now->mask & DB_CSUM) {
    auto it = e->re_shipped.find(bytes(now->csum, SHA1_LEN));
    if (it == e->re_shipped.end())
      return false;
    uint8_t sum256[DB_SHA256_LEN];
    memcpy(sum256, it->second.data(), DB_SHA256_LEN);
    have = xp_sums_match(now, now->csum, sum256);
  } else if (now->ext != nullptr) {
    have = e->re_shipped256.count(bytes(now->ext->sha256, DB_SHA256_LEN)) != 0;
  }
  proof->rp_ev = XP_EV_ARCHIVE;
  return have;
}

// A leftover's mode and owner against the conffile it is a copy of: the
// same owner, no permission the conffile lacked.
bool
leftover_fits(const db_rec *now, uint16_t mode, uint32_t uid, uint32_t gid)
{
  return (now->mode & 07777 & ~(mode & 07777)) == 0 &&
         !((now->mask & DB_UID) && now->uid != uid) &&
         !((now->mask & DB_GID) && now->gid != gid);
}

// leftover: a conffile's copy that dpkg or ucf leaves beside it, holding
// what the older snapshot recorded for the conffile or what a verified
// archive of its package ships there.
bool
rule_leftover(rule_env *e, const xp_path &p, const std::string &host,
              rule_proof *proof)
{
  static constexpr const char *SUFFIXES[] = {".dpkg-old", ".dpkg-dist",
                                             ".dpkg-new", ".ucf-old",
                                             ".ucf-dist", ".ucf-new"};
  const db_rec *now = xp_now(p);
  if (!S_ISREG(now->mode) || !has_digest(now) || !gives_nothing(now))
    return false;
  std::string base;
  for (std::string_view s : SUFFIXES)
    if (host.size() > s.size() + 1 &&
        host.compare(host.size() - s.size(), s.size(), s) == 0)
      base = host.substr(0, host.size() - s.size());
  if (base.empty())
    return false;
  auto at = e->re_at.find(base);
  if (at != e->re_at.end()) {
    const xp_path &b = (*e->re_paths)[at->second];
    const db_rec *was = &b.xp_recs[0];
    uint8_t sum256[DB_SHA256_LEN] = {};
    if (was->ext != nullptr)
      memcpy(sum256, was->ext->sha256, DB_SHA256_LEN);
    if (b.xp_kind != DB_KIND_NEW && S_ISREG(was->mode) &&
        (was->mask & now->mask & (DB_CSUM | DB_SHA256)) ==
            (now->mask & (DB_CSUM | DB_SHA256)) &&
        xp_sums_match(now, was->csum, sum256) &&
        leftover_fits(now, was->mode, was->uid, was->gid)) {
      proof->rp_ev = XP_EV_SNAPSHOTS;
      return true;
    }
  }
  for (const pkg_claim &cl : pkg_claims(e->re_c->xc_db, base, false)) {
    const pkg_meta *m = cl.pc_pkg;
    std::vector<std::string> versions = {m->pm_version};
    auto ops = e->re_c->xc_ops.find(m->pm_name);
    if (ops != e->re_c->xc_ops.end())
      for (const pkg_op &op : ops->second)
        versions.push_back(op.po_old);
    for (const std::string &v : versions) {
      const pkg_archive *ar = nullptr;
      std::string why;
      if (v.empty() ||
          xp_archive_at(e->re_c, m->pm_name, v, m->pm_arch, &ar, &why) <= 0)
        continue;
      auto f = ar->pr_files.find(base);
      if (f == ar->pr_files.end() || !S_ISREG(f->second.pa_mode) ||
          !xp_sums_match(now, f->second.pa_sum, f->second.pa_sum256) ||
          !leftover_fits(now, f->second.pa_mode, f->second.pa_uid,
                         f->second.pa_gid))
        continue;
      prove_by(proof, m->pm_name, v, "");
      return true;
    }
  }
  return false;
}

const char CA_BUNDLE[] = "/etc/ssl/certs/ca-certificates.crt";
const char CA_CONF[] = "/etc/ca-certificates.conf";
const char CA_DIR[] = "/usr/share/ca-certificates/";
const char CERTS_DIR[] = "/etc/ssl/certs/";

// The certificate a line of the CA configuration names, trimmed as
// update-ca-certificates trims it: its host path under CA_DIR, and
// whether the line enables it ('!' takes it away). *cert is empty for a
// blank line or a comment; false for a line that leads out of CA_DIR.
bool
ca_conf_line(std::string_view line, std::string *cert, bool *enabled)
{
  cert->clear();
  while (!line.empty() && (line.front() == ' ' || line.front() == '\t'))
    line.remove_prefix(1);
  while (!line.empty() && (line.back() == ' ' || line.back() == '\t'))
    line.remove_suffix(1);
  if (line.empty() || line[0] == '#')
    return true;
  *enabled = line[0] != '!';
  if (!*enabled)
    line.remove_prefix(1);
  return !line.empty() && link_resolve(CA_DIR, std::string(line), cert) &&
         cert->compare(0, strlen(CA_DIR), CA_DIR) == 0;
}

// The contents of the certificate at cert, when a verified archive ships
// it there with those contents: true and *text, else false.
bool
ca_cert_shipped(rule_env *e, const std::string &cert, std::string *text)
{
  const pkg_meta *m = nullptr;
  const pkg_afile *a = shipped_by_claim(e, pkg_canon(e->re_c->xc_db, cert), &m);
  return a != nullptr && read_text(xp_disk(e->re_c, cert), text) &&
         text_is_shipped(*a, *text);
}

// The CA configuration or bundle at host, read as it is: a root-owned
// file of mode 0644 at most that the snapshot records with these contents.
bool
ca_file(rule_env *e, const xp_path &p, const std::string &host,
        std::string *text)
{
  const db_rec *now = xp_now(p);
  return S_ISREG(now->mode) && gives_nothing(now) &&
         !(now->mode & 07777 & ~0644) &&
         read_text(xp_disk(e->re_c, host), text) && text_is(now, *text);
}

// regenerated, the CA bundle: as update-ca-certificates writes it from the
// certificates its configuration enables, in the configuration's order,
// each ending in a newline; every one a file of a verified archive. The
// configuration only picks among those: a certificate of its own, or one
// the administrator added under /usr/local, leaves the bundle unexplained.
bool
ca_bundle(rule_env *e, const xp_path &p, const std::string &host)
{
  std::string bundle, conf;
  if (!ca_file(e, p, host, &bundle) ||
      !read_text(xp_disk(e->re_c, CA_CONF), &conf))
    return false;
  std::string made;
  std::string_view rest(conf);
  while (!rest.empty()) {
    std::string_view line = rest.substr(0, rest.find('\n'));
    rest.remove_prefix(std::min(rest.size(), line.size() + 1));
    std::string cert, text;
    bool enabled = false;
    if (!ca_conf_line(line, &cert, &enabled))
      return false;
    struct stat st;
    if (cert.empty() || !enabled ||
        lstat(xp_disk(e->re_c, cert).c_str(), &st) != 0)
      continue;  // the tool skips what is not there
    if (!ca_cert_shipped(e, cert, &text))
      return false;
    made += text;
    if (!text.empty() && text.back() != '\n')
      made += '\n';
  }
  return made == bundle;
}

// regenerated, the CA configuration: the list the package's script writes
// of the certificates it ships, each line a comment, a certificate that a
// verified archive ships with the contents it has here, or one taken away
// ('!'). What the older configuration held is not recorded, so a line the
// administrator had taken away and that is now enabled again cannot be
// told from the script's work: the snapshot's digest of the bundle and
// the bundle rule still hold every enabled certificate to the archives.
bool
ca_conf(rule_env *e, const xp_path &p, const std::string &host)
{
  std::string conf;
  if (!ca_file(e, p, host, &conf))
    return false;
  std::string_view rest(conf);
  bool any = false;
  while (!rest.empty()) {
    std::string_view line = rest.substr(0, rest.find('\n'));
    rest.remove_prefix(std::min(rest.size(), line.size() + 1));
    std::string cert, text;
    bool enabled = false;
    if (!ca_conf_line(line, &cert, &enabled) ||
        (!cert.empty() && enabled && !ca_cert_shipped(e, cert, &text)))
      return false;
    any |= !cert.empty() && enabled;
  }
  return any;
}

// regenerated: a file that a script computes from verified inputs, computed
// again here and found equal: the CA bundle and its configuration.
bool
rule_regenerated(rule_env *e, const xp_path &p, const std::string &host,
                 rule_proof *proof)
{
  if (!(host == CA_BUNDLE ? ca_bundle(e, p, host)
                          : host == CA_CONF && ca_conf(e, p, host)))
    return false;
  proof->rp_ev = XP_EV_ARCHIVE;
  return true;
}

// withdrawn: a link that update-ca-certificates takes out of CERTS_DIR when
// a certificate leaves: the older snapshot records it as leading to a
// certificate under CA_DIR whose removal a package explained in this
// comparison, or, for a hash link, to the name of such a link withdrawn
// beside it. Taking a certificate's link away trusts nobody new.
bool
rule_withdrawn(rule_env *e, const xp_path &p, const std::string &host,
               rule_proof *proof)
{
  const db_rec *was = &p.xp_recs[0];
  if (p.xp_kind != DB_KIND_DELETED || !S_ISLNK(was->mode) || !has_digest(was) ||
      host.compare(0, strlen(CERTS_DIR), CERTS_DIR) != 0 ||
      host.find('/', strlen(CERTS_DIR)) != std::string::npos)
    return false;
  auto gone = [e](const std::string &dir, auto fits) -> const xp_path * {
    for (auto it = e->re_at.lower_bound(dir);
         it != e->re_at.end() && it->first.compare(0, dir.size(), dir) == 0;
         ++it) {
      const xp_path &q = (*e->re_paths)[it->second];
      if (q.xp_kind == DB_KIND_DELETED && q.xp_verdict == XP_PACKAGE &&
          fits(it->first, q))
        return &q;
    }
    return nullptr;
  };
  const xp_path *q = gone(CA_DIR, [was](const std::string &h, const xp_path &) {
    return text_is(was, h);
  });
  if (q == nullptr)
    q = gone(CERTS_DIR, [was](const std::string &h, const xp_path &r) {
      return r.xp_rule != nullptr && strcmp(r.xp_rule, "withdrawn") == 0 &&
             h.find('/', strlen(CERTS_DIR)) == std::string::npos &&
             text_is(was, h.substr(strlen(CERTS_DIR)));
    });
  if (q == nullptr)
    return false;
  prove_by(proof, q->xp_package, q->xp_version, q->xp_older);
  proof->rp_ev = q->xp_evidence;
  return true;
}

// Where a script may give a directory or file to a system account: the
// places where daemons keep their logs and state.
constexpr const char *OWNER_PLACES[] = {"/var/log/", "/var/lib/", "/var/cache/",
                                        "/var/spool/"};

// narrowed: a package's file with the contents its verified archive ships
// and a mode that only takes rights away. The owner may go from root to a
// system account only in OWNER_PLACES, without a set-ID bit, and not on a
// program.
bool
rule_narrowed(rule_env *e, const xp_path &p, const std::string &host,
              rule_proof *proof)
{
  const db_rec *now = xp_now(p);
  if (!(now->mask & DB_MODE) ||
      ((now->mask & DB_XATTR) && now->ext != nullptr && now->ext->xa_len > 0))
    return false;
  for (const pkg_claim &cl : pkg_claims(e->re_c->xc_db, host, false)) {
    const pkg_meta *m = cl.pc_pkg;
    const pkg_op *op = xp_install_op(*e->re_c, m);
    const pkg_archive *ar = nullptr;
    std::string why;
    if (op == nullptr || xp_is_downgrade(*op) ||
        xp_archive_at(e->re_c, m->pm_name, m->pm_version, m->pm_arch, &ar,
                      &why) <= 0)
      continue;
    auto f = ar->pr_files.find(host);
    if (f == ar->pr_files.end())
      continue;
    const pkg_afile &a = f->second;
    if ((now->mode & S_IFMT) != (a.pa_mode & S_IFMT) ||
        (now->mode & 07777 & ~(a.pa_mode & 07777)) != 0)
      continue;
    if ((S_ISREG(a.pa_mode) || S_ISLNK(a.pa_mode)) &&
        (!has_digest(now) || !xp_sums_match(now, a.pa_sum, a.pa_sum256)))
      continue;
    auto owner_ok = [&](uint32_t mask, uint32_t have, uint32_t shipped) {
      if (!(now->mask & mask) || have == shipped)
        return true;
      bool placed = false;
      for (std::string_view d : OWNER_PLACES)
        placed |= host.compare(0, d.size(), d) == 0;
      return placed && shipped == 0 && have > 0 && have <= SYSTEM_ID_MAX &&
             !(now->mode & SET_ID) &&
             !(S_ISREG(now->mode) && (now->mode & 0111));
    };
    if (!owner_ok(DB_UID, now->uid, a.pa_uid) ||
        !owner_ok(DB_GID, now->gid, a.pa_gid))
      continue;
    prove_by(proof, m->pm_name, m->pm_version, op->po_old);
    return true;
  }
  return false;
}

const char SYSTEMD_DIR[] = "/etc/systemd/system/";
const char ENABLED_DIR[] = "/var/lib/systemd/deb-systemd-helper-enabled/";

// Whether the unit's link at host is one of this comparison that a rule
// or a package explained, or one the newer snapshot records unchanged:
// true with the evidence it rests on.
bool
unit_link_known(rule_env *e, const std::string &host, xp_evidence_kind *ev)
{
  auto at = e->re_at.find(host);
  if (at == e->re_at.end()) {
    *ev = XP_EV_SNAPSHOTS;
    return e->re_c->xc_recorded &&
           e->re_c->xc_recorded(e->re_c->xc_root + host);
  }
  const xp_path &q = (*e->re_paths)[at->second];
  *ev = q.xp_evidence;
  return q.xp_verdict == XP_PACKAGE && q.xp_kind != DB_KIND_DELETED &&
         S_ISLNK(xp_now(q)->mode);
}

// enabled: what deb-systemd-helper keeps of a unit it enabled, under
// ENABLED_DIR: an empty file beside each link it made under SYSTEMD_DIR
// (at the same path below), and UNIT.dsh-also listing those links, one a
// line; every link one that unit_link_known knows. The files are read as
// they are, and must be what the snapshot records where it records their
// contents.
bool
rule_enabled(rule_env *e, const xp_path &p, const std::string &host,
             rule_proof *proof)
{
  const db_rec *now = xp_now(p);
  std::string text;
  if (host.compare(0, strlen(ENABLED_DIR), ENABLED_DIR) != 0 ||
      !S_ISREG(now->mode) || !gives_nothing(now) || (now->mode & 0111) ||
      !read_text(xp_disk(e->re_c, host), &text) ||
      (has_digest(now) && !text_is(now, text)))
    return false;
  std::string rest = host.substr(strlen(ENABLED_DIR));
  static constexpr std::string_view ALSO = ".dsh-also";
  if (rest.size() <= ALSO.size() ||
      rest.compare(rest.size() - ALSO.size(), ALSO.size(), ALSO) != 0)
    return text.empty() &&
           unit_link_known(e, SYSTEMD_DIR + rest, &proof->rp_ev);
  std::string_view lines(text);
  bool any = false;
  proof->rp_ev = XP_EV_ARCHIVE;
  while (!lines.empty()) {
    std::string_view line = lines.substr(0, lines.find('\n'));
    lines.remove_prefix(std::min(lines.size(), line.size() + 1));
    xp_evidence_kind ev;
    std::string link(line), canon;
    if (line.empty())
      continue;
    if (!link_resolve("/", link, &canon) || canon != link ||
        link.compare(0, strlen(SYSTEMD_DIR), SYSTEMD_DIR) != 0 ||
        !unit_link_known(e, link, &ev))
      return false;
    if (ev == XP_EV_SNAPSHOTS)
      proof->rp_ev = ev;
    any = true;
  }
  return any;
}

// A script names a path literally: the path, then an end of word (or a
// slash: a directory made on the way to the path it names).
bool
names(const std::string &script, const std::string &host)
{
  for (size_t at = script.find(host); at != std::string::npos;
       at = script.find(host, at + 1)) {
    if (at > 0 && (isalnum(static_cast<unsigned char>(script[at - 1])) ||
                   strchr("_.-", script[at - 1]) != nullptr))
      continue;
    size_t end = at + host.size();
    if (end == script.size() ||
        (!isalnum(static_cast<unsigned char>(script[end])) &&
         strchr("_.-", script[end]) == nullptr))
      return true;
  }
  return false;
}

// A script's text without the root that dpkg gives it (DPKG_ROOT, empty
// but for dpkg --root), so that the paths it names stand alone.
std::string
without_root(std::string text)
{
  for (std::string_view v : {"${DPKG_ROOT}", "$DPKG_ROOT"})
    for (size_t at; (at = text.find(v)) != std::string::npos;)
      text.erase(at, v.size());
  return text;
}

// The window after an operation's line in the log in which its scripts
// run: dpkg configures what it unpacked within the same run.
constexpr int64_t SCRIPT_WINDOW = 3600;

// The maintainer scripts of the packages installed in the window, as dpkg
// keeps them under its info directory and a verified archive has them.
void
read_scripts(rule_env *e)
{
  static constexpr const char *SCRIPTS[] = {"preinst", "postinst", "prerm",
                                            "postrm", "config"};
  e->re_scripts_done = true;
  each_installed(e, [e](const pkg_op &op, const pkg_archive &ar) {
    for (const char *s : SCRIPTS) {
      auto c = ar.pr_control.find(s);
      if (c == ar.pr_control.end())
        continue;
      std::string text;
      for (const std::string &name :
           {op.po_name, op.po_name + ":" + ar.pr_arch}) {
        if (read_text(xp_disk(e->re_c, "/var/lib/dpkg/info/" + name + "." + s),
                      &text) &&
            text_is_shipped(c->second, text)) {
          e->re_scripts[op.po_name].emplace_back(&op, without_root(text));
          break;
        }
      }
    }
  });
}

// named: a new directory, or a new regular file that holds nothing the
// snapshot records (empty, or contents the policy leaves unrecorded),
// that a verified maintainer script of a package installed in the window
// names, made within SCRIPT_WINDOW of that operation where the snapshot
// records the change time; a directory only once every entry in it is
// explained.
bool
rule_named(rule_env *e, const xp_path &p, const std::string &host,
           rule_proof *proof)
{
  const db_rec *now = xp_now(p);
  if (p.xp_kind != DB_KIND_NEW || !gives_nothing(now))
    return false;
  if (S_ISREG(now->mode)) {
    if ((now->mode & 0111) || (has_digest(now) && !text_is(now, "")))
      return false;
  } else if (S_ISDIR(now->mode)) {
    auto b = e->re_below.find(host);
    if (b != e->re_below.end())
      for (size_t i : b->second) {
        const xp_path &q = (*e->re_paths)[i];
        if (q.xp_kind != DB_KIND_DELETED && q.xp_verdict != XP_PACKAGE &&
            q.xp_verdict != XP_MOVED)
          return false;
      }
  } else {
    return false;
  }
  if (!e->re_scripts_done)
    read_scripts(e);
  for (const auto &pkg : e->re_scripts)
    for (const auto &s : pkg.second) {
      const pkg_op &op = *s.first;
      if ((now->mask & DB_CTIME) &&
          (now->ctime < op.po_when || now->ctime > op.po_when + SCRIPT_WINDOW))
        continue;
      if (!names(s.second, host))
        continue;
      prove_by(proof, op.po_name, op.po_new, op.po_old);
      return true;
    }
  return false;
}

// log: a new regular file under /var/log, where the policy records no
// contents (the sample policy keeps only modes and owners there: logs
// grow all the time), that is no program and gives nobody anything. It
// vouches for no contents, for none are recorded; a log whose contents
// the policy records stays unexplained.
bool
rule_log(rule_env *, const xp_path &p, const std::string &host,
         rule_proof *proof)
{
  const db_rec *now = xp_now(p);
  if (p.xp_kind != DB_KIND_NEW || host.compare(0, 9, "/var/log/") != 0 ||
      !S_ISREG(now->mode) || !gives_nothing(now) || (now->mode & 0111) ||
      has_digest(now))
    return false;
  proof->rp_ev = XP_EV_SNAPSHOTS;
  return true;
}

// entries: a new directory that gives nobody anything and holds entries,
// every one explained. (A changed directory whose listing alone changed
// is xp_explain_dirs's.)
bool
rule_entries(rule_env *e, const xp_path &p, const std::string &host,
             rule_proof *proof)
{
  const db_rec *now = xp_now(p);
  auto b = e->re_below.find(host);
  if (p.xp_kind != DB_KIND_NEW || !S_ISDIR(now->mode) || !gives_nothing(now) ||
      b == e->re_below.end())
    return false;
  const xp_path *first = nullptr;
  for (size_t i : b->second) {
    const xp_path &q = (*e->re_paths)[i];
    if (q.xp_verdict != XP_PACKAGE && q.xp_verdict != XP_MOVED)
      return false;
    if (first == nullptr)
      first = &q;
  }
  proof->rp_ev = first->xp_evidence;
  proof->rp_package = first->xp_package;
  proof->rp_version = first->xp_version;
  proof->rp_older = first->xp_older;
  return true;
}

// What a rule may look at: what the package verdicts left unexplained, and
// not the package manager's own (its state and the alternatives have rules
// of their own). A claim keeps its verdict: it says what would verify it.
bool
open_to_rules(const xp_path &p)
{
  return p.xp_verdict == XP_UNEXPLAINED &&
         p.xp_package != "(package manager)" &&
         p.xp_package != "(alternatives)";
}

// The paths a rule is for: any, those a package claims, or those none
// does. For a path a package claims, that package's archive alone
// accounts for what it holds: a program replaced by a copy of another
// verified program is no copy.
enum rule_for { FOR_ANY, FOR_CLAIMED, FOR_UNCLAIMED };
struct rule_def {
  rule_fn rd_fn;
  rule_for rd_for;
  bool rd_deleted = false;  // for deleted paths, and only those
};
// In the order of XP_RULE_NAMES.
constexpr rule_def RULES[] = {
    {rule_unchanged, FOR_ANY},         {rule_link, FOR_UNCLAIMED},
    {rule_leftover, FOR_UNCLAIMED},    {rule_copy, FOR_UNCLAIMED},
    {rule_regenerated, FOR_UNCLAIMED}, {rule_narrowed, FOR_CLAIMED},
    {rule_enabled, FOR_UNCLAIMED},     {rule_named, FOR_UNCLAIMED},
    {rule_log, FOR_UNCLAIMED},         {rule_withdrawn, FOR_UNCLAIMED, true},
    {rule_entries, FOR_UNCLAIMED}};
static_assert(std::size(RULES) == XP_RULES, "a function for each rule");
static_assert(RULES[XP_RULE_ENTRIES].rd_fn == rule_entries,
              "XP_RULE_ENTRIES names rule_entries");

}  // namespace

void
xp_apply_rules(xp_ctx *c, std::vector<xp_path> *paths)
{
  rule_env e;
  e.re_c = c;
  e.re_paths = paths;
  std::vector<std::string> hosts(paths->size());
  for (size_t i = 0; i < paths->size(); i++)
    if (xp_host_of(c->xc_root, (*paths)[i].xp_name, &hosts[i])) {
      e.re_at[hosts[i]] = i;
      e.re_below[hosts[i].substr(0, hosts[i].rfind('/'))].push_back(i);
    }
  // A rule may rest on a path another rule explained (a link to a link, a
  // directory of new entries): again until a round explains nothing more.
  for (bool more = true; more;) {
    more = false;
    for (size_t i = 0; i < paths->size(); i++) {
      xp_path &p = (*paths)[i];
      if (!open_to_rules(p) || e.re_at.count(hosts[i]) == 0)
        continue;
      for (int k = 0; k < XP_RULES; k++) {
        rule_proof proof;
        rule_for who = p.xp_package.empty() ? FOR_UNCLAIMED : FOR_CLAIMED;
        if ((RULES[k].rd_for != FOR_ANY && RULES[k].rd_for != who) ||
            RULES[k].rd_deleted != (p.xp_kind == DB_KIND_DELETED) ||
            !RULES[k].rd_fn(&e, p, hosts[i], &proof))
          continue;
        p.xp_verdict = XP_PACKAGE;
        p.xp_evidence = proof.rp_ev;
        p.xp_rule = XP_RULE_NAMES[k];
        p.xp_package = proof.rp_package;
        p.xp_version = proof.rp_version;
        p.xp_older = proof.rp_older;
        p.xp_kept.clear();
        p.xp_expected.clear();
        more = true;
        break;
      }
    }
  }
}
