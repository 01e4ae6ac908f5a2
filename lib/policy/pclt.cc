// pclt.cc: the policy tree. Lists hang on path-tree nodes by pointer; the
// tree owns them and frees them through pclt_node_free.
//
// pclt_merge_node, the merge's step for one node, has no declaration in
// the header: only the merge calls it (and a test, on one node).
#include "policy/pclt.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

void
pclt_node_free(ft_node *node)
{
  pcl_free(static_cast<pcl *>(node->ftn_data));
}

}  // namespace

pclt *
pclt_init()
{
  return ft_init(pclt_node_free, ft_data_keep);
}

void
pclt_free(pclt *t)
{
  if (t != nullptr)
    ft_free(t);
}

pcl *
pclt_add(pclt *t, const char *path, pcl *l)
{
  ft_node *n = ft_add(t, path, l, 0);
  // The keep callback cannot fail, but a node that did not take l leaves
  // it with the caller all the same.
  if (n == nullptr || n->ftn_data != l)
    return nullptr;
  return l;
}

pcl *
pclt_lookup(pclt *t, const char *path, int *inherited)
{
  ft_node *deepest = nullptr;
  ft_node *n = ft_lookup(t, path, &deepest);
  *inherited = 0;
  if (n == nullptr) {
    n = deepest;
    *inherited = 1;
  }
  while (n != nullptr && n->ftn_data == nullptr) {
    n = n->ftn_parent;
    *inherited = 1;
  }
  // Only a tree whose root has no list gets here with null.
  return n != nullptr ? static_cast<pcl *>(n->ftn_data) : nullptr;
}

namespace {

// Gives L the inheritable entries of P, before or after its own. The copies
// are made into a new array first, so that L is either complete or exactly
// as it was: a failure leaves nothing half-copied in it.
int
pclt_inherit(pcl *l, const pcl *p)
{
  unsigned k = 0;
  for (unsigned i = 0; i < p->pl_count; i++)
    if (p->pl_ents[i].pe_flags & PCLENT_INHERIT)
      k++;
  if (k == 0)
    return 0;
  unsigned own = l->pl_count;
  if (own + k > PCL_MAX_ENTRIES) {
    errno = ENOMEM;
    return -1;
  }
  pclent *ents = static_cast<pclent *>(calloc(own + k, sizeof(pclent)));
  if (ents == nullptr)
    return -1;
  unsigned at = l->pl_kind == PCL_INH_PRE ? 0 : own;
  unsigned done = 0;
  for (unsigned i = 0; i < p->pl_count; i++) {
    if (!(p->pl_ents[i].pe_flags & PCLENT_INHERIT))
      continue;
    if (pclent_copy(&ents[at + done], &p->pl_ents[i]) == nullptr) {
      int saved = errno;
      for (unsigned j = 0; j < done; j++)
        pclent_clear(&ents[at + j]);
      free(ents);
      errno = saved;
      return -1;
    }
    done++;
  }
  // The list's own entries move over whole; their arrays go with them.
  if (own > 0)
    memcpy(&ents[l->pl_kind == PCL_INH_PRE ? k : 0], l->pl_ents,
           own * sizeof(pclent));
  free(l->pl_ents);
  l->pl_ents = ents;
  l->pl_count = static_cast<uint8_t>(own + k);
  return 0;
}

}  // namespace

// One node's step of the merge: its list takes the inheritable entries of
// the nearest list above, which the pre-order traversal has completed, so
// entries flow down a whole chain of PRE and POST lists.
int
pclt_merge_node(ft_node *node)
{
  pcl *l = static_cast<pcl *>(node->ftn_data);
  if (node->ftn_depth == 0 || l == nullptr ||
      (l->pl_kind != PCL_INH_PRE && l->pl_kind != PCL_INH_POST))
    return 0;
  const ft_node *up = node->ftn_parent;
  while (up != nullptr && up->ftn_data == nullptr)
    up = up->ftn_parent;
  if (up == nullptr)
    return 0;
  return pclt_inherit(l, static_cast<const pcl *>(up->ftn_data));
}

namespace {

int
merge_visit(ft_node *node, void *)
{
  return pclt_merge_node(node);
}

}  // namespace

int
pclt_merge(pclt *t)
{
  // The traversal settles every node first, so ftn_parent is good.
  return ft_traverse(t, merge_visit, nullptr) != 0 ? -1 : 0;
}

pcl *
pclt_root(const pclt *t)
{
  return static_cast<pcl *>(t->ftt_root->ftn_data);
}
