// window.cc: the options that steer an explanation, and the run under them.
#include "explain/window.h"

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "cmp/cmp.h"
#include "pkg/pkg.h"

namespace {

std::string
sys_text(const char *what, const char *name)
{
  return std::string(what) + ": " + name + ": " + strerror(errno);
}

// A time given on the command line: seconds since 1970.
int
time_arg(const char *s, int64_t *t, std::string *err)
{
  char *end;
  errno = 0;
  long long v = strtoll(s, &end, 10);
  if (errno != 0 || end == s || *end != '\0') {
    *err = std::string("not a time in seconds since 1970: ") + s;
    return -1;
  }
  *t = v;
  return 0;
}

// When the database was last written, rounded down, or up when up is set.
int
db_time(const char *name, bool up, int64_t *t, std::string *err)
{
  struct stat st;
  if (stat(name, &st) != 0) {
    *err = sys_text("stat()", name);
    return -1;
  }
  *t = int64_t(st.st_mtim.tv_sec) + (up && st.st_mtim.tv_nsec > 0 ? 1 : 0);
  return 0;
}

// The package manager's records under the window's root.
pkg_db *
records_open(const xp_window &w, std::string *err)
{
  pkg_db *db = pkg_open(w.xw_root.c_str(), w.xw_adir, w.xw_kept, err);
  if (db == nullptr)
    *err = "the package database: " + *err;
  return db;
}

}  // namespace

int
xp_window_option(xp_window *w, int ch, const char *arg,
                 std::string *err)
{
  switch (ch) {
    case 'r': w->xw_root = arg; return 1;
    case 'a': w->xw_adir = arg; return 1;
    case 'p': w->xw_kept.emplace_back(arg); return 1;
    case 't':
      w->xw_have_from = true;
      return time_arg(arg, &w->xw_from, err) == 0 ? 1 : -1;
    case 'T':
      w->xw_have_to = true;
      return time_arg(arg, &w->xw_to, err) == 0 ? 1 : -1;
    default: return 0;
  }
}

int
xp_window_root(xp_window *w, std::string *err)
{
  // The snapshots hold real paths: the root is matched as one.
  if (!w->xw_root.empty()) {
    char real[PATH_MAX];
    if (realpath(w->xw_root.c_str(), real) == nullptr) {
      *err = sys_text("realpath()", w->xw_root.c_str());
      return -1;
    }
    w->xw_root = strcmp(real, "/") == 0 ? "" : real;
  }
  return 0;
}

int
xp_window_settle(xp_window *w, const char *older, const char *newer,
                 std::string *err)
{
  if (xp_window_root(w, err) != 0)
    return -1;
  if (!w->xw_have_from && db_time(older, false, &w->xw_from, err) != 0)
    return -1;
  if (!w->xw_have_to && db_time(newer, true, &w->xw_to, err) != 0)
    return -1;
  return 0;
}

ft_tree *
xp_window_load(const xp_window &w, const char *older, const char *newer,
               const char **failed, pkg_db **db, std::string *err)
{
  std::thread records([&w, db, err] { *db = records_open(w, err); });
  ft_tree *tree = cmp_load(older, newer, failed);
  int e = errno;
  records.join();
  if (tree == nullptr) {
    pkg_close(*db);
    *db = nullptr;
  }
  errno = e;
  return tree;
}

int
xp_window_explain_with(const xp_window &w, ft_tree *tree, pkg_db *db,
                       std::vector<xp_path> *paths, std::string *err)
{
  ft_traverse(tree, xp_collect, paths);
  int r = xp_explain(db, w.xw_root, w.xw_from, w.xw_to, paths, err);
  pkg_close(db);
  if (r != 0)
    *err = "the package archives: " + *err + " (dpkg level reached)";
  return r;
}

int
xp_window_explain(const xp_window &w, ft_tree *tree,
                  std::vector<xp_path> *paths, std::string *err)
{
  pkg_db *db = records_open(w, err);
  if (db == nullptr)
    return -1;
  return xp_window_explain_with(w, tree, db, paths, err);
}
