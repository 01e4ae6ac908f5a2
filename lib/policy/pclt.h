// pclt.h: the policy tree, a path tree whose payloads are policy lists,
// with the inheritance pass and the lookup of the list governing a directory.
#pragma once
#include "ft/ft.h"
#include "policy/pcl.h"

typedef ft_tree pclt;

pclt *pclt_init();
void pclt_free(pclt *t);
// Attaches l to path, replacing (and freeing) an earlier list. The list held
// by the node, or null when the node cannot be made (the caller keeps l).
pcl *pclt_add(pclt *t, const char *path, pcl *l);
// The list governing the entries of directory path; *inherited is 0 when it
// is the directory's own, 1 when it belongs to an ancestor. It climbs
// ftn_parent, so it wants a settled tree: call it after pclt_merge (which
// settles every node) and before any further pclt_add.
pcl *pclt_lookup(pclt *t, const char *path, int *inherited);
// Copies inheritable entries into PRE and POST lists, top down. -1 at the
// first list that cannot take them (ENOMEM also when it would pass 255
// entries); that list is left as it was, never half-filled.
int pclt_merge(pclt *t);
// The list of "/" itself, or null when it has none.
pcl *pclt_root(const pclt *t);
