// ft_sort.cc: settling a node's children into name order. The tail of
// children appended out of order is sorted apart by keys taken past the
// prefix its names share, merged with the sorted front into a permutation,
// and the permutation applied in place, each node moved once.
#include <algorithm>
#include <cstdlib>

#include "ft/ft_internal.h"

namespace {

struct sort_ent {
  uint64_t key;
  uint32_t idx;
};

bool
node_less(const ft_node &a, const ft_node &b)
{
  if (a.ftn_key != b.ftn_key)
    return a.ftn_key < b.ftn_key;
  return ft_name_cmp(a.ftn_name, a.ftn_namelen, b.ftn_name, b.ftn_namelen) < 0;
}

// Scratch space of a sort: a key for each child of the tail and a
// position for each child. Most directories are small: theirs is on the
// stack. ents or perm is null when out of memory.
class sort_scratch {
 public:
  sort_scratch(uint32_t tail, uint32_t n)
      : ents(tail <= LOCAL ? local_ents_ : ft_big_array<sort_ent>(tail)),
        perm(n <= LOCAL ? local_perm_ : ft_big_array<uint32_t>(n))
  {
  }
  ~sort_scratch() { release(); }
  sort_scratch(const sort_scratch &) = delete;
  sort_scratch &operator=(const sort_scratch &) = delete;
  void release_ents()
  {
    if (ents != local_ents_)
      free(ents);
    ents = local_ents_;
  }
  void release()
  {
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
    uint64_t key = ft_name_key8(c.ftn_name + skip, c.ftn_namelen - skip);
    ents[i] = {key, front + i};
  }
  std::sort(ents, ents + t, [ch](const sort_ent &a, const sort_ent &b) {
    if (a.key != b.key)
      return a.key < b.key;
    const ft_node &x = ch[a.idx], &y = ch[b.idx];
    return ft_name_cmp(x.ftn_name, x.ftn_namelen, y.ftn_name, y.ftn_namelen) <
           0;
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

}  // namespace

// Moves every child to its place, following each cycle of perm once, so
// that every node moves once; perm becomes the identity. In a big
// directory the reads miss the cache, so a second cursor runs ahead along
// the cycle and fetches what they will need.
void
ft_perm_apply(ft_node *ch, uint32_t n, uint32_t *perm)
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

namespace {

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
  ft_perm_apply(ch, n, s.perm);
}

}  // namespace

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
