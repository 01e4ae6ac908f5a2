// kavcmp: compares an older and a newer snapshot database and prints the
// paths that differ, in tree order, or stores them in a difference database.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "db/db.h"
#include "db/print.h"
#include "diag/diag.h"
#include "ft/ft.h"
#include "kavcmp/cmp.h"
#include "port/port.h"

// Bits of the option word.
constexpr uint32_t OPT_HUMAN = 0x01;
constexpr uint32_t OPT_LONG = 0x02;
constexpr uint32_t OPT_PLAIN = 0x04;
constexpr uint32_t OPT_DIFF = 0x10;
constexpr uint32_t OPT_MASK_SET = 0x100;  // -M: the mask replaces the record's
constexpr uint32_t OPT_MASK_AND = 0x200;  // -m: the mask narrows the record's

static const char usage_text[] =
    "usage: kavcmp [-h [-x] | -p | -d file] [-m mask | -M mask] file1 file2\n";
static_assert(sizeof usage_text - 1 == 71, "usage text is 71 bytes");

// What cmp_print needs: the mask of the last -m or -M, the option word.
struct print_opts {
  uint32_t mask;
  uint32_t opts;
};

[[noreturn]] static void
usage()
{
  fwrite(usage_text, 1, sizeof usage_text - 1, stderr);
  exit(1);
}

// Prints one reported path in the layout the options chose.
static int
cmp_print(ft_node *node, void *arg)
{
  if (node->ftn_data == nullptr || node->ftn_kind == DB_KIND_UNCHANGED)
    return 0;
  const print_opts *po = static_cast<const print_opts *>(arg);
  const db_rec *recs = static_cast<const db_rec *>(node->ftn_data);
  uint32_t sel;
  if (po->opts & OPT_MASK_SET)
    sel = po->mask;
  else if (po->opts & OPT_MASK_AND)
    sel = recs[0].mask & po->mask;
  else
    sel = recs[0].mask;
  if (po->opts & OPT_PLAIN)
    rec_print_plain(node->ftn_kind, recs, node->ftn_path, sel);
  else if (po->opts & OPT_LONG) {
    if (po->opts & OPT_HUMAN)
      rec_print_human(node->ftn_kind, recs, node->ftn_path, sel);
    else
      rec_print_long(node->ftn_kind, recs, node->ftn_path, sel);
  }
  return 0;
}

// Appends one frame for a reported path: the older and newer record of a
// changed path, the one record of a new or deleted one.
static int
cmp_put_diff(ft_node *node, void *arg)
{
  uint16_t kind = node->ftn_kind;
  if (node->ftn_data == nullptr || kind == DB_KIND_NONE ||
      kind == DB_KIND_UNCHANGED)
    return 0;
  const db_rec *recs = static_cast<const db_rec *>(node->ftn_data);
  uint8_t buf[2 * DB_REC_LEN];
  uint32_t len = DB_REC_LEN;
  db_rec_pack(&recs[0], buf);
  if (kind == DB_KIND_CHANGED) {
    db_rec_pack(&recs[1], buf + DB_REC_LEN);
    len = 2 * DB_REC_LEN;
  }
  if (db_argput(static_cast<db_handle *>(arg), node->ftn_path, len, kind,
                buf) != 0) {
    int e = errno;  // the driver reports it after this line
    warn_msg1("db_argput()");
    errno = e;
    return -1;
  }
  return 0;
}

int
main(int argc, char *argv[])
{
  uint32_t opts = OPT_LONG;
  print_opts po = {0, 0};
  char diffname[DB_PATH_MAX + 1] = "";
  int ch;
  while ((ch = getopt(argc, argv, PORT_OPTS("hxpd:m:M:"))) != -1) {
    switch (ch) {
      case 'h': opts |= OPT_LONG; break;
      case 'x': opts |= OPT_HUMAN; break;
      case 'p': opts |= OPT_PLAIN; break;
      case 'd':
        opts |= OPT_DIFF;
        copy_cut(diffname, optarg);
        break;
      case 'm':
        opts |= OPT_MASK_AND;
        mask_parse(optarg, &po.mask);
        break;
      case 'M':
        opts |= OPT_MASK_SET;
        mask_parse(optarg, &po.mask);
        break;
      default: usage();  // getopt has said what was wrong
    }
  }
  if (argc - optind != 2)
    usage();
  const char *older = argv[optind], *newer = argv[optind + 1];

  ft_tree *tree = ft_init(nullptr, nullptr);
  if (tree == nullptr)
    die_sys1("ft_init()");
  // Exactly one stored record of room: the reader refuses longer frames.
  uint8_t data[DB_REC_LEN];
  if (db_readall(older, cmp_load_old, tree, data, sizeof data) < 0)
    die_sys2("db_readall()", older);
  if (db_readall(newer, cmp_load_new, tree, data, sizeof data) < 0)
    die_sys2("db_readall()", newer);

  if (opts & OPT_DIFF) {
    db_handle *db = db_open(diffname, O_RDWR | O_CREAT | O_EXCL, 0600);
    if (db == nullptr)
      die_sys2("db_open()", diffname);
    if (ft_traverse(tree, cmp_put_diff, db) != 0)
      die_sys1("ft_traverse()");
    if (db_close(db) != 0)
      die_sys2("db_close()", diffname);
  } else {
    po.opts = opts;
    ft_traverse(tree, cmp_print, &po);
  }
  ft_free(tree);
  return 0;
}
