// dump.cc: printing of policy entries, lists and the policy tree.
#include "kavconf/dump.h"

#include <cstdio>

#include "db/print.h"

namespace {

// Ids are held unsigned but shown signed: 4294967294 prints as -2.
void
range_print(const char *kw, const pclent_range &r)
{
  int low = static_cast<int32_t>(r.pr_low);
  int high = static_cast<int32_t>(r.pr_high);
  switch (r.pr_kind) {
    case PCLENT_R_EXACT: printf("\t%s:%d\n", kw, low); break;
    case PCLENT_R_FROM: printf("\t%s:%d-\n", kw, low); break;
    case PCLENT_R_UPTO: printf("\t%s:-%d\n", kw, high); break;
    case PCLENT_R_BETWEEN: printf("\t%s:%d-%d\n", kw, low, high); break;
    default: break;
  }
}

}  // namespace

void
pclent_print(const pclent *e)
{
  // The mask text of the record printers, or N as wide.
  char head[DB_NATTRS + 1];
  if (e->pe_flags & PCLENT_RECORD) {
    mask_text(e->pe_mask, head);
    head[DB_NATTRS] = '\0';
  } else {
    snprintf(head, sizeof head, "%-*s", int(DB_NATTRS), "N");
  }
  printf("+%s %c%c\n", head, (e->pe_flags & PCLENT_PRUNE) ? 'S' : '-',
         (e->pe_flags & PCLENT_INHERIT) ? 'I' : '-');
  for (uint16_t i = 0; i < e->pe_nnames; i++)
    printf("\tname:%s;\n", e->pe_names[i]);
  for (uint16_t i = 0; i < e->pe_nres; i++)
    printf("\tnamere:%s;\n", e->pe_resrc[i]);
  for (uint16_t i = 0; i < e->pe_nuids; i++)
    range_print("uid", e->pe_uids[i]);
  for (uint16_t i = 0; i < e->pe_ngids; i++)
    range_print("gid", e->pe_gids[i]);
  if (e->pe_types != 0) {
    char types[PCL_NTYPES + 1];
    size_t n = 0;
    for (const pcl_type &t : PCL_TYPES)
      types[n++] = (e->pe_types & t.bit) ? t.letter : '-';
    types[n] = '\0';
    printf("\ttype:%s\n", types);
  }
}

void
pcl_print(const pcl *l, int inherited_only)
{
  for (unsigned i = 0; i < l->pl_count; i++)
    if (!inherited_only || (l->pl_ents[i].pe_flags & PCLENT_INHERIT))
      pclent_print(&l->pl_ents[i]);
  putchar('\n');
}

int
pclt_print_node(ft_node *node, void *)
{
  if (node->ftn_data == nullptr)
    return 0;
  printf("@%s;\n", node->ftn_path);
  pcl_print(static_cast<const pcl *>(node->ftn_data), 0);
  return 0;
}
