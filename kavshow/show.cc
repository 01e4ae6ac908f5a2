// show.cc: printing the records of a database frame by frame.
#include "kavshow/show.h"

#include <cerrno>
#include <cstdint>
#include <cstring>

int
show_record(const db_frame *fr, const void *data, void *arg)
{
  const show_opts *o = static_cast<const show_opts *>(arg);
  // Only whole records are decoded, and a damaged file is reported as
  // such even where the path filters would have hidden the damage.
  if (fr->len < DB_REC_LEN ||
      (fr->kind == DB_KIND_CHANGED && fr->len < 2 * DB_REC_LEN)) {
    errno = EBADMSG;
    return -1;
  }
  if (o->so_exact && strncmp(o->so_path, fr->path, sizeof o->so_path) != 0)
    return 0;
  if (o->so_prefix && strncmp(o->so_path, fr->path, strlen(o->so_path)) != 0)
    return 0;
  const uint8_t *bytes = static_cast<const uint8_t *>(data);
  db_rec recs[2];
  db_rec_unpack(bytes, &recs[0]);
  if (fr->kind == DB_KIND_CHANGED)
    db_rec_unpack(bytes + DB_REC_LEN, &recs[1]);
  if (rec_view_print(&o->so_view, fr->kind, recs, fr->path) != 0)
    return SHOW_OUT_FAILED;
  return 0;
}
