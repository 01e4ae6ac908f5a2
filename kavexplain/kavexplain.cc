// kavexplain: compares an older and a newer snapshot database as kavcmp
// does and tells, for every path that differs, whether the package manager
// accounts for it. With -s it only keeps the package records of the moment
// for a later run's -p.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "db/db.h"
#include "diag/diag.h"
#include "ft/ft.h"
#include "kavcmp/cmp.h"
#include "kavexplain/explain.h"
#include "kavexplain/pkg.h"
#include "port/port.h"

namespace {

const char usage_text[] =
    "usage: kavexplain [-j] [-r root] [-a dir] [-p records]... [-t time1] "
    "[-T time2] older newer\n"
    "       kavexplain [-r root] -s records\n";

// Errors end with status 2: 1 says the report found something.
[[noreturn]] void
usage()
{
  fwrite(usage_text, 1, sizeof usage_text - 1, stderr);
  exit(2);
}

[[noreturn]] void
fail(const std::string &what)
{
  warn_msg1(what.c_str());
  exit(2);
}

[[noreturn]] void
fail_sys(const char *what, const char *name = nullptr)
{
  if (name == nullptr)
    warn_sys1(what);
  else
    warn_sys2(what, name);
  exit(2);
}

// A time given on the command line: seconds since 1970.
int64_t
time_arg(const char *s)
{
  char *end;
  errno = 0;
  long long t = strtoll(s, &end, 10);
  if (errno != 0 || end == s || *end != '\0')
    fail(std::string("not a time in seconds since 1970: ") + s);
  return t;
}

// When the database was last written, rounded out to whole seconds, as
// the package manager's log has them.
int64_t
db_time(const char *name, bool up)
{
  struct stat st;
  if (stat(name, &st) != 0)
    fail_sys("stat()", name);
  return int64_t(st.st_mtim.tv_sec) + (up && st.st_mtim.tv_nsec > 0 ? 1 : 0);
}

}  // namespace

int
main(int argc, char *argv[])
{
  bool json = false, have_from = false, have_to = false;
  const char *root = "", *adir = nullptr, *save = nullptr;
  std::vector<std::string> kept;
  int64_t from = 0, to = 0;
  int ch;
  while ((ch = getopt(argc, argv, PORT_OPTS("jr:a:p:s:t:T:"))) != -1) {
    switch (ch) {
      case 'j': json = true; break;
      case 'r': root = optarg; break;
      case 'a': adir = optarg; break;
      case 'p': kept.push_back(optarg); break;
      case 's': save = optarg; break;
      case 't': have_from = true; from = time_arg(optarg); break;
      case 'T': have_to = true; to = time_arg(optarg); break;
      default: usage();  // getopt has said what was wrong
    }
  }
  if (save != nullptr && (argc != optind || json || adir != nullptr ||
                          !kept.empty() || have_from || have_to))
    usage();
  if (save == nullptr && argc - optind != 2)
    usage();

  // The snapshots hold real paths: the root is matched as one.
  char real[PATH_MAX];
  if (root[0] != '\0') {
    if (realpath(root, real) == nullptr)
      fail_sys("realpath()", root);
    root = strcmp(real, "/") == 0 ? "" : real;
  }
  std::string err;
  if (save != nullptr) {
    if (!pkg_save(root, save, &err))
      fail("the package records: " + err);
    return 0;
  }
  const char *older = argv[optind], *newer = argv[optind + 1];
  if (!have_from)
    from = db_time(older, false);
  if (!have_to)
    to = db_time(newer, true);

  // The tree holds the records' extensions, which the paths point to: it
  // lives until the report is written.
  const char *failed = nullptr;
  ft_tree *tree = cmp_load(older, newer, &failed);
  if (tree == nullptr)
    fail_sys("db_readall()", failed);
  std::vector<xp_path> paths;
  ft_traverse(tree, xp_collect, &paths);

  pkg_db *db = pkg_open(root, adir, kept, &err);
  if (db == nullptr)
    fail("the package database: " + err);
  if (xp_explain(db, root, from, to, &paths, &err) != 0)
    fail("the package archives: " + err + " (dpkg level reached)");
  pkg_close(db);

  int r = json ? xp_report_json(paths, stdout) : xp_report_text(paths, stdout);
  if (r != 0 || fflush(stdout) != 0)
    fail_sys("stdout");
  ft_free(tree);
  return xp_status(paths);
}
