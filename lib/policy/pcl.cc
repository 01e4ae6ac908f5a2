// pcl.cc: policy entries and lists, and the matching of a directory entry.
#include "policy/pcl.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

// Every regex is compiled the same way, when added and when copied. Match
// positions are never asked for, so the matcher need not track them.
// REG_NOSUB changes nothing in what matches, so a name matches alike on
// every C library, whatever value its <regex.h> gives the flag.
constexpr int PCL_REGFLAGS = REG_EXTENDED | REG_NOSUB;

// The arrays inside an entry keep no capacity field: their capacity is the
// count rounded up to a power of two, so an array grows only when its count
// is 0 or a power of two. Without this, filling one list with 65535 items
// would move the whole array once per item.
size_t
item_cap(size_t n)
{
  size_t c = 1;
  while (c < n)
    c <<= 1;
  return n == 0 ? 0 : c;
}

bool
needs_growth(size_t n)
{
  return (n & (n - 1)) == 0;  // 0, 1, 2, 4, ...
}

// Makes room for item n of an array of T with n items; *arr changes only on
// success. False (ENOMEM) when the allocation fails.
template <typename T>
bool
grow_for(T **arr, size_t n)
{
  if (!needs_growth(n))
    return true;
  T *p = static_cast<T *>(realloc(*arr, item_cap(n + 1) * sizeof(T)));
  if (p == nullptr)
    return false;
  *arr = p;
  return true;
}

bool
full(uint16_t n)
{
  if (n < PCLENT_MAX_ITEMS)
    return false;
  errno = ENOMEM;
  return true;
}

char *
dup_text(const char *text)
{
  size_t len = strlen(text);
  char *p = static_cast<char *>(malloc(len + 1));
  if (p != nullptr)
    memcpy(p, text, len + 1);
  return p;
}

bool
range_match(const pclent_range &r, uint32_t x)
{
  switch (r.pr_kind) {
    case PCLENT_R_EXACT: return x == r.pr_low;
    case PCLENT_R_FROM: return x >= r.pr_low;
    case PCLENT_R_UPTO: return x <= r.pr_high;
    case PCLENT_R_BETWEEN: return r.pr_low <= x && x <= r.pr_high;
    default: return false;
  }
}

bool
ranges_match(const pclent_range *r, uint16_t n, uint32_t x)
{
  if (n == 0)
    return true;
  for (uint16_t i = 0; i < n; i++)
    if (range_match(r[i], x))
      return true;
  return false;
}

// The type table is the one source of the type letters: seven letters and
// seven file types, each with a bit of its own, together the low seven bits.
constexpr bool
types_well_formed()
{
  uint8_t seen = 0;
  for (size_t i = 0; i < PCL_NTYPES; i++) {
    const pcl_type &t = PCL_TYPES[i];
    if (t.bit == 0 || (t.bit & (t.bit - 1)) != 0 || (seen & t.bit) != 0 ||
        t.fmt == 0 || (t.fmt & ~static_cast<mode_t>(S_IFMT)) != 0)
      return false;
    seen = static_cast<uint8_t>(seen | t.bit);
    for (size_t j = 0; j < i; j++)
      if (PCL_TYPES[j].letter == t.letter || PCL_TYPES[j].fmt == t.fmt)
        return false;
  }
  return seen == 0x7f;
}
static_assert(PCL_NTYPES == 7, "seven types");
static_assert(types_well_formed(), "each type once, one bit each");

// The type bit of a status mode; 0 for a type the language cannot name.
uint8_t
type_bit(mode_t mode)
{
  for (const pcl_type &t : PCL_TYPES)
    if ((mode & S_IFMT) == t.fmt)
      return t.bit;
  return 0;
}

bool
name_match(const pclent &e, const char *name)
{
  if (e.pe_nnames == 0 && e.pe_nres == 0)
    return true;
  for (uint16_t i = 0; i < e.pe_nnames; i++)
    if (glob_match(e.pe_names[i], name))
      return true;
  for (uint16_t i = 0; i < e.pe_nres; i++)
    if (regexec(&e.pe_res[i], name, 0, nullptr, 0) == 0)
      return true;
  return false;
}

// The glob matcher proper, on counted text so that no call measures the
// same text twice. p and n are the lengths of pat and name.
//
// A '*' is any run of bytes and the byte after it is compared literally, so
// a pattern is a chain of fixed-width segments joined by runs of stars; a
// run of two or more stars also needs a literal '*' in the name (the second
// star is the first one's anchor). Placing each segment at its leftmost fit
// and, on a mismatch, only ever moving the last segment on by one byte
// gives the same answers as trying every split, but in at most p * n steps:
// names come from the file system, so a name built against a pattern with
// many stars must not make the walk take exponential time.
int
glob_at(const char *pat, size_t p, const char *name, size_t n)
{
  if (p == 0 || n == 0)
    return (p == 0 && n == 0) || (n == 0 && p == 1 && pat[0] == '*');
  size_t i = 0, j = 0;
  size_t seg = p + 1;  // start of the segment after the last stars; none yet
  size_t from = 0;     // where in the name that segment was last placed
  while (j < n) {
    if (i < p && pat[i] == '*') {
      size_t k = i;
      while (k < p && pat[k] == '*')
        k++;
      if (k - i >= 2) {
        const void *star = memchr(name + j, '*', n - j);
        if (star == nullptr)
          return 0;
        j = size_t(static_cast<const char *>(star) - name) + 1;
      }
      if (k == p)
        return 1;
      i = seg = k;
      from = j;
      continue;
    }
    // The first byte of a segment is the anchor of the star before it:
    // a '?' there stands for itself.
    if (i < p && (pat[i] == name[j] || (pat[i] == '?' && i != seg))) {
      i++;
      j++;
      continue;
    }
    if (seg > p)
      return 0;
    i = seg;
    j = ++from;
  }
  return i == p || (i + 1 == p && pat[i] == '*');
}

}  // namespace

pclent *
pclent_init()
{
  return static_cast<pclent *>(calloc(1, sizeof(pclent)));
}

void
pclent_clear(pclent *e)
{
  for (uint16_t i = 0; i < e->pe_nnames; i++)
    free(e->pe_names[i]);
  free(e->pe_names);
  for (uint16_t i = 0; i < e->pe_nres; i++) {
    free(e->pe_resrc[i]);
    regfree(&e->pe_res[i]);
  }
  free(e->pe_resrc);
  free(e->pe_res);
  free(e->pe_gids);
  free(e->pe_uids);
  memset(e, 0, sizeof *e);
}

void
pclent_free(pclent *e)
{
  if (e == nullptr)
    return;
  pclent_clear(e);
  free(e);
}

pclent *
pclent_copy(pclent *dst, const pclent *src)
{
  // Built in a scratch entry through the adders, so that a failure halfway
  // leaves only whole items to release, and dst is touched only at the end.
  pclent tmp;
  memset(&tmp, 0, sizeof tmp);
  bool ok = true;
  for (uint16_t i = 0; ok && i < src->pe_nnames; i++)
    ok = pclent_name_add(&tmp, src->pe_names[i]) != nullptr;
  for (uint16_t i = 0; ok && i < src->pe_nres; i++) {
    int code;
    ok = pclent_addename(&tmp, src->pe_resrc[i], &code) != nullptr;
  }
  for (uint16_t i = 0; ok && i < src->pe_ngids; i++)
    ok = pclent_egid_add(&tmp, &src->pe_gids[i]) != nullptr;
  for (uint16_t i = 0; ok && i < src->pe_nuids; i++)
    ok = pclent_euid_add(&tmp, &src->pe_uids[i]) != nullptr;
  if (!ok) {
    int saved = errno;
    pclent_clear(&tmp);
    memset(dst, 0, sizeof *dst);
    errno = saved;
    return nullptr;
  }
  tmp.pe_types = src->pe_types;
  tmp.pe_flags = src->pe_flags;
  tmp.pe_mask = src->pe_mask;
  *dst = tmp;
  return dst;
}

pclent *
pclent_name_add(pclent *e, const char *text)
{
  if (full(e->pe_nnames))
    return nullptr;
  char *copy = dup_text(text);
  if (copy == nullptr)
    return nullptr;
  if (!grow_for(&e->pe_names, e->pe_nnames)) {
    free(copy);
    return nullptr;
  }
  e->pe_names[e->pe_nnames++] = copy;
  return e;
}

pclent *
pclent_addename(pclent *e, const char *text, int *code)
{
  *code = 0;
  if (full(e->pe_nres))
    return nullptr;
  // Both arrays grow before anything is compiled; a larger array than the
  // count needs is harmless, a compiled regex with nowhere to go is not.
  if (!grow_for(&e->pe_resrc, e->pe_nres) || !grow_for(&e->pe_res, e->pe_nres))
    return nullptr;
  std::unique_ptr<char, decltype(&free)> copy(dup_text(text), &free);
  if (copy == nullptr)
    return nullptr;
  regex_t *re = &e->pe_res[e->pe_nres];
  int r = regcomp(re, text, PCL_REGFLAGS);
  if (r != 0) {
    *code = r;
    errno = r == REG_ESPACE ? ENOMEM : EINVAL;
    return nullptr;
  }
  e->pe_resrc[e->pe_nres++] = copy.release();
  return e;
}

namespace {

pclent *
range_add(pclent *e, pclent_range **arr, uint16_t *n, const pclent_range *r)
{
  if (full(*n))
    return nullptr;
  if (!grow_for(arr, *n))
    return nullptr;
  (*arr)[(*n)++] = *r;
  return e;
}

}  // namespace

pclent *
pclent_egid_add(pclent *e, const pclent_range *r)
{
  return range_add(e, &e->pe_gids, &e->pe_ngids, r);
}

pclent *
pclent_euid_add(pclent *e, const pclent_range *r)
{
  return range_add(e, &e->pe_uids, &e->pe_nuids, r);
}

void
pclent_type_set(pclent *e, uint8_t bits)
{
  e->pe_types = bits;
}

pcl *
pcl_init()
{
  return static_cast<pcl *>(calloc(1, sizeof(pcl)));
}

pcl *
pcl_add(pcl *l, const pclent *e)
{
  if (l->pl_count == PCL_MAX_ENTRIES) {
    errno = ENOMEM;
    return nullptr;
  }
  // Lists are short, so the array grows by exactly one slot; a slot left
  // over by a failed copy is not counted and is reused by the next add.
  pclent *p = static_cast<pclent *>(realloc(l->pl_ents, (l->pl_count + 1u) *
                                                            sizeof(pclent)));
  if (p == nullptr)
    return nullptr;
  l->pl_ents = p;
  if (pclent_copy(&p[l->pl_count], e) == nullptr)
    return nullptr;
  l->pl_count++;
  return l;
}

void
pcl_clear(pcl *l)
{
  for (unsigned i = 0; i < l->pl_count; i++)
    pclent_clear(&l->pl_ents[i]);
  free(l->pl_ents);
  l->pl_ents = nullptr;
  l->pl_count = 0;
  l->pl_kind = PCL_INH_UNSET;
}

void
pcl_free(pcl *l)
{
  if (l == nullptr)
    return;
  pcl_clear(l);
  free(l);
}

int
glob_match(const char *pattern, const char *name)
{
  return glob_at(pattern, strlen(pattern), name, strlen(name));
}

const pclent *
pcl_match(const pcl *l, const char *name, const struct stat *st, int inherited)
{
  // Selectors are tried in the order the policy language gives them; the
  // first that fails ends the work on that entry.
  for (unsigned i = 0; i < l->pl_count; i++) {
    const pclent &e = l->pl_ents[i];
    if (inherited && !(e.pe_flags & PCLENT_INHERIT))
      continue;
    if (!name_match(e, name))
      continue;
    if (!ranges_match(e.pe_gids, e.pe_ngids, st->st_gid))
      continue;
    if (!ranges_match(e.pe_uids, e.pe_nuids, st->st_uid))
      continue;
    if (e.pe_types != 0 && !(e.pe_types & type_bit(st->st_mode)))
      continue;
    return &e;
  }
  return nullptr;
}

pcl_step
pcl_walk_step(const pcl *l, const char *name, const struct stat *st,
              int inherited)
{
  const pclent *e = pcl_match(l, name, st, inherited);
  bool record = e != nullptr && (e->pe_flags & PCLENT_RECORD);
  bool prune = e != nullptr && (e->pe_flags & PCLENT_PRUNE);
  return {e, record, !prune && S_ISDIR(st->st_mode)};
}
