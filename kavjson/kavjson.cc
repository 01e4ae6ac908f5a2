// kavjson: prints the records of a snapshot or difference database as JSON
// lines, one object per record.
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "db/db.h"
#include "diag/diag.h"
#include "drv/drv.h"
#include "port/port.h"
#include "text/json.h"

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

int
flush_json(void *st)
{
  return json_flush(static_cast<json_state *>(st));
}

}  // namespace

int
main(int argc, char *argv[])
{
  json_state *st = &state;
  int ch;
  while ((ch = getopt(argc, argv, PORT_OPTS("d:D:"))) != -1) {
    switch (ch) {
      case 'd':
        st->js_prefix = true;
        copy_arg(st->js_path, optarg, "-d");
        break;
      case 'D':
        st->js_exact = true;
        copy_arg(st->js_path, optarg, "-D");
        break;
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
  int r = db_readall(file, json_record, st, data, sizeof data);
  // A failed write stops the reading, and is what gets reported then.
  bool out_failed = r != 0 && st->js_werr != 0;
  if (out_failed)
    errno = st->js_werr;
  drv_print_end(file, r, out_failed, flush_json, st);
  return 0;
}
