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
  // kept: the reports print the nine attributes of each record.
  c.cc_recs[0].ext = nullptr;
  c.cc_recs[1].ext = nullptr;
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
