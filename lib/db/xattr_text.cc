// xattr_text.cc: the text forms of capability sets, ACLs and SELinux labels
// in extended attributes, through libcap and libacl.
#include <acl/libacl.h>
#include <sys/acl.h>
#include <sys/capability.h>

#include <cstdlib>
#include <cstring>
#include <string_view>

#include "db/le.h"
#include "db/print.h"

namespace {

// The stored layout of a file's capability set: a revision word with the
// effective flag, then (permitted, inheritable) in 32-bit halves, low half
// first; revision 3 adds the root id of the owning user namespace.
constexpr uint32_t CAPS_REV_MASK = 0xff000000;
constexpr uint32_t CAPS_REV2 = 0x02000000;
constexpr uint32_t CAPS_REV3 = 0x03000000;
constexpr uint32_t CAPS_EFFECTIVE = 0x000001;
constexpr size_t CAPS_REV2_LEN = 20;
constexpr size_t CAPS_REV3_LEN = 24;

// Frees a libcap or libacl object on every return.
struct cap_guard {
  cap_t c;
  ~cap_guard() { cap_free(c); }
};
struct acl_guard {
  acl_t a;
  ~acl_guard() { acl_free(a); }
};

// text, copied with malloc so that every caller frees the same way, then
// released with rel.
template <typename F>
char *
dup_text(char *text, F rel)
{
  if (text == nullptr)
    return nullptr;
  char *out = strdup(text);
  rel(text);
  return out;
}

char *
caps_text(const uint8_t *v, size_t n)
{
  if (n != CAPS_REV2_LEN && n != CAPS_REV3_LEN)
    return nullptr;
  uint32_t magic = le_get32(v);
  uint32_t rev = magic & CAPS_REV_MASK;
  if ((rev != CAPS_REV2 || n != CAPS_REV2_LEN) &&
      (rev != CAPS_REV3 || n != CAPS_REV3_LEN))
    return nullptr;
  uint64_t perm = le_get32(v + 4) | uint64_t(le_get32(v + 12)) << 32;
  uint64_t inh = le_get32(v + 8) | uint64_t(le_get32(v + 16)) << 32;
  cap_guard g{cap_init()};
  if (g.c == nullptr)
    return nullptr;
  for (unsigned bit = 0; bit < 64; bit++) {
    cap_value_t cv[1] = {cap_value_t(bit)};
    uint64_t b = uint64_t(1) << bit;
    // A bit libcap does not know cannot be named: no text form.
    if (((perm | inh) & b) != 0 && bit > unsigned(cap_max_bits() - 1))
      return nullptr;
    if ((perm & b) != 0 &&
        cap_set_flag(g.c, CAP_PERMITTED, 1, cv, CAP_SET) != 0)
      return nullptr;
    if ((inh & b) != 0 &&
        cap_set_flag(g.c, CAP_INHERITABLE, 1, cv, CAP_SET) != 0)
      return nullptr;
    // The file's effective flag raises every permitted and inheritable bit.
    if ((magic & CAPS_EFFECTIVE) && ((perm | inh) & b) != 0 &&
        cap_set_flag(g.c, CAP_EFFECTIVE, 1, cv, CAP_SET) != 0)
      return nullptr;
  }
  char *text =
      dup_text(cap_to_text(g.c, nullptr), [](char *t) { cap_free(t); });
  if (text == nullptr || rev != CAPS_REV3 || le_get32(v + 20) == 0)
    return text;
  // A set that holds only inside one user namespace says which.
  size_t len = strlen(text);
  char *more = static_cast<char *>(realloc(text, len + 24));
  if (more == nullptr) {
    free(text);
    return nullptr;
  }
  char *p = more + len;
  memcpy(p, " [rootid=", 9);
  p += 9;
  char digits[10];
  int k = 0;
  for (uint32_t id = le_get32(v + 20); id != 0; id /= 10)
    digits[k++] = char('0' + id % 10);
  while (k > 0)
    *p++ = digits[--k];
  *p++ = ']';
  *p = '\0';
  return more;
}

// The stored layout of an ACL: a version word, then entries of a tag
// (16 bits), permissions (16) and an id (32).
constexpr uint32_t ACL_XATTR_VERSION = 2;
constexpr size_t ACL_ENTRY_LEN = 8;

char *
acl_text(const uint8_t *v, size_t n)
{
  if (n < 4 || (n - 4) % ACL_ENTRY_LEN != 0 || le_get32(v) != ACL_XATTR_VERSION)
    return nullptr;
  size_t count = (n - 4) / ACL_ENTRY_LEN;
  acl_guard g{acl_init(int(count))};
  if (g.a == nullptr)
    return nullptr;
  for (size_t i = 0; i < count; i++) {
    const uint8_t *e = v + 4 + i * ACL_ENTRY_LEN;
    acl_tag_t tag = acl_tag_t(le_get16(e));
    unsigned perm = le_get16(e + 2);
    id_t id = le_get32(e + 4);
    acl_entry_t entry;
    acl_permset_t ps;
    if (acl_create_entry(&g.a, &entry) != 0 ||
        acl_set_tag_type(entry, tag) != 0 || acl_get_permset(entry, &ps) != 0 ||
        (perm & ~7u) != 0)
      return nullptr;
    if ((tag == ACL_USER || tag == ACL_GROUP) &&
        acl_set_qualifier(entry, &id) != 0)
      return nullptr;
    const acl_perm_t bits[] = {ACL_READ, ACL_WRITE, ACL_EXECUTE};
    for (acl_perm_t b : bits)
      if ((perm & unsigned(b)) != 0 && acl_add_perm(ps, b) != 0)
        return nullptr;
  }
  return dup_text(acl_to_any_text(g.a, nullptr, ',', TEXT_NUMERIC_IDS),
                  [](char *t) { acl_free(t); });
}

// A label is text, stored with or without a terminator; one with other
// zero bytes has no text form.
char *
label_text(const uint8_t *v, size_t n)
{
  if (n > 0 && v[n - 1] == 0)
    n--;
  if (memchr(v, 0, n) != nullptr)
    return nullptr;
  char *out = static_cast<char *>(malloc(n + 1));
  if (out == nullptr)
    return nullptr;
  memcpy(out, v, n);
  out[n] = '\0';
  return out;
}

}  // namespace

char *
xattr_text(const db_xattr *a)
{
  if (a->by_sum)
    return nullptr;
  std::string_view name(a->name, a->name_len);
  if (name == "security.capability")
    return caps_text(a->value, a->value_len);
  if (name == "system.posix_acl_access" || name == "system.posix_acl_default")
    return acl_text(a->value, a->value_len);
  if (name == "security.selinux")
    return label_text(a->value, a->value_len);
  return nullptr;
}
