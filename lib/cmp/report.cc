// report.cc: the paths that differ, printed or stored in a difference
// database.
#include "cmp/cmp.h"

#include "db/print.h"

int
cmp_print(ft_node *node, void *arg)
{
  if (node->ftn_data == nullptr || node->ftn_kind == DB_KIND_UNCHANGED)
    return 0;
  const db_rec *recs = static_cast<const db_rec *>(node->ftn_data);
  return rec_view_print(static_cast<const rec_view *>(arg), node->ftn_kind,
                        recs, node->ftn_path);
}

int
cmp_put_diff(ft_node *node, void *arg)
{
  uint16_t kind = node->ftn_kind;
  if (node->ftn_data == nullptr || kind == DB_KIND_NONE ||
      kind == DB_KIND_UNCHANGED)
    return 0;
  const db_rec *recs = static_cast<const db_rec *>(node->ftn_data);
  static uint8_t buf[DB_DATA_MAX];
  uint32_t len = db_frame_pack(recs, kind == DB_KIND_CHANGED ? 2 : 1, buf);
  return db_argput(static_cast<db_handle *>(arg), node->ftn_path, len, kind,
                   buf);
}
