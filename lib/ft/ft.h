// ft.h: a tree of absolute paths, one optional payload per node, children
// kept in name order (bytes compared unsigned). Traversal is depth-first
// pre-order from "/", so /a/b comes before /a-b.
//
// When the order holds. Insertion stays cheap at any directory size
// because children are put in order lazily. A node is settled when its
// children stand in ftn_child in name order and every grandchild's
// ftn_parent is its parent's current address. ft_node_settle(node) settles
// one node; ft_traverse settles every node before it calls the first
// visitor, so visitors see the tree fully in order. Only ft_add unsettles:
// the node it inserts under may take the new child out of order, and when
// that node's children move, their children's ftn_parent goes stale.
// Always true: ftn_index is the node's position in its parent's ftn_child,
// no two children share a name, and a node's path, name, depth, payload
// and kind are right. ft_lookup, ft_add and ft_node_set work on unsettled
// nodes.
#pragma once
#include <cstdint>

struct ft_node;

// Release callback: frees node->ftn_data (never called with null data).
typedef void (*ft_free_fn)(ft_node *node);
// Set callback: stores a payload; the node, or null on failure.
typedef ft_node *(*ft_set_fn)(ft_node *node, const void *data, uint64_t size);
// Visitor of ft_traverse; non-zero stops the traversal.
typedef int (*ft_visitor)(ft_node *node, void *arg);

// Callers read every field not marked private and write only ftn_kind.
// A payload's bytes are the caller's to change in place; the payload
// itself (ftn_data, ftn_datalen) changes only through ft_add and
// ft_node_set, which release and store it through the tree's callbacks, so
// that a copy held in the tree's own memory is never passed to free().
// Fields marked private belong to the module: they index the children so
// that insertion and lookup stay cheap in directories of any size.
struct ft_node {
  ft_node *ftn_parent;  // null for the root
  ft_node *ftn_child;   // children by value, in name order when settled
  uint32_t ftn_nchild;
  uint32_t ftn_index;  // position in the parent's ftn_child
  char *ftn_path;      // full path, no trailing slash; owned by the tree
  uint16_t ftn_pathlen;
  uint8_t ftn_flags;     // private: children moved, payload in the tree
  uint8_t ftn_hashbits;  // private: log2 of the slots of ftn_hash, 0: none
  uint32_t ftn_cap;      // private: room in ftn_child
  char *ftn_name;        // points into ftn_path after its last slash
  uint16_t ftn_namelen;
  uint16_t ftn_depth;    // number of slashes; 0 for "/"
  uint32_t ftn_nsorted;  // private: ftn_child[0, ftn_nsorted) is in order
  void *ftn_data;        // payload or null
  uint64_t ftn_datalen;
  uint16_t ftn_kind;   // the user's; 0 in a new node
  uint32_t ftn_key;    // private: first name bytes, for cheap compares
  uint64_t *ftn_hash;  // private: finds the children past ftn_nsorted
};

constexpr int FT_HINTS = 64;  // depths whose last child position is kept
constexpr int FT_SPARE_CLASSES = 16;

// Callers read ftt_root. The callbacks are called by the tree alone.
struct ft_tree {
  ft_node *ftt_root;
  ft_free_fn ftt_free;  // private
  ft_set_fn ftt_set;    // private
  // Private: whether some node may need settling; the blocks that hold the
  // path copies, the small child arrays and the default payload copies,
  // with the arrays outgrown, by size; and per depth the position of the
  // child found last, which paths arriving in walk order hit again.
  int ftt_unsettled;
  struct ft_block *ftt_blocks;
  char *ftt_room;
  char *ftt_room_end;
  ft_node *ftt_spare[FT_SPARE_CLASSES];
  uint32_t ftt_hint[FT_HINTS];
};

// Payload callbacks: a private copy (the default), its release, and keeping
// the caller's pointer itself (ftn_datalen 1). A tree with the defaults
// keeps small copies in memory of its own, which ft_data_free tells apart
// by a private flag. These are callbacks for ft_init (or for callbacks of
// one's own to call), not a way to change a node's payload by hand: that
// is what ft_add and ft_node_set are for.
ft_node *ft_data_copy(ft_node *node, const void *data, uint64_t size);
void ft_data_free(ft_node *node);
ft_node *ft_data_keep(ft_node *node, const void *data, uint64_t size);

// Null callbacks select ft_data_free and ft_data_copy. Null when out of memory.
ft_tree *ft_init(ft_free_fn release, ft_set_fn set);
// Releases every payload (children before their parent, each node's
// children from the last in ftn_child to the first), every node and tree.
void ft_free(ft_tree *tree);

// The node of path, created with its missing ancestors; an existing node's
// payload is released and replaced (null data leaves it without one).
// Paths are cut to 1023 bytes and trailing slashes ignored; a path that
// does not begin with "/" is refused (EINVAL). Node addresses are not
// stable: a pointer is good until the next insertion under the same parent
// or the next settling of the parent (ft_node_settle, ft_traverse). Null
// on failure, errno ENOMEM; the tree stays consistent and ancestors made
// before the failure stay, without payload. When replacing a payload fails
// in the set callback, the node is left without payload and null returned.
ft_node *ft_add(ft_tree *tree, const char *path, const void *data,
                uint64_t size);

// Replaces node's payload as ft_add does: the old one is released through
// the tree's callback, then data (null: none) stored through the set
// callback. data must not lie in the payload it replaces. Nothing moves or
// unsettles. Null when the set callback fails (ENOMEM for the default
// copy); the node is then left without payload.
ft_node *ft_node_set(ft_tree *tree, ft_node *node, const void *data,
                     uint64_t size);

// The node of path, or null; then *deepest (if given) is the deepest
// existing node on the way (at least the root).
ft_node *ft_lookup(ft_tree *tree, const char *path, ft_node **deepest);

// Settles node (see above): sorts its children into name order, renumbers
// them and repairs every grandchild's ftn_parent. Children move, so
// pointers to them go stale. Cost: a sort of the children added out of
// order since the last settling, plus one pass over the children and
// grandchildren when anything moved; nothing when already settled.
void ft_node_settle(ft_node *node);

// Settles the whole tree, then calls fn on every node, root first, in tree
// order; the first non-zero result stops it and is returned. Visitors must
// not add nodes.
int ft_traverse(ft_tree *tree, ft_visitor fn, void *arg);
