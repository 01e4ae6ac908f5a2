// window.cc: the options that steer an explanation, and the run under them.
#include "explain/window.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <thread>

#include "cmp/cmp.h"
#include "diag/diag.h"
#include "pkg/pkg.h"

namespace {

// A time given on the command line: seconds since 1970.
bool
time_arg(const char *s, int64_t *t, std::string *err)
{
  char *end;
  errno = 0;
  long long v = strtoll(s, &end, 10);
  if (errno != 0 || end == s || *end != '\0') {
    *err = std::string("not a time in seconds since 1970: ") + s;
    return false;
  }
  *t = v;
  return true;
}

// When the database was last written, rounded down, or up when up is set.
bool
db_time(const char *name, bool up, int64_t *t, std::string *err)
{
  struct stat st;
  if (stat(name, &st) != 0) {
    *err = diag_sys_text("stat()", name);
    return false;
  }
  *t = int64_t(st.st_mtim.tv_sec) + (up && st.st_mtim.tv_nsec > 0 ? 1 : 0);
  return true;
}

// The package manager's records under the window's root, and with -f
// the archives fetched that the window's operations need. A fetch that
// fails is no failure of the run: the archive is then not at hand, as it
// was before.
pkg_db *
records_open(const xp_window &w, std::string *err)
{
  pkg_db *db = pkg_open(w.xw_root.c_str(), w.xw_adir, w.xw_kept, err);
  if (db == nullptr) {
    *err = "the package database: " + *err;
    return db;
  }
  return db;
}

// -f: the archives the window's operations need and nothing has at hand,
// fetched into kavrel's cache, where the records look for them when first
// asked. What could not be fetched is told, not fatal.
void
window_fetch(const xp_window &w, pkg_db *db, std::vector<std::string> *told)
{
  if (!w.xw_fetch)
    return;
  std::vector<std::string> failed;
  std::string err;
  if (!pkg_fetch(w.xw_root,
                 pkg_archives_missing(db, pkg_ops(db, w.xw_from, w.xw_to)),
                 XP_FETCH_SECONDS, &failed, &err))
    failed.push_back(err);
  told->insert(told->end(), failed.begin(), failed.end());
}

// The time the snapshot at name took: from its creation, when the file
// system keeps it, to its last write.
xp_walk
walk_of(const char *name)
{
  xp_walk k;
  struct statx st;
  if (statx(AT_FDCWD, name, 0, STATX_BTIME | STATX_MTIME, &st) == 0 &&
      (st.stx_mask & STATX_BTIME) && (st.stx_mask & STATX_MTIME)) {
    k.xk_from = st.stx_btime.tv_sec;
    k.xk_to = st.stx_mtime.tv_sec + (st.stx_mtime.tv_nsec > 0 ? 1 : 0);
  }
  return k;
}

// The record of path in the loaded tree: the older snapshot's, or with
// newer the newer's; null when that snapshot holds none. Any node,
// changed or not: the trust roots are looked up whatever happened to
// them.
const db_rec *
window_record(ft_tree *tree, const std::string &path, bool newer)
{
  ft_node *n = ft_lookup(tree, path.c_str(), nullptr);
  if (n == nullptr || n->ftn_data == nullptr)
    return nullptr;
  const db_rec *held = static_cast<const db_rec *>(n->ftn_data);
  switch (n->ftn_kind) {
    case DB_KIND_UNCHANGED: return held;
    case DB_KIND_CHANGED: return newer ? held + 1 : held;
    case DB_KIND_DELETED: return newer ? nullptr : held;
    case DB_KIND_NEW: return newer ? held : nullptr;
    default: return nullptr;
  }
}

// The trust roots that were not trusted as the older snapshot had them
// but whose change a package's archive explains, verified with the keys
// that were trusted: a routine upgrade of an archive keyring.
std::set<std::string>
window_vouched(const pkg_db *db, const std::vector<xp_path> &paths)
{
  std::set<std::string> untrusted(pkg_untrusted(db).begin(),
                                  pkg_untrusted(db).end()),
      v;
  for (const xp_path &p : paths)
    if (p.xp_verdict == XP_PACKAGE && p.xp_evidence == XP_EV_ARCHIVE &&
        p.xp_kind != DB_KIND_DELETED && untrusted.count(p.xp_name) != 0)
      v.insert(p.xp_name);
  return v;
}

// Explains the paths of tree with db, its trust roots pinned to the older
// snapshot but for those in newer, pinned to the newer one.
void
window_pass(const xp_window &w, ft_tree *tree, pkg_db *db,
            const std::set<std::string> &newer, std::vector<xp_path> *paths,
            xp_notes *notes)
{
  pkg_pin(db, [tree, newer](const std::string &path) {
    return window_record(tree, path, newer.count(path) != 0);
  });
  paths->clear();
  ft_traverse(tree, xp_collect, paths);
  // A path the newer snapshot records: in the tree, and not deleted.
  auto recorded = [tree](const std::string &name) {
    ft_node *node = ft_lookup(tree, name.c_str(), nullptr);
    db_rec recs[2];
    return node != nullptr && node->ftn_data != nullptr &&
           cmp_change(node, recs) != DB_KIND_DELETED;
  };
  xp_explain(db, w.xw_root, w.xw_from, w.xw_to, recorded, paths, notes);
}

}  // namespace

bool
xp_window_takes(int ch)
{
  return ch != 0 && strchr(XP_WINDOW_OPTS, ch) != nullptr && ch != ':';
}

bool
xp_window_option(xp_window *w, int ch, const char *arg, std::string *err)
{
  switch (ch) {
    case 'r': w->xw_root = arg; return true;
    case 'a': w->xw_adir = arg; return true;
    case 'p': w->xw_kept.emplace_back(arg); return true;
    case 't': w->xw_have_from = true; return time_arg(arg, &w->xw_from, err);
    case 'T': w->xw_have_to = true; return time_arg(arg, &w->xw_to, err);
    case 'f': w->xw_fetch = true; return true;
    default:
      *err = std::string("not an option of the window: ") + char(ch);
      return false;
  }
}

bool
xp_window_root(xp_window *w, std::string *err)
{
  // The snapshots hold real paths: the root is matched as one.
  if (!w->xw_root.empty()) {
    char real[PATH_MAX];
    if (realpath(w->xw_root.c_str(), real) == nullptr) {
      *err = diag_sys_text("realpath()", w->xw_root.c_str());
      return false;
    }
    w->xw_root = strcmp(real, "/") == 0 ? "" : real;
  }
  return true;
}

bool
xp_window_settle(xp_window *w, const char *older, const char *newer,
                 std::string *err)
{
  w->xw_walks[0] = walk_of(older);
  w->xw_walks[1] = walk_of(newer);
  return xp_window_root(w, err) &&
         (w->xw_have_from || db_time(older, false, &w->xw_from, err)) &&
         (w->xw_have_to || db_time(newer, true, &w->xw_to, err));
}

bool
xp_window_load(const xp_window &w, const char *older, const char *newer,
               ft_tree **tree, pkg_db **db, std::string *err)
{
  std::string records_err;
  std::thread records([&w, db, &records_err] {
    *db = records_open(w, &records_err);
  });
  const char *failed = nullptr;
  *tree = cmp_load(older, newer, &failed);
  if (*tree == nullptr)
    *err = failed != nullptr ? diag_sys_text("db_readall()", failed)
                             : std::string("ft_init(): ") + strerror(errno);
  records.join();
  if (*tree == nullptr) {
    pkg_close(*db);
    *db = nullptr;
    return false;
  }
  if (*db == nullptr) {
    ft_free(*tree);
    *tree = nullptr;
    *err = records_err;
    return false;
  }
  return true;
}

bool
xp_window_explain_with(const xp_window &w, ft_tree *tree, pkg_db *db,
                       std::vector<xp_path> *paths, xp_notes *notes,
                       std::string *err)
{
  xp_notes found;
  std::vector<std::string> unfetched;
  window_fetch(w, db, &unfetched);
  window_pass(w, tree, db, {}, paths, &found);
  // A keyring that changed in between is trusted only through its change
  // being explained with the keys of before; and only worth a second
  // pass when some index went unverified without it.
  std::set<std::string> vouched;
  if (pkg_index_short(db))
    vouched = window_vouched(db, *paths);
  if (!vouched.empty()) {
    pkg_close(db);
    db = records_open(w, err);
    if (db == nullptr)
      return false;
    found = xp_notes();
    window_pass(w, tree, db, vouched, paths, &found);
    for (const xp_path &p : *paths)
      if (vouched.count(p.xp_name) != 0)
        found.xn_vouched.push_back(p.xp_name + ": its change is " +
                                   p.xp_package + " " + p.xp_version +
                                   ", verified with the keys of before");
  }
  // What the trust roots and the indexes left to say comes first.
  std::vector<std::string> failed, untrusted;
  for (const pkg_note &n : pkg_notes(db))
    (n.pn_failure ? failed : untrusted).push_back(n.pn_text);
  found.xn_failed.insert(found.xn_failed.begin(), failed.begin(), failed.end());
  found.xn_untrusted.insert(found.xn_untrusted.begin(), untrusted.begin(),
                            untrusted.end());
  found.xn_unfetched = std::move(unfetched);
  xp_mark_during(db, w.xw_walks[0], w.xw_walks[1], paths);
  *notes = std::move(found);
  pkg_close(db);
  return true;
}

bool
xp_window_explain(const xp_window &w, ft_tree *tree,
                  std::vector<xp_path> *paths, xp_notes *notes,
                  std::string *err)
{
  pkg_db *db = records_open(w, err);
  return db != nullptr &&
         xp_window_explain_with(w, tree, db, paths, notes, err);
}
