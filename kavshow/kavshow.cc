// kavshow: prints the records of a snapshot or difference database.
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "db/db.h"
#include "db/print.h"
#include "diag/diag.h"
#include "port/port.h"

// Option bits; -h's long layout is the default.
constexpr uint32_t OPT_HUMAN = 0x001;
constexpr uint32_t OPT_LONG = 0x002;
constexpr uint32_t OPT_PLAIN = 0x004;
constexpr uint32_t OPT_MASK_SET = 0x010;
constexpr uint32_t OPT_MASK_AND = 0x020;
constexpr uint32_t OPT_EXACT = 0x200;
constexpr uint32_t OPT_PREFIX = 0x400;

struct show_opts {
  uint32_t mask;  // from the last -m or -M
  uint32_t opts;
  char path[DB_PATH_MAX + 1];  // from the last -d or -D
};

static const char usage_text[] =
    "usage: kavshow [[-x] -h | -p] [-m mask | -M mask] [-d path | -D path] file\n";

[[noreturn]] static void
usage()
{
  fwrite(usage_text, 1, sizeof usage_text - 1, stderr);
  exit(1);
}

static int
show_record(const db_frame *fr, const void *data, void *arg)
{
  const show_opts *o = static_cast<const show_opts *>(arg);
  // Only whole records are decoded: a frame too short for what its kind
  // promises stops the reading as a damaged file,
  // whether or not the path filters would have shown it.
  if (fr->len < DB_REC_LEN ||
      (fr->kind == DB_KIND_CHANGED && fr->len < 2 * DB_REC_LEN)) {
    errno = EBADMSG;
    return -1;
  }
  if ((o->opts & OPT_EXACT) && strncmp(o->path, fr->path, sizeof o->path) != 0)
    return 0;
  if ((o->opts & OPT_PREFIX) &&
      strncmp(o->path, fr->path, strlen(o->path)) != 0)
    return 0;
  const uint8_t *bytes = static_cast<const uint8_t *>(data);
  db_rec recs[2];
  db_rec_unpack(bytes, &recs[0]);
  if (fr->kind == DB_KIND_CHANGED)
    db_rec_unpack(bytes + DB_REC_LEN, &recs[1]);
  uint32_t sel;
  if (o->opts & OPT_MASK_SET)
    sel = o->mask;
  else if (o->opts & OPT_MASK_AND)
    sel = recs[0].mask & o->mask;
  else
    sel = recs[0].mask;
  if (o->opts & OPT_PLAIN)
    rec_print_plain(fr->kind, recs, fr->path, sel);
  else if (o->opts & OPT_HUMAN)
    rec_print_human(fr->kind, recs, fr->path, sel);
  else
    rec_print_long(fr->kind, recs, fr->path, sel);
  return 0;
}

int
main(int argc, char *argv[])
{
  show_opts o;
  memset(&o, 0, sizeof o);
  o.opts = OPT_LONG;
  int ch;
  while ((ch = getopt(argc, argv, PORT_OPTS("phxm:M:d:D:"))) != -1) {
    switch (ch) {
      case 'p': o.opts |= OPT_PLAIN; break;
      case 'h': o.opts |= OPT_LONG; break;
      case 'x': o.opts |= OPT_HUMAN; break;
      case 'm': o.opts |= OPT_MASK_AND; mask_parse(optarg, &o.mask); break;
      case 'M': o.opts |= OPT_MASK_SET; mask_parse(optarg, &o.mask); break;
      case 'd': o.opts |= OPT_PREFIX; copy_cut(o.path, optarg); break;
      case 'D': o.opts |= OPT_EXACT; copy_cut(o.path, optarg); break;
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

  // Room for the largest frame written: a changed pair.
  uint8_t data[2 * DB_REC_LEN];
  if (db_readall(file, show_record, &o, data, sizeof data) != 0) {
    // The records before the failure go out before the message, so that
    // both streams into one file read in order.
    int e = errno;
    fflush(stdout);
    errno = e;
    die_sys2("db_readall", file);
  }
  return 0;
}
