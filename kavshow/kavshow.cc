// kavshow: prints the records of a snapshot or difference database.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "db/db.h"
#include "db/print.h"
#include "diag/diag.h"
#include "drv/drv.h"
#include "kavshow/show.h"
#include "port/port.h"

namespace {

const char usage_text[] =
    "usage: kavshow [[-x] -h | -p] [-m mask | -M mask] [-d path | -D path] file\n";

[[noreturn]] void
usage()
{
  fwrite(usage_text, 1, sizeof usage_text - 1, stderr);
  exit(1);
}

int
flush_stdout(void *)
{
  return fflush(stdout);
}

}  // namespace

int
main(int argc, char *argv[])
{
  show_opts o;
  memset(&o, 0, sizeof o);
  rec_view *v = &o.so_view;
  int ch;
  while ((ch = getopt(argc, argv, PORT_OPTS("phxm:M:d:D:"))) != -1) {
    switch (ch) {
      case 'p': v->rv_plain = true; break;
      case 'h': break;  // the long layout is the default
      case 'x': v->rv_human = true; break;
      case 'm':
        v->rv_narrow = true;
        mask_parse(optarg, &v->rv_mask);
        break;
      case 'M':
        v->rv_replace = true;
        mask_parse(optarg, &v->rv_mask);
        break;
      case 'd':
        o.so_prefix = true;
        copy_arg(o.so_path, optarg, "-d");
        break;
      case 'D':
        o.so_exact = true;
        copy_arg(o.so_path, optarg, "-D");
        break;
      default: usage();  // getopt has said what was wrong
    }
  }
  if (argc - optind != 1)
    usage();
  const char *file = argv[optind];

  // Output into a file or pipe goes out in large blocks; a terminal keeps
  // its line buffering.
  static char outbuf[1 << 16];
  if (!isatty(STDOUT_FILENO))
    setvbuf(stdout, outbuf, _IOFBF, sizeof outbuf);

  static uint8_t data[SHOW_DATA_MAX];
  int r = db_readall(file, show_record, &o, data, sizeof data);
  drv_print_end(file, r, r == SHOW_OUT_FAILED, flush_stdout, nullptr);
  return 0;
}
