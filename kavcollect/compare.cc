// compare.cc: two snapshots of the store compared by the compare engine
// that kavcmp runs, the differing paths kept for the reports.
#include <cerrno>
#include <cstring>

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

}  // namespace

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
