// kavconf: parses a watch policy as kavbuild does and prints what it means,
// every list of the tree or the entries that govern one directory.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "db/db.h"
#include "diag/diag.h"
#include "kavconf/dump.h"
#include "policy/configfile.h"
#include "port/port.h"

namespace {

const char usage_text[] = "usage: kavconf [-a | -d dir] [-c file]\n";
static_assert(sizeof usage_text - 1 == 39, "the usage text is 39 bytes");

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
  char conf[DB_PATH_MAX + 1];
  copy_cut(conf, KAV_POLICY_PATH);  // set by the build
  char dir[DB_PATH_MAX + 1] = "";
  bool all = true;
  int ch;
  while ((ch = getopt(argc, argv, PORT_OPTS("ac:d:"))) != -1) {
    switch (ch) {
      case 'a': all = true; break;
      case 'c': copy_arg(conf, optarg, "-c"); break;
      case 'd':
        copy_arg(dir, optarg, "-d");
        all = false;
        break;
      default: usage();  // getopt has said what was wrong
    }
  }
  if (optind != argc)
    usage();

  pclt *t = pclt_init();
  if (t == nullptr)
    die_sys1("pcl_init()");  // this program's word for it; kavbuild's differs
  if (configfile_parse(conf, t) < 0) {
    configfile_perror();
    pclt_free(t);
    exit(1);
  }
  // Nothing is printed before the whole policy has parsed, so a faulty
  // policy never leaves a partial dump behind.
  int r;
  if (all) {
    r = ft_traverse(t, pclt_print_node, nullptr);
  } else {
    int inherited = 0;
    const pcl *l = pclt_lookup(t, dir, &inherited);
    r = pcl_print(l, inherited);
  }
  // A fully buffered stdout may refuse the dump only at the flush.
  if (r != 0 || fflush(stdout) != 0)
    die_sys1("stdout");
  pclt_free(t);
  return 0;
}
