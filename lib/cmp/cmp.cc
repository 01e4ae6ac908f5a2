// cmp.cc: loading and classifying the records of two snapshot databases.
#include "cmp/cmp.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

// Stores n records (one, or a pair) as node's payload. A record without
// extension is stored as it is; with extensions, the payload holds the
// records, then their db_ext, then the attribute items, and the records
// point into it.
ft_node *
store(ft_tree *tree, ft_node *node, const char *path, const db_rec *recs, int n)
{
  size_t items = 0;
  bool ext = false;
  for (int i = 0; i < n; i++)
    if (recs[i].ext != nullptr) {
      ext = true;
      items += recs[i].ext->xa_len;
    }
  size_t size = size_t(n) * sizeof(db_rec);
  if (!ext)
    return node == nullptr ? ft_add(tree, path, recs, size)
                           : ft_node_set(tree, node, recs, size);
  size_t ext_at = size;
  size_t items_at = size + size_t(n) * sizeof(db_ext);
  std::unique_ptr<uint8_t, decltype(&std::free)> buf(
      static_cast<uint8_t *>(malloc(items_at + items)), std::free);
  if (buf == nullptr) {
    errno = ENOMEM;
    return nullptr;
  }
  memcpy(buf.get(), recs, size);
  node = node == nullptr ? ft_add(tree, path, buf.get(), items_at + items)
                         : ft_node_set(tree, node, buf.get(), items_at + items);
  if (node == nullptr)
    return nullptr;
  // The copy in the node is what the records now point into.
  uint8_t *held = static_cast<uint8_t *>(node->ftn_data);
  db_rec *r = reinterpret_cast<db_rec *>(held);
  db_ext *x = reinterpret_cast<db_ext *>(held + ext_at);
  size_t at = items_at;
  for (int i = 0; i < n; i++) {
    x[i] = recs[i].ext != nullptr ? *recs[i].ext : db_ext{};
    if (x[i].xa_len > 0) {
      memcpy(held + at, x[i].xa, x[i].xa_len);
      x[i].xa = held + at;
      at += x[i].xa_len;
    }
    r[i].ext = recs[i].ext != nullptr ? &x[i] : nullptr;
  }
  return node;
}

}  // namespace

int
cmp_frame_rec(const db_frame *fr, const void *data, db_rec *rec, db_ext *ext)
{
  if (fr->kind != DB_KIND_SNAP || fr->len < DB_REC_LEN) {
    errno = EBADMSG;
    return -1;
  }
  db_rec_unpack(static_cast<const uint8_t *>(data), rec);
  if (fr->len == DB_REC_LEN)
    return 0;
  // A snapshot's record has an extension only when its mask asks for an
  // attribute of one; no byte after the record is read otherwise.
  if ((rec->mask & DB_EXT_ATTRS) == 0) {
    errno = EBADMSG;
    return -1;
  }
  return db_recs_unpack(data, fr->len, 1, rec, ext);
}

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
  db_ext ext;
  if (cmp_frame_rec(fr, data, &rec, &ext) != 0)
    return -1;
  ft_node *node = store(tree, nullptr, fr->path, &rec, 1);
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
  db_ext ext;
  if (cmp_frame_rec(fr, data, &rec, &ext) != 0)
    return -1;
  ft_node *node = ft_lookup(tree, fr->path, nullptr);
  if (node == nullptr) {
    node = store(tree, nullptr, fr->path, &rec, 1);
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
    if (store(tree, node, fr->path, &rec, 1) == nullptr)
      return -1;
    node->ftn_kind = DB_KIND_NEW;
    return 0;
  }
  const db_rec *old = static_cast<const db_rec *>(node->ftn_data);
  if (cmp_rec_equal(old, &rec)) {
    node->ftn_kind = DB_KIND_UNCHANGED;
    return 0;
  }
  // Copied out first: the older record goes when the pair replaces it,
  // and with it the attribute items its extension points to.
  db_rec pair[2] = {*old, rec};
  db_ext old_ext;
  std::unique_ptr<uint8_t, decltype(&std::free)> items(nullptr, std::free);
  if (old->ext != nullptr) {
    old_ext = *old->ext;
    if (old_ext.xa_len > 0) {
      items.reset(static_cast<uint8_t *>(malloc(old_ext.xa_len)));
      if (items == nullptr) {
        errno = ENOMEM;
        return -1;
      }
      memcpy(items.get(), old_ext.xa, old_ext.xa_len);
      old_ext.xa = items.get();
    }
    pair[0].ext = &old_ext;
  }
  if (store(tree, node, fr->path, pair, 2) == nullptr)
    return -1;
  node->ftn_kind = DB_KIND_CHANGED;
  return 0;
}

uint16_t
cmp_change(const ft_node *node, db_rec recs[2])
{
  uint16_t kind = node->ftn_kind;
  if (node->ftn_data == nullptr || kind == DB_KIND_UNCHANGED)
    return DB_KIND_NONE;
  const db_rec *held = static_cast<const db_rec *>(node->ftn_data);
  recs[0] = held[0];
  recs[1] = kind == DB_KIND_CHANGED ? held[1] : held[0];
  return kind;
}

ft_tree *
cmp_load(const char *older, const char *newer, const char **failed)
{
  *failed = nullptr;
  ft_tree *tree = ft_init(nullptr, nullptr);
  if (tree == nullptr)
    return nullptr;
  // One record and its extension: the reader refuses longer frames. On the
  // heap, not static, so that threads may compare at the same time.
  constexpr size_t room = DB_REC_LEN + DB_EXT_MAX;
  uint8_t *data = static_cast<uint8_t *>(malloc(room));
  if (data == nullptr) {
    ft_free(tree);
    errno = ENOMEM;
    return nullptr;
  }
  if (db_readall(older, cmp_load_old, tree, data, room) < 0)
    *failed = older;
  else if (db_readall(newer, cmp_load_new, tree, data, room) < 0)
    *failed = newer;
  int e = errno;
  free(data);
  if (*failed == nullptr)
    return tree;
  ft_free(tree);
  errno = e;
  return nullptr;
}
