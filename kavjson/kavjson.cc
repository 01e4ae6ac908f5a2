// kavjson: prints the records of a snapshot or difference database as JSON
// lines, one object per record.
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "db/db.h"
#include "diag/diag.h"
#include "kavjson/json.h"
#include "port/port.h"

namespace {

const char usage_text[] = "usage: kavjson [-d path | -D path] file\n";

[[noreturn]] void
usage()
{
  fwrite(usage_text, 1, sizeof usage_text - 1, stderr);
  exit(1);
}

// Zeroed, as the engine wants it; its output buffer is too large to be
// welcome on the stack.
json_state state;

}  // namespace

int
main(int argc, char *argv[])
{
  json_state *st = &state;
  int ch;
  while ((ch = getopt(argc, argv, PORT_OPTS("d:D:"))) != -1) {
    switch (ch) {
      case 'd': st->js_prefix = true; copy_cut(st->js_path, optarg); break;
      case 'D': st->js_exact = true; copy_cut(st->js_path, optarg); break;
      default: usage();  // getopt has said what was wrong
    }
  }
  if (argc - optind != 1)
    usage();
  const char *file = argv[optind];

  // The engine's buffer is the only one: each block goes out in one write,
  // and a failed write shows at once.
  setvbuf(stdout, nullptr, _IONBF, 0);
  st->js_out = stdout;

  static uint8_t data[DB_DATA_MAX];
  if (db_readall(file, json_record, st, data, sizeof data) != 0) {
    // A failed write stops the reading, and is what gets reported then.
    if (st->js_werr != 0) {
      errno = st->js_werr;
      die_sys1("stdout");
    }
    // The lines before a damaged frame go out before the message, so that
    // both streams into one file read in order. Should that flush fail
    // too, the reading is still what is reported, as by kavshow: it
    // failed first.
    int e = errno;
    json_flush(st);
    errno = e;
    die_sys2("db_readall", file);
  }
  if (json_flush(st) != 0)
    die_sys1("stdout");
  return 0;
}
