// dump.h: the policy dump, a report for people in a notation of its own.
// Everything goes to standard output.
#pragma once
#include "policy/pclt.h"

void pclent_print(const pclent *e);
// The entries of l (only the inheritable ones when inherited_only is set),
// then a blank line.
void pcl_print(const pcl *l, int inherited_only);
// ft_visitor of the full dump: "@path;" and the list of every node that
// has one. arg is ignored; always 0.
int pclt_print_node(ft_node *node, void *arg);
