// kavexplain: compares an older and a newer snapshot database as kavcmp
// does and tells, for every path that differs, whether the package manager
// accounts for it. With -s it only keeps the package records of the moment
// for a later run's -p.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "db/db.h"
#include "diag/diag.h"
#include "explain/explain.h"
#include "explain/report.h"
#include "explain/window.h"
#include "ft/ft.h"
#include "pkg/pkg.h"
#include "port/port.h"

namespace {

const char usage_text[] =
    "usage: kavexplain [-fj] [-r root] [-a dir] [-p records]... [-t time1] "
    "[-T time2] older newer\n"
    "       kavexplain [-r root] -s records\n"
    "       kavexplain [-r root] [-p records]... -c\n";

// 1 says something was found: a usage error is 2, as every other error.
[[noreturn]] void
usage()
{
  fputs(usage_text, stderr);
  exit(2);
}

// -s: the package records of the root, and nothing else, for a later
// run's -p.
int
keep_records(xp_window *w, const char *file, bool json, int operands)
{
  if (operands != 0 || json || w->xw_adir != nullptr || !w->xw_kept.empty() ||
      w->xw_have_from || w->xw_have_to || w->xw_fetch)
    usage();
  std::string err;
  if (!xp_window_root(w, &err))
    die_msg1(err.c_str());
  if (!pkg_save(w->xw_root.c_str(), file, &err))
    die_msg2("the package records", err.c_str());
  return 0;
}

// -c: kavrel's cache of archives pruned of what neither the records of
// the root nor the kept records given hold installed; each file removed
// is printed.
int
prune_cache(xp_window *w, bool json, int operands)
{
  if (operands != 0 || json || w->xw_adir != nullptr || w->xw_have_from ||
      w->xw_have_to || w->xw_fetch)
    usage();
  std::string err;
  if (!xp_window_root(w, &err))
    die_msg1(err.c_str());
  pkg_db *db = pkg_open(w->xw_root.c_str(), nullptr, w->xw_kept, &err);
  if (db == nullptr)
    die_msg2("the package database", err.c_str());
  std::vector<std::string> removed;
  bool ok = pkg_cache_prune(db, &removed, &err);
  pkg_close(db);
  for (const std::string &f : removed)
    printf("removed %s\n", f.c_str());
  if (fflush(stdout) != 0)
    die_sys1("stdout");
  if (!ok)
    die_msg2("the archive cache", err.c_str());
  return 0;
}

}  // namespace

int
main(int argc, char *argv[])
{
  diag_exit_status(2);
  bool json = false;
  const char *save = nullptr;
  bool prune = false;
  xp_window w;
  std::string err;
  int ch;
  while ((ch = getopt(argc, argv, PORT_OPTS("cjr:a:p:s:t:T:f"))) != -1) {
    if (ch == 'j') {
      json = true;
      continue;
    }
    if (ch == 'c') {
      prune = true;
      continue;
    }
    if (ch == 's') {
      save = optarg;
      continue;
    }
    if (!xp_window_takes(ch))
      usage();  // getopt has said what was wrong
    if (!xp_window_option(&w, ch, optarg, &err))
      die_msg1(err.c_str());
  }
  if (prune && save != nullptr)
    usage();
  if (save != nullptr)
    return keep_records(&w, save, json, argc - optind);
  if (prune)
    return prune_cache(&w, json, argc - optind);
  if (argc - optind != 2)
    usage();
  const char *older = argv[optind], *newer = argv[optind + 1];
  if (!xp_window_settle(&w, older, newer, &err))
    die_msg1(err.c_str());

  // The tree holds the records' extensions, which the paths point to: it
  // lives until the report is written.
  ft_tree *tree = nullptr;
  pkg_db *db = nullptr;
  if (!xp_window_load(w, older, newer, &tree, &db, &err))
    die_msg1(err.c_str());
  std::vector<xp_path> paths;
  xp_notes notes;
  if (!xp_window_explain_with(w, tree, db, &paths, &notes, &err))
    die_msg1(err.c_str());

  int r = json ? xp_report_json(paths, stdout)
               : xp_report_text(paths, notes, stdout);
  if (r != 0 || fflush(stdout) != 0)
    die_sys1("stdout");
  // JSON lines are a path each: what did not verify is told as a message.
  if (json)
    for (const std::string &f : notes.xn_failed)
      warn_msg2("not verified", f.c_str());
  ft_free(tree);
  return xp_status(paths, notes);
}
