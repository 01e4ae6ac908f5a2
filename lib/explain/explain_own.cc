// explain_own.cc: the package manager's own files. What dpkg keeps for a
// package under its info directory (maintainer scripts, the list, md5sums,
// conffiles, templates, triggers, ...) is the package's only as its
// verified archive has it: a control member of the same name and contents,
// or for the list the data member's paths. dpkg's state (status,
// available, locks, triggers, its journal, diversions, stat overrides,
// alternatives), its log and apt's lists and caches change with every
// operation and are named as such: they count only when an operation that
// an archive proves lies in between, and no verdict rests on them.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <unordered_set>

#include "explain/explain_int.h"
#include "sha256/sha256.h"

namespace {

const char OWN[] = "(package manager)";
const char UNPROVEN[] =
    "a package operation proven by a verified archive between the "
    "snapshots (none)";
const std::string DPKG_DIR = "/var/lib/dpkg/";

// What dpkg keeps in its directory besides the files of packages, by name
// below it: its files (the "-new" ones written and renamed over the
// others), and the directories of which everything below counts (tmp.ci
// holds a control member being unpacked).
constexpr const char *DPKG_FILES[] = {
    "status",       "status-old",       "status-new",
    "available",    "available-old",    "available-new",
    "diversions",   "diversions-old",   "diversions-new",
    "statoverride", "statoverride-old", "statoverride-new",
    "lock",         "lock-frontend",    "arch",
    "arch-old",     "arch-new",         "cmethopt",
    "methlock",     "reassemble.deb",   "info",
    "info/format",  "info/format-new"};
constexpr const char *DPKG_DIRS[] = {"triggers", "updates", "alternatives",
                                     "methods",  "parts",   "tmp.ci"};

enum own_kind {
  OWN_NONE,   // not the package manager's
  OWN_STATE,  // its state, log or caches
  OWN_INFO,   // a file of a package under the info directory
  OWN_STRAY   // in dpkg's directory, but nothing dpkg keeps there
};

own_kind
own_kind_of(const std::string &host)
{
  if (host.compare(0, DPKG_DIR.size(), DPKG_DIR) != 0)
    return host + "/" == DPKG_DIR || pkg_own_state(host) ? OWN_STATE : OWN_NONE;
  std::string_view rest(host);
  rest.remove_prefix(DPKG_DIR.size());
  for (std::string_view f : DPKG_FILES)
    if (rest == f)
      return OWN_STATE;
  for (std::string_view d : DPKG_DIRS)
    if (rest.compare(0, d.size(), d) == 0 &&
        (rest.size() == d.size() || rest[d.size()] == '/'))
      return OWN_STATE;
  if (rest.compare(0, 5, "info/") == 0 &&
      rest.find('/', 5) == std::string_view::npos)
    return OWN_INFO;
  return OWN_STRAY;
}

// A file of the info directory by its name: "tools.postinst" or, for a
// package of more than one architecture, "tools:amd64.postinst".
struct info_name {
  std::string in_pkg, in_arch;  // in_arch "" when the name has none
  std::string in_file;          // "postinst", "list", ...
};

bool
info_parse(const std::string &host, info_name *out)
{
  std::string name = host.substr(host.rfind('/') + 1);
  size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0 || dot + 1 == name.size())
    return false;
  out->in_file = name.substr(dot + 1);
  out->in_pkg = name.substr(0, dot);
  size_t colon = out->in_pkg.find(':');
  out->in_arch.clear();
  if (colon != std::string::npos) {
    out->in_arch = out->in_pkg.substr(colon + 1);
    out->in_pkg.erase(colon);
  }
  return !out->in_pkg.empty() &&
         (colon == std::string::npos || !out->in_arch.empty());
}

void
claimed(xp_path *p, const std::string &expected)
{
  p->xp_verdict = XP_CLAIMED;
  p->xp_evidence = XP_EV_DPKG;
  p->xp_package = OWN;
  p->xp_version.clear();
  p->xp_older.clear();
  p->xp_expected = expected;
}

void
unexplained(xp_path *p, const std::string &expected)
{
  p->xp_verdict = XP_UNEXPLAINED;
  p->xp_expected = expected;
}

// The package manager's state: no record says what it should hold, so it
// counts only as part of an operation (xp_own_settle). It never has its
// mode or owner changed, nor a set-user-ID or set-group-ID bit.
void
own_state(xp_path *p)
{
  p->xp_package = OWN;
  p->xp_evidence = XP_EV_DPKG;
  const db_rec *now = xp_now(*p);
  if (p->xp_kind == DB_KIND_CHANGED &&
      (db_rec_diff(&p->xp_recs[0], now) &
       (DB_MODE | DB_UID | DB_GID | DB_XATTR))) {
    unexplained(p,
                "the mode, owner and extended attributes as before (the "
                "package manager rewrites its files, it does not change "
                "them)");
  } else if (p->xp_kind != DB_KIND_DELETED && (now->mask & DB_MODE) &&
             !S_ISDIR(now->mode) && (now->mode & (S_ISUID | S_ISGID))) {
    unexplained(p, "no set-user-ID or set-group-ID bit");
  } else {
    claimed(p, UNPROVEN);
  }
}

// A file of the info directory as dpkg writes one: regular, neither
// set-user-ID nor set-group-ID nor writable by others; and a change keeps
// its owner and extended attributes. False with what it should be.
bool
plain_file(const xp_path &p, std::string *why)
{
  const db_rec *now = xp_now(p);
  if (!S_ISREG(now->mode) ||
      ((now->mask & DB_MODE) && (now->mode & (S_ISUID | S_ISGID | S_IWOTH)))) {
    *why =
        "a regular file, neither set-user-ID nor set-group-ID nor writable "
        "by others, as dpkg writes its files";
    return false;
  }
  if (p.xp_kind == DB_KIND_CHANGED &&
      (db_rec_diff(&p.xp_recs[0], now) & (DB_UID | DB_GID | DB_XATTR))) {
    *why =
        "the owner and extended attributes as before (dpkg writes its "
        "files, it does not change them)";
    return false;
  }
  return true;
}

// What a file of the info directory was checked against.
enum own_step {
  OWN_MATCHES,  // the archive's
  OWN_DIFFERS,  // not the archive's
  OWN_MISSING,  // no such control member
  OWN_FEWER,    // a list with only some of the archive's lines
  OWN_UNREAD    // a list that cannot be read as the snapshot holds it
};

own_step
by_control(const xp_path &p, const pkg_archive &ar, const std::string &file)
{
  // dpkg keeps every control file but control itself.
  auto m = ar.pr_control.find(file);
  if (m == ar.pr_control.end() || file == "control")
    return OWN_MISSING;
  return xp_sums_match(xp_now(p), m->second.pa_sum, m->second.pa_sum256)
             ? OWN_MATCHES
             : OWN_DIFFERS;
}

// A list of some 100,000 paths runs to a few megabytes.
constexpr off_t LIST_MAX = off_t(64) << 20;

// The text of the file at name, if it is still what the record holds.
bool
read_as_recorded(const std::string &name, const db_rec *r, std::string *text)
{
  int fd = open(name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0)
    return false;
  struct stat st;
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
            st.st_size <= LIST_MAX;
  if (ok) {
    text->resize(size_t(st.st_size) + 1);
    size_t have = 0;
    ssize_t n;
    while ((n = read(fd, &(*text)[have], text->size() - have)) > 0 ||
           (n < 0 && errno == EINTR))
      if (n > 0 && (have += size_t(n)) == text->size())
        break;  // grown past its size: not what was recorded
    ok = n == 0 && have < text->size();
    text->resize(have);
  }
  close(fd);
  uint8_t sha1[SHA1_LEN], sha256[DB_SHA256_LEN] = {};
  return ok && sha_buf(text->data(), int32_t(text->size()), sha1) != nullptr &&
         (!(r->mask & DB_SHA256) ||
          sha256_buf(text->data(), text->size(), sha256) != nullptr) &&
         xp_sums_match(r, sha1, sha256);
}

// The package's list against the archive's paths, as sets: dpkg writes
// them in the archive's order, but a line another package took over is
// dropped. *extra gets the first line the archive does not have.
own_step
by_list(xp_ctx *c, const xp_path &p, const std::string &host,
        const pkg_archive &ar, std::string *extra)
{
  std::string text;
  if (!read_as_recorded(xp_disk(c, host), xp_now(p), &text))
    return OWN_UNREAD;
  std::unordered_set<std::string_view> want(ar.pr_list.begin(),
                                            ar.pr_list.end());
  std::unordered_set<std::string_view> have;
  std::string_view rest(text);
  while (!rest.empty()) {
    std::string_view line = rest.substr(0, rest.find('\n'));
    rest.remove_prefix(std::min(rest.size(), line.size() + 1));
    if (want.count(line) == 0) {
      *extra = std::string(line);
      return OWN_DIFFERS;
    }
    have.insert(line);
  }
  return have.size() == want.size() ? OWN_MATCHES : OWN_FEWER;
}

// A file of a package under the info directory, new or changed.
void
info_present(xp_ctx *c, xp_path *p, const std::string &host,
             const info_name &in)
{
  p->xp_evidence = XP_EV_DPKG;
  const pkg_meta *m = pkg_find(c->xc_db, in.in_pkg);
  if (m == nullptr) {
    p->xp_package = OWN;
    unexplained(p, "a file of a package that dpkg has records of (none is " +
                       in.in_pkg + ")");
    return;
  }
  p->xp_package = m->pm_name;
  p->xp_version = m->pm_version;
  std::string why;
  if (!plain_file(*p, &why)) {
    unexplained(p, why);
    return;
  }
  const std::string pv = m->pm_name + " " + m->pm_version;
  if (m->pm_version.empty()) {
    claimed(p, "an installed version of " + m->pm_name +
                   ", whose archive would hold it (only its configuration "
                   "files are left)");
    return;
  }
  const std::string what = (in.in_file == "list"
                                ? "the paths of "
                                : "the control member " + in.in_file + " of ") +
                           pv + "'s archive";
  if (!(xp_now(*p)->mask & (DB_CSUM | DB_SHA256))) {
    claimed(p, what + " (the snapshot holds no digest to compare)");
    return;
  }
  const pkg_archive *ar = nullptr;
  int r = xp_archive_at(c, m->pm_name, m->pm_version,
                        in.in_arch.empty() ? m->pm_arch : in.in_arch, &ar,
                        &why);
  if (r < 0) {
    unexplained(p, what + ", which does not verify: " + why);
    p->xp_evidence = XP_EV_ARCHIVE;
    return;
  }
  if (r == 0) {
    claimed(p, what + " (none at hand)");
    return;
  }
  p->xp_evidence = XP_EV_ARCHIVE;
  std::string extra;
  switch (in.in_file == "list" ? by_list(c, *p, host, *ar, &extra)
                               : by_control(*p, *ar, in.in_file)) {
    case OWN_MATCHES: break;
    case OWN_DIFFERS:
      unexplained(p, what + (extra.empty() ? "" : " (not " + extra + ")"));
      return;
    case OWN_MISSING:
      // dpkg makes the digests of a package that ships none.
      if (in.in_file == "md5sums")
        claimed(p, what + " (it has none: dpkg made the file)");
      else
        unexplained(p, what + " (it has none)");
      return;
    case OWN_FEWER:
      claimed(p, what +
                     " (the list lacks some, as when another package "
                     "took them over)");
      return;
    case OWN_UNREAD:
      claimed(p,
              "the file as the newer snapshot holds it (it has changed or "
              "gone since)");
      return;
  }
  const pkg_op *op = xp_install_op(*c, m);
  if (op == nullptr) {
    unexplained(p, "an install, upgrade or reinstall of " + pv +
                       " between the snapshots (none)");
    return;
  }
  p->xp_older = op->po_old;
  if (xp_is_downgrade(*op)) {
    p->xp_verdict = XP_DOWNGRADED;
    p->xp_expected = xp_downgrade_text(*op);
    return;
  }
  p->xp_verdict = XP_PACKAGE;
  p->xp_expected.clear();
}

// A deleted file of a package under the info directory: the package's
// removal or upgrade deletes what its older version's archive has, a list
// and digests of every package among them.
void
info_deleted(xp_ctx *c, xp_path *p, const info_name &in)
{
  p->xp_evidence = XP_EV_DPKG;
  p->xp_package = in.in_pkg;
  auto ops = c->xc_ops.find(in.in_pkg);
  std::string olds;
  if (ops != c->xc_ops.end()) {
    for (auto op = ops->second.rbegin(); op != ops->second.rend(); ++op) {
      if (op->po_old.empty() || op->po_old == op->po_new)
        continue;
      olds += (olds.empty() ? "" : ", ") + in.in_pkg + " " + op->po_old;
      std::vector<std::string> arches = xp_arches_of(*c, in.in_pkg);
      if (!in.in_arch.empty())
        arches = {in.in_arch};
      for (const std::string &arch : arches) {
        const pkg_archive *ar = nullptr;
        std::string why;
        int r = xp_archive_at(c, in.in_pkg, op->po_old, arch, &ar, &why);
        if (r < 0) {
          unexplained(p, "the archive of " + in.in_pkg + " " + op->po_old +
                             ", which does not verify: " + why);
          p->xp_evidence = XP_EV_ARCHIVE;
          return;
        }
        if (r == 0 || (in.in_file != "list" && in.in_file != "md5sums" &&
                       by_control(*p, *ar, in.in_file) == OWN_MISSING))
          continue;
        p->xp_verdict = xp_is_downgrade(*op) ? XP_DOWNGRADED : XP_PACKAGE;
        p->xp_evidence = XP_EV_ARCHIVE;
        p->xp_version = op->po_new;
        p->xp_older = op->po_old;
        if (xp_is_downgrade(*op))
          p->xp_expected = xp_downgrade_text(*op);
        return;
      }
    }
  }
  if (olds.empty()) {
    unexplained(p, "a removal or upgrade of " + in.in_pkg +
                       " between the snapshots (none)");
    return;
  }
  claimed(p,
          (in.in_file == "list" ? "the paths of "
                                : "the control member " + in.in_file + " of ") +
              olds + "'s archive");
}

}  // namespace

bool
xp_sums_match(const db_rec *r, const uint8_t sha1[SHA1_LEN],
              const uint8_t sha256[DB_SHA256_LEN])
{
  static const uint8_t none[DB_SHA256_LEN] = {};
  if ((r->mask & DB_CSUM) && memcmp(r->csum, sha1, SHA1_LEN) != 0)
    return false;
  const uint8_t *have = r->ext != nullptr ? r->ext->sha256 : none;
  return !(r->mask & DB_SHA256) || memcmp(have, sha256, DB_SHA256_LEN) == 0;
}

bool
xp_explain_own(xp_ctx *c, xp_path *p, const std::string &host)
{
  info_name in;
  switch (own_kind_of(host)) {
    case OWN_NONE: return false;
    case OWN_STATE: own_state(p); return true;
    case OWN_INFO:
      if (info_parse(host, &in))
        break;
      [[fallthrough]];
    case OWN_STRAY:
      p->xp_package = OWN;
      unexplained(p,
                  "a file the package manager keeps (it keeps none of "
                  "this name)");
      return true;
  }
  if (p->xp_kind == DB_KIND_DELETED)
    info_deleted(c, p, in);
  else
    info_present(c, p, host, in);
  return true;
}

void
xp_own_settle(std::vector<xp_path> *paths)
{
  bool proven = false;
  for (const xp_path &p : *paths)
    proven |= p.xp_verdict == XP_PACKAGE && p.xp_evidence == XP_EV_ARCHIVE &&
              p.xp_package != OWN;
  if (!proven)
    return;
  for (xp_path &p : *paths)
    if (p.xp_verdict == XP_CLAIMED && p.xp_package == OWN &&
        p.xp_expected == UNPROVEN) {
      p.xp_verdict = XP_PACKAGE;
      p.xp_evidence = XP_EV_ARCHIVE;
      p.xp_expected.clear();
    }
}
