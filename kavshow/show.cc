// show.cc: printing the records of a database frame by frame.
#include "kavshow/show.h"

int
show_record(const db_frame *fr, const void *data, void *arg)
{
  const show_opts *o = static_cast<const show_opts *>(arg);
  db_rec recs[2];
  int r = db_frame_recs(fr, data, o->so_path, o->so_exact, o->so_prefix, recs);
  if (r <= 0)
    return r;
  if (rec_view_print(&o->so_view, fr->kind, recs, fr->path) != 0)
    return SHOW_OUT_FAILED;
  return 0;
}
