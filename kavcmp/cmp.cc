// cmp.cc: loading and classifying the records of two snapshot databases.
#include "kavcmp/cmp.h"

#include <cerrno>

namespace {

// Decodes the frame's record; -1 (EBADMSG) unless the frame is a snapshot
// frame carrying exactly one, so nothing is read that the frame did not
// supply and a difference database is not taken for a snapshot.
int
frame_rec(const db_frame *fr, const void *data, db_rec *rec)
{
  if (fr->kind != DB_KIND_SNAP || fr->len != DB_REC_LEN) {
    errno = EBADMSG;
    return -1;
  }
  db_rec_unpack(static_cast<const uint8_t *>(data), rec);
  return 0;
}

}  // namespace

bool
cmp_rec_equal(const db_rec *a, const db_rec *b)
{
  return db_rec_diff(a, b) == 0;
}

int
cmp_load_old(const db_frame *fr, const void *data, void *arg)
{
  ft_tree *tree = static_cast<ft_tree *>(arg);
  db_rec rec;
  if (frame_rec(fr, data, &rec) != 0)
    return -1;
  ft_node *node = ft_add(tree, fr->path, &rec, sizeof rec);
  if (node == nullptr)
    return -1;
  node->ftn_kind = DB_KIND_DELETED;
  return 0;
}

int
cmp_load_new(const db_frame *fr, const void *data, void *arg)
{
  ft_tree *tree = static_cast<ft_tree *>(arg);
  db_rec rec;
  if (frame_rec(fr, data, &rec) != 0)
    return -1;
  ft_node *node = ft_lookup(tree, fr->path, nullptr);
  if (node == nullptr) {
    node = ft_add(tree, fr->path, &rec, sizeof rec);
    if (node == nullptr)
      return -1;
    node->ftn_kind = DB_KIND_NEW;
    return 0;
  }
  // A node made only as an ancestor of other paths has no record: the
  // path appeared, and a node of kind 0 would never be reported. A path
  // the newer database repeats is still only in the newer one: comparing
  // it with its own first record could call it unchanged and hide it. As
  // in the older database, its last record wins.
  if (node->ftn_data == nullptr || node->ftn_kind == DB_KIND_NEW) {
    if (ft_node_set(tree, node, &rec, sizeof rec) == nullptr)
      return -1;
    node->ftn_kind = DB_KIND_NEW;
    return 0;
  }
  const db_rec *old = static_cast<const db_rec *>(node->ftn_data);
  if (cmp_rec_equal(old, &rec)) {
    node->ftn_kind = DB_KIND_UNCHANGED;
    return 0;
  }
  // Copied out first: the older record goes when the pair replaces it.
  db_rec pair[2] = {*old, rec};
  if (ft_node_set(tree, node, pair, sizeof pair) == nullptr)
    return -1;
  node->ftn_kind = DB_KIND_CHANGED;
  return 0;
}

ft_tree *
cmp_load(const char *older, const char *newer, const char **failed)
{
  *failed = nullptr;
  ft_tree *tree = ft_init(nullptr, nullptr);
  if (tree == nullptr)
    return nullptr;
  // Exactly one stored record of room: the reader refuses longer frames.
  uint8_t data[DB_REC_LEN];
  if (db_readall(older, cmp_load_old, tree, data, sizeof data) < 0)
    *failed = older;
  else if (db_readall(newer, cmp_load_new, tree, data, sizeof data) < 0)
    *failed = newer;
  else
    return tree;
  int e = errno;
  ft_free(tree);
  errno = e;
  return nullptr;
}
