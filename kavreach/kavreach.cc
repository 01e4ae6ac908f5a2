// kavreach: says, for each path, whether the walk of kavbuild under a watch
// policy reaches it, records it and descends into it.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "db/db.h"
#include "diag/diag.h"
#include "policy/configfile.h"
#include "port/port.h"
#include "reach/reach.h"

namespace {

const char usage_text[] = "usage: kavreach [-c file] path ...\n";

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
  char conf[DB_PATH_MAX + 1] = "/usr/local/etc/kavrel.conf";
  int ch;
  while ((ch = getopt(argc, argv, PORT_OPTS("c:"))) != -1) {
    switch (ch) {
      case 'c': copy_arg(conf, optarg, "-c"); break;
      default: usage();  // getopt has said what was wrong
    }
  }
  if (optind == argc)
    usage();

  pclt *t = pclt_init();
  if (t == nullptr)
    die_sys1("pclt_init()");
  if (configfile_parse(conf, t) < 0) {
    configfile_perror();
    pclt_free(t);
    exit(1);
  }
  // Every path gets its answer or its message; one that fails does not
  // keep the others from theirs.
  int status = 0;
  for (int i = optind; i < argc; i++) {
    reach_answer a;
    std::string err;
    if (!reach_path(t, argv[i], &a, &err)) {
      warn_msg1(err.c_str());
      status = 1;
      continue;
    }
    std::string line = reach_line(a) + "\n";
    if (fwrite(line.data(), 1, line.size(), stdout) != line.size() ||
        fflush(stdout) != 0)
      die_sys1("stdout");
  }
  pclt_free(t);
  return status;
}
