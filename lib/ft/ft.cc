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
// from blocks that the tree owns (see FT_BLOCK_MIN).
#include "ft/ft.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "db/db.h"
#include "port/port_mem.h"

namespace {

// An unordered tail longer than this is found through the hash.
constexpr uint32_t FT_SCAN_MAX = 16;
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
// Larger payloads are left to the heap.
constexpr uint64_t FT_HELD_MAX = 4096;
// The capacities of the child arrays cut from the blocks, about 1.5 times
// apart. An array that outgrows one goes on the tree's spare list of its
// class for the next directory that grows to that size; beyond the last
// class, arrays live in the heap and grow by half (see big_alloc).
constexpr uint32_t FT_CLASS_CAP[] = {1,  2,  3,  4,  6,   8,   12,  16,
                                     24, 32, 48, 64, 96, 128, 192, 256};
constexpr int FT_NCLASS = sizeof FT_CLASS_CAP / sizeof FT_CLASS_CAP[0];
static_assert(FT_NCLASS == FT_SPARE_CLASSES, "one spare list per class");
constexpr uint32_t FT_CLASS_MAX = FT_CLASS_CAP[FT_NCLASS - 1];
static_assert(FT_CLASS_MAX * sizeof(ft_node) < FT_BLOCK_MAX / 64,
              "little of a block is lost at its end");

// The first eight name bytes, big-endian, zero-padded. Names hold no zero
// byte, so comparing keys orders names as their bytes do as far as the
// keys reach, and most comparisons never touch the path copies.
uint64_t
name_key8(const char *name, size_t len)
{
  uint64_t k = 0;
  for (size_t i = 0; i < 8; i++)
    k = k << 8 | (i < len ? uint8_t(name[i]) : 0);
  return k;
}

// The first four of them, the key kept in every node.
uint32_t
name_key(const char *name, size_t len)
{
  return uint32_t(name_key8(name, len < 4 ? len : 4) >> 32);
}

// Byte order, unsigned, a prefix first: what strncmp gives for names
// without zero bytes.
int
name_cmp(const char *a, size_t alen, const char *b, size_t blen)
{
  int c = memcmp(a, b, std::min(alen, blen));
  if (c != 0)
    return c;
  return alen < blen ? -1 : alen > blen;
}

int
node_cmp(const ft_node *n, uint32_t key, const char *name, size_t len)
{
  if (n->ftn_key != key)
    return n->ftn_key < key ? -1 : 1;
  return name_cmp(n->ftn_name, n->ftn_namelen, name, len);
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

// Memory for a large array of a big directory; released with free().
// From a large page size on, it is aligned for large pages and asked to
// be backed by them, like the tree's blocks.
void *
big_alloc(size_t len)
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

// An array of count T from big_alloc.
template <typename T>
T *
big_array(uint32_t count)
{
  return static_cast<T *>(big_alloc(size_t(count) * sizeof(T)));
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
  uint64_t *hash = static_cast<uint64_t *>(big_alloc(slots * sizeof *hash));
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

}  // namespace

struct ft_block {
  ft_block *next;
  uint64_t len;  // also keeps what follows aligned for nodes
};

namespace {

// n bytes from the tree's blocks, aligned to align, a power of two; null
// when out of memory.
void *
tree_room(ft_tree *tree, size_t n, size_t align)
{
  uintptr_t at = (uintptr_t(tree->ftt_room) + align - 1) & ~uintptr_t(align - 1);
  if (tree->ftt_room == nullptr || at + n > uintptr_t(tree->ftt_room_end)) {
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
    at = (uintptr_t(b + 1) + align - 1) & ~uintptr_t(align - 1);
  }
  tree->ftt_room = reinterpret_cast<char *>(at + n);
  return reinterpret_cast<void *>(at);
}

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
      tree_room(tree, FT_CLASS_CAP[c] * sizeof(ft_node), alignof(ft_node)));
}

void
class_release(ft_tree *tree, ft_node *a, uint32_t cap)
{
  int c = class_of(cap);
  a->ftn_parent = tree->ftt_spare[c];
  tree->ftt_spare[c] = a;
}

void
array_release(ft_tree *tree, ft_node *node)
{
  if (node->ftn_cap > FT_CLASS_MAX)
    free(node->ftn_child);
  else if (node->ftn_child != nullptr)
    class_release(tree, node->ftn_child, node->ftn_cap);
  node->ftn_child = nullptr;
  node->ftn_cap = 0;
}

// Room for one more child.
int
child_reserve(ft_tree *tree, ft_node *node)
{
  uint32_t n = node->ftn_nchild, cap = node->ftn_cap;
  if (n < cap)
    return 0;
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
    a = big_array<ft_node>(want);
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

// Stores a payload through the tree's set callback; the default copy of a
// small payload goes into the blocks instead of a malloc of its own.
ft_node *
payload_set(ft_tree *tree, ft_node *node, const void *data, uint64_t size)
{
  if (tree->ftt_set != ft_data_copy || tree->ftt_free != ft_data_free ||
      size > FT_HELD_MAX)
    return tree->ftt_set(node, data, size);
  void *p = tree_room(tree, size_t(size), alignof(max_align_t));
  if (p == nullptr)
    return nullptr;
  memcpy(p, data, size_t(size));
  node->ftn_data = p;
  node->ftn_datalen = size;
  node->ftn_flags |= FT_DATA_HELD;
  return node;
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
  if (child_reserve(tree, parent) != 0 ||
      (!last && hash_reserve(parent) != 0))
    return nullptr;
  // Cut last, so that a failure below can give the piece back.
  char *copy = static_cast<char *>(tree_room(tree, len + 1, 1));
  if (copy == nullptr)
    return nullptr;
  memcpy(copy, path, len);
  copy[len] = '\0';

  ft_node *c = child_init(parent, copy, len, namepos, key);
  if (data != nullptr && payload_set(tree, c, data, size) == nullptr) {
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

struct sort_ent {
  uint64_t key;
  uint32_t idx;
};

bool
node_less(const ft_node &a, const ft_node &b)
{
  if (a.ftn_key != b.ftn_key)
    return a.ftn_key < b.ftn_key;
  return name_cmp(a.ftn_name, a.ftn_namelen, b.ftn_name, b.ftn_namelen) < 0;
}

// Scratch space of a sort: a key for each child of the tail and a
// position for each child. Most directories are small: theirs is on the
// stack. ents or perm is null when out of memory.
class sort_scratch {
 public:
  sort_scratch(uint32_t tail, uint32_t n)
      : ents(tail <= LOCAL ? local_ents_ : big_array<sort_ent>(tail)),
        perm(n <= LOCAL ? local_perm_ : big_array<uint32_t>(n)) {}
  ~sort_scratch() { release(); }
  sort_scratch(const sort_scratch &) = delete;
  sort_scratch &operator=(const sort_scratch &) = delete;
  void release_ents() {
    if (ents != local_ents_)
      free(ents);
    ents = local_ents_;
  }
  void release() {
    release_ents();
    if (perm != local_perm_)
      free(perm);
    perm = local_perm_;
  }
  sort_ent *ents;
  uint32_t *perm;

 private:
  static constexpr uint32_t LOCAL = 64;
  sort_ent local_ents_[LOCAL];
  uint32_t local_perm_[LOCAL];
};

// The length of the prefix shared by the names of the t children from
// ch[front] on. Names in a big directory often share one
// (msg.1700000000.*): the sort keys start after it, or they would all be
// equal.
size_t
tail_prefix(const ft_node *ch, uint32_t front, uint32_t t)
{
  size_t skip = ch[front].ftn_namelen;
  for (uint32_t i = 1; i < t && skip > 0; i++) {
    const ft_node &c = ch[front + i];
    size_t k = 0, lim = std::min<size_t>(skip, c.ftn_namelen);
    while (k < lim && c.ftn_name[k] == ch[front].ftn_name[k])
      k++;
    skip = k;
  }
  return skip;
}

// Sorts the t children from ch[front] on into ents, by eight key bytes
// taken once past the shared prefix skip, then by the whole names.
void
tail_sort(const ft_node *ch, uint32_t front, uint32_t t, size_t skip,
          sort_ent *ents)
{
  for (uint32_t i = 0; i < t; i++) {
    const ft_node &c = ch[front + i];
    ents[i] = {name_key8(c.ftn_name + skip, c.ftn_namelen - skip), front + i};
  }
  std::sort(ents, ents + t, [ch](const sort_ent &a, const sort_ent &b) {
    if (a.key != b.key)
      return a.key < b.key;
    const ft_node &x = ch[a.idx], &y = ch[b.idx];
    return name_cmp(x.ftn_name, x.ftn_namelen, y.ftn_name, y.ftn_namelen) < 0;
  });
}

// Merges the sorted front ch[0, front) with the sorted tail ents into the
// permutation perm: position p of n takes the child now at perm[p].
void
merge_perm(const ft_node *ch, uint32_t front, uint32_t n, const sort_ent *ents,
           uint32_t *perm)
{
  uint32_t t = n - front, i = 0, j = 0;
  for (uint32_t pos = 0; pos < n; pos++) {
    if (j == t || (i < front && node_less(ch[i], ch[ents[j].idx])))
      perm[pos] = i++;
    else
      perm[pos] = ents[j++].idx;
  }
}

// Moves every child to its place, following each cycle of perm once, so
// that every node moves once; perm becomes the identity. In a big
// directory the reads miss the cache, so a second cursor runs ahead along
// the cycle and fetches what they will need.
void
perm_apply(ft_node *ch, uint32_t n, uint32_t *perm)
{
  constexpr uint32_t AHEAD = 16;
  for (uint32_t s = 0; s < n; s++) {
    if (perm[s] == s)
      continue;
    ft_node held = ch[s];
    uint32_t p = s, q = s;
    for (uint32_t k = 0; k < AHEAD && n > FT_CLASS_MAX; k++)
      q = perm[q];
    for (;;) {
      if (n > FT_CLASS_MAX) {  // perm[q] is q once q is back at s
        const char *ahead = reinterpret_cast<const char *>(&ch[q]);
        __builtin_prefetch(ahead);
        __builtin_prefetch(ahead + sizeof(ft_node) - 1);
        q = perm[q];
      }
      uint32_t from = perm[p];
      perm[p] = p;
      if (from == s) {
        ch[p] = held;
        break;
      }
      ch[p] = ch[from];
      p = from;
    }
  }
}

// Sorts the children into name order: the tail is sorted apart and merged
// with the front into a permutation that is applied in place. Without
// memory for that, the nodes themselves are sorted in place.
void
children_sort(ft_node *node)
{
  ft_node *ch = node->ftn_child;
  uint32_t n = node->ftn_nchild, front = node->ftn_nsorted, t = n - front;
  sort_scratch s(t, n);
  if (s.ents == nullptr || s.perm == nullptr) {
    s.release();
    std::sort(ch, ch + n, node_less);
    return;
  }
  tail_sort(ch, front, t, tail_prefix(ch, front, t), s.ents);
  merge_perm(ch, front, n, s.ents, s.perm);
  s.release_ents();  // done with; gone before the nodes move
  perm_apply(ch, n, s.perm);
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
  array_release(tree, node);
  free(node->ftn_hash);
  node->ftn_hash = nullptr;
  node->ftn_nchild = node->ftn_nsorted = 0;
  node->ftn_hashbits = 0;
  node->ftn_flags &= uint8_t(~FT_MOVED);
}

}  // namespace

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
  while (tree->ftt_blocks != nullptr) {
    ft_block *b = tree->ftt_blocks;
    tree->ftt_blocks = b->next;
    free(b);
  }
  free(tree);
}

ft_node *
ft_node_set(ft_tree *tree, ft_node *node, const void *data, uint64_t size)
{
  if (node->ftn_data != nullptr)
    tree->ftt_free(node);
  node->ftn_data = nullptr;
  node->ftn_datalen = 0;
  if (data != nullptr && payload_set(tree, node, data, size) == nullptr)
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
    node = ft_child_add(tree, node, &c, last ? data : nullptr,
                        last ? size : 0);
  } while (node != nullptr && comp_next(&c));
  return node;
}

void
ft_node_settle(ft_node *node)
{
  if (node->ftn_nsorted < node->ftn_nchild) {
    // The hash goes first: sorting makes it useless, and a big directory's
    // sort is where the tree is largest.
    free(node->ftn_hash);
    node->ftn_hash = nullptr;
    node->ftn_hashbits = 0;
    children_sort(node);
    node->ftn_nsorted = node->ftn_nchild;
    node->ftn_flags |= FT_MOVED;
  }
  if (!(node->ftn_flags & FT_MOVED))
    return;
  for (uint32_t i = 0; i < node->ftn_nchild; i++) {
    ft_node *c = &node->ftn_child[i];
    c->ftn_index = i;
    for (uint32_t j = 0; j < c->ftn_nchild; j++)
      c->ftn_child[j].ftn_parent = c;
  }
  node->ftn_flags &= uint8_t(~FT_MOVED);
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
