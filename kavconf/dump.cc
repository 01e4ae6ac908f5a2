// dump.cc: printing of policy entries, lists and the policy tree.
#include "kavconf/dump.h"

#include <cstdio>

#include "db/print.h"

namespace {

// Ids are held unsigned but shown signed: 4294967294 prints as -2.
int
range_print(const char *kw, const pclent_range &r)
{
  int low = static_cast<int32_t>(r.pr_low);
  int high = static_cast<int32_t>(r.pr_high);
  int n = 0;
  switch (r.pr_kind) {
    case PCLENT_R_EXACT: n = printf("\t%s:%d\n", kw, low); break;
    case PCLENT_R_FROM: n = printf("\t%s:%d-\n", kw, low); break;
    case PCLENT_R_UPTO: n = printf("\t%s:-%d\n", kw, high); break;
    case PCLENT_R_BETWEEN: n = printf("\t%s:%d-%d\n", kw, low, high); break;
    default: break;
  }
  return n < 0 ? -1 : 0;
}

// The selector lines of e, those after its head.
int
selectors_print(const pclent *e)
{
  for (uint16_t i = 0; i < e->pe_nnames; i++)
    if (printf("\tname:%s;\n", e->pe_names[i]) < 0)
      return -1;
  for (uint16_t i = 0; i < e->pe_nres; i++)
    if (printf("\tnamere:%s;\n", e->pe_resrc[i]) < 0)
      return -1;
  for (uint16_t i = 0; i < e->pe_nuids; i++)
    if (range_print("uid", e->pe_uids[i]) != 0)
      return -1;
  for (uint16_t i = 0; i < e->pe_ngids; i++)
    if (range_print("gid", e->pe_gids[i]) != 0)
      return -1;
  return 0;
}

}  // namespace

int
pclent_print(const pclent *e)
{
  // The mask text of the record printers, or N as wide as one of the
  // nine attributes of the stored record.
  char head[DB_NATTRS + 1];
  if (e->pe_flags & PCLENT_RECORD)
    head[mask_text(e->pe_mask, head)] = '\0';
  else
    snprintf(head, sizeof head, "%-*s", int(DB_NBASE), "N");
  if (printf("+%s %c%c\n", head, (e->pe_flags & PCLENT_PRUNE) ? 'S' : '-',
             (e->pe_flags & PCLENT_INHERIT) ? 'I' : '-') < 0 ||
      selectors_print(e) != 0)
    return -1;
  if (e->pe_types != 0) {
    char types[PCL_NTYPES + 1];
    size_t n = 0;
    for (const pcl_type &t : PCL_TYPES)
      types[n++] = (e->pe_types & t.bit) ? t.letter : '-';
    types[n] = '\0';
    if (printf("\ttype:%s\n", types) < 0)
      return -1;
  }
  return 0;
}

int
pcl_print(const pcl *l, int inherited_only)
{
  for (unsigned i = 0; i < l->pl_count; i++)
    if ((!inherited_only || (l->pl_ents[i].pe_flags & PCLENT_INHERIT)) &&
        pclent_print(&l->pl_ents[i]) != 0)
      return -1;
  return putchar('\n') == EOF ? -1 : 0;
}

int
pclt_print_node(ft_node *node, void *)
{
  if (node->ftn_data == nullptr)
    return 0;
  if (printf("@%s;\n", node->ftn_path) < 0)
    return -1;
  return pcl_print(static_cast<const pcl *>(node->ftn_data), 0);
}
