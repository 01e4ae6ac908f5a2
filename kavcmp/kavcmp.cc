// kavcmp: compares an older and a newer snapshot database and prints the
// paths that differ, in tree order, or stores them in a difference database.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cmp/cmp.h"
#include "db/db.h"
#include "db/print.h"
#include "diag/diag.h"
#include "ft/ft.h"
#include "port/port.h"

namespace {

const char usage_text[] =
    "usage: kavcmp [-h [-x] | -p | -d file] [-m mask | -M mask] file1 file2\n";
static_assert(sizeof usage_text - 1 == 71, "usage text is 71 bytes");

[[noreturn]] void
usage()
{
  fwrite(usage_text, 1, sizeof usage_text - 1, stderr);
  exit(1);
}

}  // namespace

int
main(int argc, char *argv[])
{
  rec_view view;
  memset(&view, 0, sizeof view);
  bool diff = false;  // -d: store the differences instead of printing them
  char diffname[DB_PATH_MAX + 1] = "";
  int ch;
  while ((ch = getopt(argc, argv, PORT_OPTS("hxpd:m:M:"))) != -1) {
    switch (ch) {
      case 'h': break;  // the long layout is the default
      case 'x': view.rv_human = true; break;
      case 'p': view.rv_plain = true; break;
      case 'd':
        diff = true;
        copy_arg(diffname, optarg, "-d");
        break;
      case 'm':
        view.rv_narrow = true;
        mask_parse(optarg, &view.rv_mask);
        break;
      case 'M':
        view.rv_replace = true;
        mask_parse(optarg, &view.rv_mask);
        break;
      default: usage();  // getopt has said what was wrong
    }
  }
  if (argc - optind != 2)
    usage();
  const char *older = argv[optind], *newer = argv[optind + 1];

  const char *failed;
  ft_tree *tree = cmp_load(older, newer, &failed);
  if (tree == nullptr) {
    if (failed == nullptr)
      die_sys1("ft_init()");
    die_sys2("db_readall()", failed);
  }

  if (diff) {
    db_handle *db = db_open(diffname, O_RDWR | O_CREAT | O_EXCL, 0600);
    if (db == nullptr)
      die_sys2("db_open()", diffname);
    if (ft_traverse(tree, cmp_put_diff, db) != 0) {
      warn_msg1("db_argput()");  // the frame that failed, then the reason
      die_sys1("ft_traverse()");
    }
    if (db_close(db) != 0)
      die_sys2("db_close()", diffname);
  } else if (ft_traverse(tree, cmp_print, &view) != 0) {
    die_sys1("stdout");
  }
  // A fully buffered stdout may refuse the last records only now.
  if (fflush(stdout) != 0)
    die_sys1("stdout");
  ft_free(tree);
  return 0;
}
