// frame.cc: what the reading programs share about a frame: whether its
// data holds its records, whether the path filters admit it, its records,
// which attributes of a changed pair differ.
#include "db/db.h"

#include <cerrno>
#include <cstring>

namespace {

// What a record lacking an extension counts as.
constexpr db_ext NO_EXT = {};

// The extension's attributes that differ. Attribute items are written in
// one order, so equal sets are equal bytes.
uint32_t
ext_diff(const db_rec *a, const db_rec *b)
{
  const db_ext *x = a->ext != nullptr ? a->ext : &NO_EXT;
  const db_ext *y = b->ext != nullptr ? b->ext : &NO_EXT;
  uint32_t d = 0;
  if (memcmp(x->sha256, y->sha256, DB_SHA256_LEN) != 0)
    d |= DB_SHA256;
  if (x->xa_len != y->xa_len ||
      (x->xa_len > 0 && memcmp(x->xa, y->xa, x->xa_len) != 0))
    d |= DB_XATTR;
  return d;
}

}  // namespace

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
              bool exact, bool prefix, db_rec recs[2], db_ext exts[2])
{
  // Only whole records are decoded, and a damaged file is reported as
  // such even where the path filters would have hidden the damage.
  if (db_frame_unpack(fr, data, recs, exts) != 0)
    return -1;
  if (!db_path_admits(fr->path, want, exact, prefix))
    return 0;
  return 1;
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
  if (a->ext != nullptr || b->ext != nullptr)
    d |= ext_diff(a, b);
  return d;
}
