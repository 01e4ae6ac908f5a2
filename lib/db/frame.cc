// frame.cc: what the reading programs share about a frame: whether its
// data holds its records, whether the path filters admit it, its records,
// which attributes of a changed pair differ, and how a printing program
// ends.
#include "db/db.h"

#include <cerrno>
#include <cstring>

#include "diag/diag.h"

int
db_frame_check(const db_frame *fr)
{
  size_t need = fr->kind == DB_KIND_CHANGED ? 2 * DB_REC_LEN : DB_REC_LEN;
  if (fr->len < need) {
    errno = EBADMSG;
    return -1;
  }
  return 0;
}

bool
db_path_admits(const char *path, const char *want, bool exact, bool prefix)
{
  // want holds at most DB_PATH_MAX bytes and its terminator.
  if (exact && strncmp(want, path, DB_PATH_MAX + 1) != 0)
    return false;
  if (prefix && strncmp(want, path, strlen(want)) != 0)
    return false;
  return true;
}

int
db_frame_recs(const db_frame *fr, const void *data, const char *want,
              bool exact, bool prefix, db_rec recs[2])
{
  // Only whole records are decoded, and a damaged file is reported as
  // such even where the path filters would have hidden the damage.
  if (db_frame_check(fr) != 0)
    return -1;
  if (!db_path_admits(fr->path, want, exact, prefix))
    return 0;
  const uint8_t *bytes = static_cast<const uint8_t *>(data);
  db_rec_unpack(bytes, &recs[0]);
  if (fr->kind == DB_KIND_CHANGED)
    db_rec_unpack(bytes + DB_REC_LEN, &recs[1]);
  return 1;
}

void
db_print_end(const char *file, int r, bool out_failed, int (*flush)(void *),
             void *arg)
{
  if (out_failed)
    die_sys1("stdout");
  if (r != 0) {
    // Should the flush fail too, the reading is still what is reported:
    // it failed first.
    int e = errno;
    flush(arg);
    errno = e;
    die_sys2("db_readall", file);
  }
  if (flush(arg) != 0)
    die_sys1("stdout");
}

uint32_t
db_rec_diff(const db_rec *a, const db_rec *b)
{
  uint32_t d = 0;
  if (a->ino != b->ino)
    d |= DB_INO;
  if (a->mode != b->mode)
    d |= DB_MODE;
  if (a->links != b->links)
    d |= DB_LINKS;
  if (a->uid != b->uid)
    d |= DB_UID;
  if (a->gid != b->gid)
    d |= DB_GID;
  if (a->size != b->size)
    d |= DB_SIZE;
  if (a->flags != b->flags)
    d |= DB_FLAGS;
  if (memcmp(a->csum, b->csum, DB_SUM_LEN) != 0)
    d |= DB_CSUM;
  return d;
}
