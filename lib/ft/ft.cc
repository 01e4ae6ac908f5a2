// ft.cc: the path tree.
//
// Every node's children live by value in one array that grows
// geometrically. The array has a sorted front, ftn_child[0, ftn_nsorted),
// searched by binary search, and an unordered tail of children appended
// since, found by a linear scan while it is short and through an open
// addressing hash of child positions (ftn_hash) once it is longer. A child
// that sorts after all others joins the sorted front at once; every other
// child goes to the tail. Settling sorts the tail, merges it into the front
// and repairs the parent pointers of the grandchildren. So records arriving
// in any order cost near-constant work each, even in a directory of a
// million entries, and no insertion touches the grandchildren. The path
// copies, the small child arrays and the default payload copies are cut
// from blocks that the tree owns (ft_alloc.cc); settling sorts with
// ft_sort.cc.
#include "ft/ft.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "db/db.h"
#include "ft/ft_internal.h"

namespace {

// An unordered tail longer than this is found through the hash.
constexpr uint32_t FT_SCAN_MAX = 16;

// The first four name bytes (see ft_name_key8), the key kept in every node.
uint32_t
name_key(const char *name, size_t len)
{
  return uint32_t(ft_name_key8(name, len < 4 ? len : 4) >> 32);
}

int
node_cmp(const ft_node *n, uint32_t key, const char *name, size_t len)
{
  if (n->ftn_key != key)
    return n->ftn_key < key ? -1 : 1;
  return ft_name_cmp(n->ftn_name, n->ftn_namelen, name, len);
}

bool
node_is(const ft_node *n, uint32_t key, const char *name, size_t len)
{
  return n->ftn_key == key && n->ftn_namelen == len &&
         memcmp(n->ftn_name, name, len) == 0;
}

uint32_t
name_hash(const char *name, size_t len)
{
  uint32_t h = 2166136261u;  // FNV-1a
  for (size_t i = 0; i < len; i++)
    h = (h ^ uint8_t(name[i])) * 16777619u;
  return h;
}

// First position in the sorted front whose name is not below name.
uint32_t
front_bound(const ft_node *node, uint32_t key, const char *name, size_t len)
{
  uint32_t lo = 0, hi = node->ftn_nsorted;
  while (lo < hi) {
    uint32_t mid = lo + (hi - lo) / 2;
    if (node_cmp(&node->ftn_child[mid], key, name, len) < 0)
      lo = mid + 1;
    else
      hi = mid;
  }
  return lo;
}

ft_node *
child_find(ft_node *node, const char *name, size_t len)
{
  uint32_t key = name_key(name, len);
  uint32_t i = front_bound(node, key, name, len);
  if (i < node->ftn_nsorted && node_is(&node->ftn_child[i], key, name, len))
    return &node->ftn_child[i];
  if (node->ftn_hashbits != 0) {
    // A slot holds the name's hash above the child's position + 1, so
    // most collisions are told apart without touching the child.
    uint32_t mask = (uint32_t(1) << node->ftn_hashbits) - 1;
    uint32_t h = name_hash(name, len);
    for (uint32_t s = h & mask; node->ftn_hash[s] != 0; s = (s + 1) & mask) {
      uint64_t e = node->ftn_hash[s];
      if (uint32_t(e >> 32) != h)
        continue;
      ft_node *c = &node->ftn_child[uint32_t(e) - 1];
      if (node_is(c, key, name, len))
        return c;
    }
    return nullptr;
  }
  for (i = node->ftn_nsorted; i < node->ftn_nchild; i++)
    if (node_is(&node->ftn_child[i], key, name, len))
      return &node->ftn_child[i];
  return nullptr;
}

// The child of node called name. Paths arrive grouped by directory, and a
// second database of the same host lists each directory in the same order
// as the first, whose children were appended in that order: so the child
// is first looked for where the last search at this depth ended, and just
// after it.
ft_node *
child_find_hinted(ft_tree *tree, ft_node *node, const char *name, size_t len)
{
  uint32_t depth = node->ftn_depth;
  if (depth >= uint32_t(FT_HINTS))
    return child_find(node, name, len);
  uint32_t key = name_key(name, len);
  for (uint32_t h = tree->ftt_hint[depth], k = 0; k < 2; k++, h++) {
    if (h < node->ftn_nchild && node_is(&node->ftn_child[h], key, name, len)) {
      tree->ftt_hint[depth] = h;
      return &node->ftn_child[h];
    }
  }
  ft_node *c = child_find(node, name, len);
  if (c != nullptr)
    tree->ftt_hint[depth] = c->ftn_index;
  return c;
}

void
hash_put(uint64_t *hash, uint32_t mask, uint32_t h, uint32_t index)
{
  uint32_t s = h & mask;
  while (hash[s] != 0)
    s = (s + 1) & mask;
  hash[s] = uint64_t(h) << 32 | (uint64_t(index) + 1);
}

// Makes the hash hold the tail and room for one more child, at most half
// full. -1 when out of memory, nothing changed.
int
hash_reserve(ft_node *node)
{
  uint32_t tail = node->ftn_nchild - node->ftn_nsorted + 1;
  if (tail <= FT_SCAN_MAX)
    return 0;
  if (node->ftn_hashbits != 0 &&
      uint64_t(tail) * 2 <= uint64_t(1) << node->ftn_hashbits)
    return 0;
  uint8_t bits = 4;
  while (uint64_t(1) << bits < uint64_t(tail) * 2)
    bits++;
  if (bits > 32) {
    errno = ENOMEM;
    return -1;
  }
  size_t slots = size_t(1) << bits;
  uint64_t *hash = static_cast<uint64_t *>(ft_big_alloc(slots * sizeof *hash));
  if (hash == nullptr) {
    errno = ENOMEM;
    return -1;
  }
  memset(hash, 0, slots * sizeof *hash);
  uint32_t mask = uint32_t(slots - 1);
  if (node->ftn_hashbits != 0) {  // the old slots keep the hashes
    for (size_t s = 0; s < size_t(1) << node->ftn_hashbits; s++)
      if (node->ftn_hash[s] != 0)
        hash_put(hash, mask, uint32_t(node->ftn_hash[s] >> 32),
                 uint32_t(node->ftn_hash[s]) - 1);
  } else {
    for (uint32_t i = node->ftn_nsorted; i < node->ftn_nchild; i++) {
      const ft_node *c = &node->ftn_child[i];
      hash_put(hash, mask, name_hash(c->ftn_name, c->ftn_namelen), i);
    }
  }
  free(node->ftn_hash);
  node->ftn_hash = hash;
  node->ftn_hashbits = bits;
  return 0;
}

// A cursor over the components of a path made by ft_path_prep: the
// current one is path[pos, end). It starts before the first.
struct path_comp {
  const char *path;
  size_t len;
  size_t pos;
  size_t end;
};

// Steps to the next component; false after the last. "/" has none, and no
// other path ends in a slash.
bool
comp_next(path_comp *c)
{
  if (c->end + 1 >= c->len)
    return false;
  c->pos = c->end + 1;
  const char *slash =
      static_cast<const char *>(memchr(c->path + c->pos, '/', c->len - c->pos));
  c->end = slash != nullptr ? size_t(slash - c->path) : c->len;
  return true;
}

// Fills in the slot past parent's children, not yet counted, as the node
// of the path copy of len bytes whose name starts at namepos.
ft_node *
child_init(ft_node *parent, char *copy, size_t len, size_t namepos,
           uint32_t key)
{
  ft_node *c = &parent->ftn_child[parent->ftn_nchild];
  memset(c, 0, sizeof *c);
  c->ftn_parent = parent;
  c->ftn_index = parent->ftn_nchild;
  c->ftn_path = copy;
  c->ftn_pathlen = uint16_t(len);
  c->ftn_name = copy + namepos;
  c->ftn_namelen = uint16_t(len - namepos);
  c->ftn_depth = uint16_t(parent->ftn_depth + 1);
  c->ftn_key = key;
  return c;
}

// Counts in the child child_init filled, into the sorted front when it
// sorts last, else into the tail.
void
child_link(ft_tree *tree, ft_node *parent, bool last)
{
  uint32_t n = parent->ftn_nchild++;
  if (parent->ftn_depth < FT_HINTS)
    tree->ftt_hint[parent->ftn_depth] = n;
  if (last) {
    parent->ftn_nsorted = n + 1;
  } else {
    const ft_node *c = &parent->ftn_child[n];
    if (parent->ftn_hashbits != 0)
      hash_put(parent->ftn_hash, (uint32_t(1) << parent->ftn_hashbits) - 1,
               name_hash(c->ftn_name, c->ftn_namelen), n);
    tree->ftt_unsettled = 1;
  }
}

// Creates the child of parent for the path up to the end of the component
// pc stands on, with the payload given, or none.
ft_node *
ft_child_add(ft_tree *tree, ft_node *parent, const path_comp *pc,
             const void *data, uint64_t size)
{
  const char *path = pc->path;
  size_t len = pc->end, namepos = pc->pos, namelen = len - namepos;
  uint32_t key = name_key(path + namepos, namelen);
  uint32_t n = parent->ftn_nchild;
  // A child that sorts after all others extends the sorted front; any
  // other is appended to the tail and waits for the next settling.
  bool last = parent->ftn_nsorted == n &&
              (n == 0 || node_cmp(&parent->ftn_child[n - 1], key,
                                  path + namepos, namelen) < 0);
  if (ft_child_reserve(tree, parent) != 0 ||
      (!last && hash_reserve(parent) != 0))
    return nullptr;
  // Cut last, so that a failure below can give the piece back.
  char *copy = static_cast<char *>(ft_tree_room(tree, len + 1, 1));
  if (copy == nullptr)
    return nullptr;
  memcpy(copy, path, len);
  copy[len] = '\0';

  ft_node *c = child_init(parent, copy, len, namepos, key);
  if (data != nullptr && ft_payload_set(tree, c, data, size) == nullptr) {
    if (tree->ftt_room == copy + len + 1)  // nothing cut after the path
      tree->ftt_room = copy;
    return nullptr;
  }
  child_link(tree, parent, last);
  return c;
}

// Copies at most DB_PATH_MAX bytes of path into buf and strips trailing
// slashes (never the first byte). The length left.
size_t
ft_path_prep(char (&buf)[DB_PATH_MAX + 1], const char *path)
{
  size_t n = strnlen(path, DB_PATH_MAX);
  memcpy(buf, path, n);
  while (n >= 2 && buf[n - 1] == '/')
    n--;
  buf[n] = '\0';
  return n;
}

// Follows c from the root as long as the nodes exist: the last node found.
// *whole tells whether that is the node of the whole path; if not, c stands
// on the first component without a node.
ft_node *
path_follow(ft_tree *tree, path_comp *c, bool *whole)
{
  ft_node *node = tree->ftt_root;
  while (comp_next(c)) {
    ft_node *child =
        child_find_hinted(tree, node, c->path + c->pos, c->end - c->pos);
    if (child == nullptr) {
      *whole = false;
      return node;
    }
    node = child;
  }
  *whole = true;
  return node;
}

void
settle_all(ft_node *node)
{
  ft_node_settle(node);
  for (uint32_t i = 0; i < node->ftn_nchild; i++)
    settle_all(&node->ftn_child[i]);
}

int
ft_traverse_node(ft_node *node, ft_visitor fn, void *arg)
{
  int r = fn(node, arg);
  if (r != 0)
    return r;
  for (uint32_t i = 0; i < node->ftn_nchild; i++)
    if ((r = ft_traverse_node(&node->ftn_child[i], fn, arg)) != 0)
      return r;
  return 0;
}

// Releases every descendant of node, children before their parent and
// each node's later children before its earlier ones; node keeps its own
// path and payload. The depth is bounded by the path length.
void
ft_clear(ft_tree *tree, ft_node *node)
{
  for (uint32_t i = node->ftn_nchild; i-- > 0;) {
    ft_node *c = &node->ftn_child[i];
    ft_clear(tree, c);
    if (c->ftn_data != nullptr)
      tree->ftt_free(c);
  }
  ft_array_release(tree, node);
  free(node->ftn_hash);
  node->ftn_hash = nullptr;
  node->ftn_nchild = node->ftn_nsorted = 0;
  node->ftn_hashbits = 0;
  node->ftn_flags &= uint8_t(~FT_MOVED);
}

}  // namespace

ft_tree *
ft_init(ft_free_fn release, ft_set_fn set)
{
  ft_tree *tree = static_cast<ft_tree *>(calloc(1, sizeof *tree));
  ft_node *root = static_cast<ft_node *>(calloc(1, sizeof *root));
  char *path = strdup("/");
  if (tree == nullptr || root == nullptr || path == nullptr) {
    free(tree);
    free(root);
    free(path);
    errno = ENOMEM;
    return nullptr;
  }
  tree->ftt_free = release != nullptr ? release : ft_data_free;
  tree->ftt_set = set != nullptr ? set : ft_data_copy;
  root->ftn_path = path;
  root->ftn_pathlen = 1;
  root->ftn_name = path + 1;
  tree->ftt_root = root;
  return tree;
}

void
ft_free(ft_tree *tree)
{
  if (tree == nullptr)
    return;
  ft_node *root = tree->ftt_root;
  ft_clear(tree, root);
  if (root->ftn_data != nullptr)
    tree->ftt_free(root);
  free(root->ftn_path);
  free(root);
  ft_blocks_free(tree);
  free(tree);
}

ft_node *
ft_node_set(ft_tree *tree, ft_node *node, const void *data, uint64_t size)
{
  if (node->ftn_data != nullptr)
    tree->ftt_free(node);
  node->ftn_data = nullptr;
  node->ftn_datalen = 0;
  if (data != nullptr && ft_payload_set(tree, node, data, size) == nullptr)
    return nullptr;
  return node;
}

ft_node *
ft_lookup(ft_tree *tree, const char *path, ft_node **deepest)
{
  char buf[DB_PATH_MAX + 1];
  size_t n = ft_path_prep(buf, path);
  ft_node *node = tree->ftt_root;
  bool whole = false;
  if (n != 0 && buf[0] == '/') {
    path_comp c = {buf, n, 0, 0};
    node = path_follow(tree, &c, &whole);
  }
  if (deepest != nullptr)
    *deepest = node;
  return whole ? node : nullptr;
}

ft_node *
ft_add(ft_tree *tree, const char *path, const void *data, uint64_t size)
{
  char buf[DB_PATH_MAX + 1];
  size_t n = ft_path_prep(buf, path);
  if (n == 0 || buf[0] != '/') {
    errno = EINVAL;
    return nullptr;
  }
  path_comp c = {buf, n, 0, 0};
  bool whole;
  ft_node *node = path_follow(tree, &c, &whole);
  if (whole)
    return ft_node_set(tree, node, data, size);
  // Create the missing ancestors without payload, then the path itself.
  do {
    bool last = c.end == n;
    node = ft_child_add(tree, node, &c, last ? data : nullptr, last ? size : 0);
  } while (node != nullptr && comp_next(&c));
  return node;
}

int
ft_traverse(ft_tree *tree, ft_visitor fn, void *arg)
{
  if (tree->ftt_unsettled) {
    settle_all(tree->ftt_root);
    tree->ftt_unsettled = 0;
  }
  return ft_traverse_node(tree->ftt_root, fn, arg);
}
