// ft_internal.h: what the parts of the path tree share and no caller of
// ft.h may use: the node flags, the name order, the block allocator
// (ft_alloc.cc) and the settle-sort (ft_sort.cc, with ft_node_settle).
// The fast paths of the allocator are inline here, since every insertion
// takes them.
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "ft/ft.h"
#include "port/port_mem.h"

// Node flags.
constexpr uint8_t FT_MOVED = 1;      // grandchildren's ftn_parent may be stale
constexpr uint8_t FT_DATA_HELD = 2;  // ftn_data lies in the tree's blocks

// Path copies, small child arrays and the default payload copies are cut
// from blocks that the tree owns, backed by large pages where
// the host has them: a malloc per node would cost more time and space than
// the copy, growing arrays through realloc strews the heap with freed
// arrays, and touching the memory 4 KB at a time costs a fault each.
// The blocks double from FT_BLOCK_MIN, so a small tree stays small, up to
// FT_BLOCK_MAX; from a large page size on they are aligned for large pages.
constexpr size_t FT_BLOCK_MIN = 16 * 1024;
constexpr size_t FT_BLOCK_MAX = 4 * PORT_BIG_PAGE;
// The capacities of the child arrays cut from the blocks, about 1.5 times
// apart. An array that outgrows one goes on the tree's spare list of its
// class for the next directory that grows to that size; beyond the last
// class, arrays live in the heap and grow by half (see ft_big_alloc).
constexpr uint32_t FT_CLASS_CAP[] = {1,  2,  3,  4,  6,  8,   12,  16,
                                     24, 32, 48, 64, 96, 128, 192, 256};
constexpr int FT_NCLASS = sizeof FT_CLASS_CAP / sizeof FT_CLASS_CAP[0];
static_assert(FT_NCLASS == FT_SPARE_CLASSES, "one spare list per class");
constexpr uint32_t FT_CLASS_MAX = FT_CLASS_CAP[FT_NCLASS - 1];
static_assert(FT_CLASS_MAX * sizeof(ft_node) < FT_BLOCK_MAX / 64,
              "little of a block is lost at its end");

// The first eight name bytes, big-endian, zero-padded. Names hold no zero
// byte, so comparing keys orders names as their bytes do as far as the
// keys reach, and most comparisons never touch the path copies.
inline uint64_t
ft_name_key8(const char *name, size_t len)
{
  uint64_t k = 0;
  for (size_t i = 0; i < 8; i++)
    k = k << 8 | (i < len ? uint8_t(name[i]) : 0);
  return k;
}

// Byte order, unsigned, a prefix first: what strncmp gives for names
// without zero bytes.
inline int
ft_name_cmp(const char *a, size_t alen, const char *b, size_t blen)
{
  int c = memcmp(a, b, std::min(alen, blen));
  if (c != 0)
    return c;
  return alen < blen ? -1 : alen > blen;
}

// The block allocator.

// Memory for a large array of a big directory; released with free().
// From a large page size on, it is aligned for large pages and asked to
// be backed by them, like the tree's blocks.
void *ft_big_alloc(size_t len);

// An array of count T from ft_big_alloc.
template <typename T>
T *
ft_big_array(uint32_t count)
{
  return static_cast<T *>(ft_big_alloc(size_t(count) * sizeof(T)));
}

// ft_tree_room when the current block has no room left: a new block.
void *ft_room_grow(ft_tree *tree, size_t n, size_t align);

// n bytes from the tree's blocks, aligned to align, a power of two; null
// when out of memory.
inline void *
ft_tree_room(ft_tree *tree, size_t n, size_t align)
{
  uintptr_t mask = ~uintptr_t(align - 1);
  uintptr_t at = (uintptr_t(tree->ftt_room) + align - 1) & mask;
  if (tree->ftt_room == nullptr || at + n > uintptr_t(tree->ftt_room_end))
    return ft_room_grow(tree, n, align);
  tree->ftt_room = reinterpret_cast<char *>(at + n);
  return reinterpret_cast<void *>(at);
}

// ft_child_reserve when the array is full: a larger one.
int ft_child_grow(ft_tree *tree, ft_node *node);

// Room for one more child in node's array. -1 when out of memory (ENOMEM)
// or at UINT32_MAX children (EOVERFLOW).
inline int
ft_child_reserve(ft_tree *tree, ft_node *node)
{
  return node->ftn_nchild < node->ftn_cap ? 0 : ft_child_grow(tree, node);
}

// Stores a payload through the tree's set callback; the default copy of a
// small payload goes into the blocks instead of a malloc of its own.
ft_node *ft_payload_set(ft_tree *tree, ft_node *node, const void *data,
                        uint64_t size);
// Gives node's child array back (to its class's spare list or the heap).
void ft_array_release(ft_tree *tree, ft_node *node);
// Releases every block of the tree.
void ft_blocks_free(ft_tree *tree);

// The settle-sort.

// The step that moves the nodes (ft_node_settle sorts with it): position
// p of n takes the child now at perm[p]. perm is a permutation of [0, n);
// it becomes the identity.
void ft_perm_apply(ft_node *ch, uint32_t n, uint32_t *perm);
