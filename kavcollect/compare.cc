// compare.cc: two snapshots of the store compared by the compare engine
// that kavcmp runs, the differing paths kept for the reports.
#include <cerrno>
#include <cstring>
#include <memory>

#include "cmp/cmp.h"
#include "ft/ft.h"
#include "kavcollect/collect.h"

namespace {

int
keep_change(ft_node *node, void *arg)
{
  collect_change c;
  c.cc_kind = uint8_t(cmp_change(node, c.cc_recs));
  if (c.cc_kind == DB_KIND_NONE)
    return 0;
  c.cc_path.assign(node->ftn_path, node->ftn_pathlen);
  // The extensions live in the tree, which is freed once the changes are
  // kept: their digests and attributes are copied for the triage and the
  // fleet's groups.
  // Only a change has a second record: the other is not filled in.
  int held = c.cc_kind == DB_KIND_CHANGED ? 2 : 1;
  c.cc_recs[1].ext = nullptr;
  for (int i = 0; i < held; i++) {
    const db_ext *x = c.cc_recs[i].ext;
    c.cc_recs[i].ext = nullptr;
    if (x == nullptr)
      continue;
    c.cc_ext[i].ce_set = true;
    memcpy(c.cc_ext[i].ce_sha256, x->sha256, DB_SHA256_LEN);
    if (x->xa != nullptr)
      c.cc_ext[i].ce_xa.assign(x->xa, x->xa + x->xa_len);
  }
  static_cast<std::vector<collect_change> *>(arg)->push_back(std::move(c));
  return 0;
}

// Counts the frames, so that a damaged one can be named.
int
check_frame(const db_frame *fr, const void *data, void *arg)
{
  db_rec rec;
  db_ext ext;
  if (cmp_frame_rec(fr, data, &rec, &ext) != 0)
    return -1;
  ++*static_cast<uint64_t *>(arg);
  return 0;
}

}  // namespace

void
collect_change_recs(const collect_change &c, db_rec recs[2], db_ext ext[2])
{
  for (int i = 0; i < 2; i++) {
    recs[i] = c.cc_recs[i];
    recs[i].ext = nullptr;
    const collect_ext &x = c.cc_ext[i];
    if (!x.ce_set)
      continue;
    memcpy(ext[i].sha256, x.ce_sha256, DB_SHA256_LEN);
    ext[i].xa = x.ce_xa.empty() ? nullptr : x.ce_xa.data();
    ext[i].xa_len = uint32_t(x.ce_xa.size());
    recs[i].ext = &ext[i];
  }
}

bool
collect_check(const std::string &path, std::string *err)
{
  // As cmp_load reads: one record and its extension at most.
  constexpr size_t room = DB_REC_LEN + DB_EXT_MAX;
  std::unique_ptr<uint8_t[]> data(new uint8_t[room]);
  uint64_t frames = 0;
  if (db_readall(path.c_str(), check_frame, &frames, data.get(), room) == 0)
    return true;
  int e = errno;
  *err = strerror(e);
  if (e == EBADMSG)
    *err += " (frame " + std::to_string(frames + 1) + ")";
  errno = e;
  return false;
}

bool
collect_compare(const std::string &older, const std::string &newer,
                std::vector<collect_change> *out, std::string *err)
{
  out->clear();
  const char *failed = nullptr;
  ft_tree *tree = cmp_load(older.c_str(), newer.c_str(), &failed);
  if (tree == nullptr) {
    *err = failed != nullptr ? std::string(failed) + ": " + strerror(errno)
                             : "out of memory";
    return false;
  }
  ft_traverse(tree, keep_change, out);
  ft_free(tree);
  return true;
}
