// ft_alloc.cc: the memory of the path tree. Path copies, the small child
// arrays (by size class, with a spare list per class) and the default
// payload copies are cut from blocks the tree owns; the arrays of big
// directories and the hashes live in the heap (see ft_internal.h).
#include <cerrno>
#include <cstdlib>

#include "ft/ft_internal.h"

struct ft_block {
  ft_block *next;
  uint64_t len;  // also keeps what follows aligned for nodes
};

namespace {

// Larger payloads are left to the heap.
constexpr uint64_t FT_HELD_MAX = 4096;

int
class_of(uint32_t cap)
{
  int c = 0;
  while (FT_CLASS_CAP[c] != cap)
    c++;
  return c;
}

// A child array of class c: a spare one, else one cut from the blocks.
ft_node *
class_alloc(ft_tree *tree, int c)
{
  ft_node *a = tree->ftt_spare[c];
  if (a != nullptr) {
    tree->ftt_spare[c] = a->ftn_parent;  // spares are chained through it
    return a;
  }
  return static_cast<ft_node *>(
      ft_tree_room(tree, FT_CLASS_CAP[c] * sizeof(ft_node), alignof(ft_node)));
}

void
class_release(ft_tree *tree, ft_node *a, uint32_t cap)
{
  int c = class_of(cap);
  a->ftn_parent = tree->ftt_spare[c];
  tree->ftt_spare[c] = a;
}

}  // namespace

void *
ft_big_alloc(size_t len)
{
  if (len < PORT_BIG_PAGE)
    return malloc(len);
  void *p = nullptr;
  size_t span = (len + PORT_BIG_PAGE - 1) / PORT_BIG_PAGE * PORT_BIG_PAGE;
  if (posix_memalign(&p, PORT_BIG_PAGE, span) != 0)
    return nullptr;
  port_big_pages(p, span);
  return p;
}

void *
ft_room_grow(ft_tree *tree, size_t n, size_t align)
{
  ft_block *last = tree->ftt_blocks;
  size_t len = last == nullptr ? FT_BLOCK_MIN
                               : std::min<size_t>(2 * last->len, FT_BLOCK_MAX);
  len = std::max(len, sizeof(ft_block) + align + n);
  void *p = nullptr;
  if (len < PORT_BIG_PAGE) {
    p = malloc(len);
  } else if (posix_memalign(&p, PORT_BIG_PAGE, len) == 0) {
    port_big_pages(p, len / PORT_BIG_PAGE * PORT_BIG_PAGE);
  }
  if (p == nullptr) {
    errno = ENOMEM;
    return nullptr;
  }
  ft_block *b = static_cast<ft_block *>(p);
  b->next = last;
  b->len = len;
  tree->ftt_blocks = b;
  tree->ftt_room_end = static_cast<char *>(p) + len;
  uintptr_t at = (uintptr_t(b + 1) + align - 1) & ~uintptr_t(align - 1);
  tree->ftt_room = reinterpret_cast<char *>(at + n);
  return reinterpret_cast<void *>(at);
}

void
ft_blocks_free(ft_tree *tree)
{
  while (tree->ftt_blocks != nullptr) {
    ft_block *b = tree->ftt_blocks;
    tree->ftt_blocks = b->next;
    free(b);
  }
}

void
ft_array_release(ft_tree *tree, ft_node *node)
{
  if (node->ftn_cap > FT_CLASS_MAX)
    free(node->ftn_child);
  else if (node->ftn_child != nullptr)
    class_release(tree, node->ftn_child, node->ftn_cap);
  node->ftn_child = nullptr;
  node->ftn_cap = 0;
}

int
ft_child_grow(ft_tree *tree, ft_node *node)
{
  uint32_t n = node->ftn_nchild, cap = node->ftn_cap;
  if (n == UINT32_MAX) {
    errno = EOVERFLOW;
    return -1;
  }
  ft_node *a;
  uint32_t want;
  if (cap < FT_CLASS_MAX) {
    int c = cap == 0 ? 0 : class_of(cap) + 1;
    want = FT_CLASS_CAP[c];
    a = class_alloc(tree, c);
  } else {
    want = uint32_t(std::min<uint64_t>(UINT32_MAX, uint64_t(cap) + cap / 2));
    a = ft_big_array<ft_node>(want);
  }
  if (a == nullptr) {
    errno = ENOMEM;
    return -1;
  }
  if (n > 0) {
    memcpy(a, node->ftn_child, size_t(n) * sizeof(ft_node));
    if (cap <= FT_CLASS_MAX)
      class_release(tree, node->ftn_child, cap);
    else
      free(node->ftn_child);
  }
  if (a != node->ftn_child && n > 0) {
    node->ftn_flags |= FT_MOVED;  // the grandchildren point at the old array
    tree->ftt_unsettled = 1;
  }
  node->ftn_child = a;
  node->ftn_cap = want;
  return 0;
}

// small payload goes into the blocks instead of a malloc of its own.
ft_node *
ft_payload_set(ft_tree *tree, ft_node *node, const void *data, uint64_t size)
{
  if (tree->ftt_set != ft_data_copy || tree->ftt_free != ft_data_free ||
      size > FT_HELD_MAX)
    return tree->ftt_set(node, data, size);
  void *p = ft_tree_room(tree, size_t(size), alignof(max_align_t));
  if (p == nullptr)
    return nullptr;
  memcpy(p, data, size_t(size));
  node->ftn_data = p;
  node->ftn_datalen = size;
  node->ftn_flags |= FT_DATA_HELD;
  return node;
}

ft_node *
ft_data_copy(ft_node *node, const void *data, uint64_t size)
{
  if (size > SIZE_MAX) {
    errno = ENOMEM;
    return nullptr;
  }
  void *p = malloc(size == 0 ? 1 : size_t(size));
  if (p == nullptr)
    return nullptr;
  memcpy(p, data, size_t(size));
  node->ftn_data = p;
  node->ftn_datalen = size;
  node->ftn_flags &= uint8_t(~FT_DATA_HELD);
  return node;
}

void
ft_data_free(ft_node *node)
{
  if (node->ftn_flags & FT_DATA_HELD)
    node->ftn_flags &= uint8_t(~FT_DATA_HELD);  // the blocks go with the tree
  else
    free(node->ftn_data);
  node->ftn_data = nullptr;
  node->ftn_datalen = 0;
}

ft_node *
ft_data_keep(ft_node *node, const void *data, uint64_t)
{
  node->ftn_data = const_cast<void *>(data);
  node->ftn_datalen = 1;
  return node;
}
