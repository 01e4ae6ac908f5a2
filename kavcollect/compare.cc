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
  out->push_back(std::move(c));
  return 0;
}

}  // namespace

bool
collect_compare(const std::string &older, const std::string &newer,
                std::vector<collect_change> *out, std::string *why)
{
  out->clear();
  ft_tree *tree = ft_init(nullptr, nullptr);
  if (tree == nullptr) {
    *why = "out of memory";
    return false;
  }
  uint8_t data[DB_REC_LEN];
  const char *failed = nullptr;
  if (db_readall(older.c_str(), cmp_load_old, tree, data, sizeof data) < 0)
    failed = older.c_str();
  else if (db_readall(newer.c_str(), cmp_load_new, tree, data, sizeof data) < 0)
    failed = newer.c_str();
  if (failed != nullptr) {
    *why = std::string(failed) + ": " + strerror(errno);
    ft_free(tree);
    return false;
  }
  ft_traverse(tree, keep_change, out);
  ft_free(tree);
  return true;
}
