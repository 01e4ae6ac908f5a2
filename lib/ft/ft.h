// ft.h: a tree of absolute paths, one optional payload per node, children
// kept in name order (bytes compared unsigned). Traversal is depth-first
// pre-order from "/", so /a/b comes before /a-b.
#pragma once
#include <cstdint>

struct ft_node;

// Release callback: frees node->ftn_data (never called with null data).
typedef void (*ft_free_fn)(ft_node *node);
// Set callback: stores a payload; the node, or null on failure.
typedef ft_node *(*ft_set_fn)(ft_node *node, const void *data, uint64_t size);
// Visitor of ft_traverse; non-zero stops the traversal.
typedef int (*ft_visitor)(ft_node *node, void *arg);

struct ft_node {
  ft_node *ftn_parent;   // null for the root
  ft_node *ftn_child;    // children by value, in name order; owned
  uint32_t ftn_nchild;
  uint32_t ftn_index;    // position in the parent's ftn_child
  char *ftn_path;        // full path, no trailing slash; owned
  uint16_t ftn_pathlen;
  char *ftn_name;        // points into ftn_path after its last slash
  uint16_t ftn_namelen;
  uint16_t ftn_depth;    // number of slashes; 0 for "/"
  void *ftn_data;        // payload or null
  uint64_t ftn_datalen;
  uint16_t ftn_kind;     // the user's; 0 in a new node
};

struct ft_tree {
  ft_node *ftt_root;
  ft_free_fn ftt_free;
  ft_set_fn ftt_set;
};

// Payload callbacks: a private copy (the default), its release, and keeping
// the caller's pointer itself (ftn_datalen 1).
ft_node *ft_data_copy(ft_node *node, const void *data, uint64_t size);
void ft_data_free(ft_node *node);
ft_node *ft_data_keep(ft_node *node, const void *data, uint64_t size);

// Null callbacks select ft_data_free and ft_data_copy. Null when out of memory.
ft_tree *ft_init(ft_free_fn release, ft_set_fn set);
void ft_free(ft_tree *tree);

// The node of path, created with its missing ancestors; an existing node's
// payload is released and replaced (null data leaves it without one).
// Paths are cut to 1023 bytes and trailing slashes ignored. Node addresses
// are not stable: a pointer is good until the next insertion under the same
// parent. Null on failure.
ft_node *ft_add(ft_tree *tree, const char *path, const void *data,
                uint64_t size);

// The node of path, or null; then *deepest (if given) is the deepest
// existing node on the way (at least the root).
ft_node *ft_lookup(ft_tree *tree, const char *path, ft_node **deepest);

// Puts node's children in name order, with ftn_index and every grandchild's
// ftn_parent repaired. Large directories may take new children out of order
// until then; ft_traverse settles each node before visiting its children,
// and code that reads ftn_child directly calls this first.
void ft_node_settle(ft_node *node);

// Calls fn on every node, root first, in tree order; the first non-zero
// result stops it and is returned.
int ft_traverse(ft_tree *tree, ft_visitor fn, void *arg);
