// compare.cc: two snapshots of the store compared by the compare engine
// that kavcmp runs, the differing paths kept for the reports.
#include <cerrno>
#include <cstring>

#include "ft/ft.h"
#include "kavcmp/cmp.h"
#include "kavcollect/collect.h"

namespace {

int
keep_change(ft_node *node, void *arg)
{
  uint16_t kind = node->ftn_kind;
  if (node->ftn_data == nullptr || kind == DB_KIND_NONE ||
      kind == DB_KIND_UNCHANGED)
    return 0;
  auto *out = static_cast<std::vector<collect_change> *>(arg);
  collect_change c;
  c.cc_path.assign(node->ftn_path, node->ftn_pathlen);
  c.cc_kind = uint8_t(kind);
  const db_rec *recs = static_cast<const db_rec *>(node->ftn_data);
  c.cc_recs[0] = recs[0];
  c.cc_recs[1] = kind == DB_KIND_CHANGED ? recs[1] : recs[0];
  // The extensions live in the tree, which is freed once the changes are
  // kept: the reports print the nine attributes of each record.
  c.cc_recs[0].ext = nullptr;
  c.cc_recs[1].ext = nullptr;
  out->push_back(std::move(c));
  return 0;
}

}  // namespace

bool
collect_compare(const std::string &older, const std::string &newer,
                std::vector<collect_change> *out, std::string *why)
{
  out->clear();
  const char *failed = nullptr;
  ft_tree *tree = cmp_load(older.c_str(), newer.c_str(), &failed);
  if (tree == nullptr) {
    *why = failed != nullptr ? std::string(failed) + ": " + strerror(errno)
                             : "out of memory";
    return false;
  }
  ft_traverse(tree, keep_change, out);
  ft_free(tree);
  return true;
}
