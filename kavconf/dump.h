// dump.h: the policy dump, a report for people in a notation of its own.
// Everything goes to standard output, as the policy wrote it: the text
// comes from the administrator, not from the file system. Each printer
// returns 0, or -1 with errno from the first write that stdout refused,
// and prints nothing more after it.
#pragma once
#include "policy/pclt.h"

int pclent_print(const pclent *e);
// The entries of l (only the inheritable ones when inherited_only is set),
// then a blank line.
int pcl_print(const pcl *l, int inherited_only);
// ft_visitor of the full dump: "@path;" and the list of every node that
// has one. arg is ignored; -1 ends the traversal.
int pclt_print_node(ft_node *node, void *arg);
