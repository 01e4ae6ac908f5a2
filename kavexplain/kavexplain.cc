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
#include "ft/ft.h"
#include "kavexplain/explain.h"
#include "kavexplain/pkg.h"
#include "kavexplain/window.h"
#include "port/port.h"

namespace {

const char usage_text[] =
    "usage: kavexplain [-j] [-r root] [-a dir] [-p records]... [-t time1] "
    "[-T time2] older newer\n"
    "       kavexplain [-r root] -s records\n";

[[noreturn]] void
usage()
{
  xp_usage(usage_text);
}

// -s: the package records of the root, and nothing else, for a later
// run's -p.
int
keep_records(xp_window *w, const char *file, bool json, int operands)
{
  if (operands != 0 || json || w->xw_adir != nullptr || !w->xw_kept.empty() ||
      w->xw_have_from || w->xw_have_to)
    usage();
  std::string err;
  if (xp_window_root(w, &err) != 0)
    xp_fail(err);
  if (!pkg_save(w->xw_root.c_str(), file, &err))
    xp_fail("the package records: " + err);
  return 0;
}

}  // namespace

int
main(int argc, char *argv[])
{
  bool json = false;
  const char *save = nullptr;
  xp_window w;
  std::string err;
  int ch;
  while ((ch = getopt(argc, argv, PORT_OPTS("jr:a:p:s:t:T:"))) != -1) {
    if (ch == 'j') {
      json = true;
      continue;
    }
    if (ch == 's') {
      save = optarg;
      continue;
    }
    int r = xp_window_option(&w, ch, optarg, &err);
    if (r < 0)
      xp_fail(err);
    if (r == 0)
      usage();  // getopt has said what was wrong
  }
  if (save != nullptr)
    return keep_records(&w, save, json, argc - optind);
  if (argc - optind != 2)
    usage();
  const char *older = argv[optind], *newer = argv[optind + 1];
  if (xp_window_settle(&w, older, newer, &err) != 0)
    xp_fail(err);

  // The tree holds the records' extensions, which the paths point to: it
  // lives until the report is written.
  const char *failed = nullptr;
  pkg_db *db = nullptr;
  ft_tree *tree = xp_window_load(w, older, newer, &failed, &db, &err);
  if (tree == nullptr) {
    warn_sys2("db_readall()", failed);
    exit(2);
  }
  if (db == nullptr)
    xp_fail(err);
  std::vector<xp_path> paths;
  if (xp_window_explain_with(w, tree, db, &paths, &err) != 0)
    xp_fail(err);

  int r = json ? xp_report_json(paths, stdout) : xp_report_text(paths, stdout);
  if (r != 0 || fflush(stdout) != 0) {
    warn_sys1("stdout");
    exit(2);
  }
  ft_free(tree);
  return xp_status(paths);
}
