// show.cc: printing the records of a database frame by frame.
#include "kavshow/show.h"

#include <cstdint>

int
show_record(const db_frame *fr, const void *data, void *arg)
{
  const show_opts *o = static_cast<const show_opts *>(arg);
  // Only whole records are decoded, and a damaged file is reported as
  // such even where the path filters would have hidden the damage.
  db_rec recs[2];
  db_ext exts[2];
  if (db_frame_unpack(fr, data, recs, exts) != 0)
    return -1;
  if (!db_path_admits(fr->path, o->so_path, o->so_exact, o->so_prefix))
    return 0;
  if (rec_view_print(&o->so_view, fr->kind, recs, fr->path) != 0)
    return SHOW_OUT_FAILED;
  return 0;
}
