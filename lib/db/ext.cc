// ext.cc: the extension that follows a record carrying SHA-256 or extended
// attributes, and the frames that hold such records.
#include <cerrno>
#include <cstring>

#include "db/db.h"
#include "db/le.h"

namespace {

// Item tags. A reader refuses any other: skipping an item it does not know
// would let a change of that attribute pass unseen.
enum : uint8_t { TAG_SHA256 = 1, TAG_XATTR = 2, TAG_XATTR_SUM = 3 };

constexpr size_t NAME_MAX_LEN = 255;  // a name's length is stored in a byte
constexpr size_t SUM_ITEM_TAIL = 4 + DB_SHA256_LEN;  // length, digest

static_assert(DB_EXT_HEAD_LEN + DB_ITEM_HEAD_LEN + DB_SHA256_LEN +
                      DB_ITEM_HEAD_LEN + 1 + NAME_MAX_LEN +
                      DB_XATTR_WHOLE_MAX <=
                  DB_EXT_MAX,
              "a digest and the longest value stored whole fit together");

uint8_t *
put_item_head(uint8_t *p, uint8_t tag, size_t len)
{
  p[0] = tag;
  le_put32(p + 1, uint32_t(len));
  return p + DB_ITEM_HEAD_LEN;
}

// What a record without extension writes when the other record of its
// pair has one: a zero digest where its mask names one, no attributes.
constexpr db_ext NO_EXT = {};

const db_ext *
ext_of(const db_rec *rec)
{
  return rec->ext != nullptr ? rec->ext : &NO_EXT;
}

// Bytes of the extension written for rec.
size_t
ext_len(const db_rec *rec)
{
  size_t n = DB_EXT_HEAD_LEN;
  if (rec->mask & DB_SHA256)
    n += DB_ITEM_HEAD_LEN + DB_SHA256_LEN;
  if (rec->mask & DB_XATTR)
    n += ext_of(rec)->xa_len;
  return n;
}

uint8_t *
put_ext(uint8_t *p, const db_rec *rec)
{
  const db_ext *x = ext_of(rec);
  le_put16(p, DB_EXT_VERSION);
  le_put32(p + 2, uint32_t(ext_len(rec) - DB_EXT_HEAD_LEN));
  p += DB_EXT_HEAD_LEN;
  if (rec->mask & DB_SHA256) {
    p = put_item_head(p, TAG_SHA256, DB_SHA256_LEN);
    memcpy(p, x->sha256, DB_SHA256_LEN);
    p += DB_SHA256_LEN;
  }
  if ((rec->mask & DB_XATTR) && x->xa_len > 0) {
    memcpy(p, x->xa, x->xa_len);
    p += x->xa_len;
  }
  return p;
}

// Whether an attribute item's value of len bytes is well formed.
bool
xattr_item_ok(uint8_t tag, const uint8_t *v, size_t len)
{
  if (len < 1 || v[0] == 0 || len < 1 + size_t(v[0]))
    return false;
  size_t rest = len - 1 - v[0];
  if (tag == TAG_XATTR)
    return rest <= DB_XATTR_WHOLE_MAX;
  return rest == SUM_ITEM_TAIL && le_get32(v + 1 + v[0]) > DB_XATTR_WHOLE_MAX;
}

// Decodes the extension at p (n bytes) of a record with mask into ext. -1
// unless it is one this reader knows, whole and nothing more, holding the
// digest exactly when the mask names it and attributes only when it names
// them.
int
get_ext(const uint8_t *p, size_t n, uint16_t mask, db_ext *ext)
{
  memset(ext, 0, sizeof *ext);
  if (n < DB_EXT_HEAD_LEN || le_get16(p) != DB_EXT_VERSION ||
      le_get32(p + 2) != n - DB_EXT_HEAD_LEN)
    return -1;
  size_t at = DB_EXT_HEAD_LEN;
  bool seen_xattr = false;
  while (at < n) {
    if (n - at < DB_ITEM_HEAD_LEN)
      return -1;
    uint8_t tag = p[at];
    size_t len = le_get32(p + at + 1);
    const uint8_t *v = p + at + DB_ITEM_HEAD_LEN;
    if (len > n - at - DB_ITEM_HEAD_LEN)
      return -1;
    if (tag == TAG_SHA256) {
      // Once, before any attribute.
      if (len != DB_SHA256_LEN || seen_xattr || at != DB_EXT_HEAD_LEN)
        return -1;
      memcpy(ext->sha256, v, DB_SHA256_LEN);
    } else if (tag == TAG_XATTR || tag == TAG_XATTR_SUM) {
      if (!xattr_item_ok(tag, v, len))
        return -1;
      if (!seen_xattr)
        ext->xa = p + at;
      seen_xattr = true;
    } else {
      return -1;
    }
    at += DB_ITEM_HEAD_LEN + len;
  }
  bool sum = n > DB_EXT_HEAD_LEN && p[DB_EXT_HEAD_LEN] == TAG_SHA256;
  if (sum != ((mask & DB_SHA256) != 0) || (seen_xattr && !(mask & DB_XATTR)))
    return -1;
  if (seen_xattr)
    ext->xa_len = uint32_t(p + n - ext->xa);
  return 0;
}

}  // namespace

uint32_t
db_frame_pack(const db_rec *recs, int n, uint8_t *out)
{
  bool ext = false;
  for (int i = 0; i < n; i++) {
    db_rec_pack(&recs[i], out + size_t(i) * DB_REC_LEN);
    ext = ext || recs[i].ext != nullptr;
  }
  uint8_t *p = out + size_t(n) * DB_REC_LEN;
  if (ext)
    for (int i = 0; i < n; i++)
      p = put_ext(p, &recs[i]);
  return uint32_t(p - out);
}

int
db_recs_unpack(const void *data, size_t len, int n, db_rec *recs, db_ext *exts)
{
  const uint8_t *bytes = static_cast<const uint8_t *>(data);
  size_t at = size_t(n) * DB_REC_LEN;
  if (len < at) {
    errno = EBADMSG;
    return -1;
  }
  for (int i = 0; i < n; i++)
    db_rec_unpack(bytes + size_t(i) * DB_REC_LEN, &recs[i]);
  if (len == at)
    return 0;
  // Each extension says how long it is; the last one ends the frame.
  for (int i = 0; i < n; i++) {
    size_t left = len - at;
    size_t ext = left;
    if (i + 1 < n) {
      if (left < DB_EXT_HEAD_LEN)
        break;
      ext = DB_EXT_HEAD_LEN + le_get32(bytes + at + 2);
      if (ext > left)
        break;
    }
    if (get_ext(bytes + at, ext, recs[i].mask, &exts[i]) != 0)
      break;
    recs[i].ext = &exts[i];
    at += ext;
    if (i + 1 == n)
      return 0;
  }
  errno = EBADMSG;
  return -1;
}

int
db_frame_unpack(const db_frame *fr, const void *data, db_rec recs[2],
                db_ext exts[2])
{
  if (db_frame_check(fr) != 0)
    return -1;
  return db_recs_unpack(data, fr->len, fr->kind == DB_KIND_CHANGED ? 2 : 1,
                        recs, exts);
}

int
db_xattr_put(uint8_t *buf, size_t cap, size_t *len, const char *name,
             const void *value, size_t value_len,
             const uint8_t sum[DB_SHA256_LEN])
{
  size_t nlen = strlen(name);
  if (nlen == 0 || nlen > NAME_MAX_LEN) {
    errno = EINVAL;
    return -1;
  }
  bool whole = value_len <= DB_XATTR_WHOLE_MAX;
  size_t body = 1 + nlen + (whole ? value_len : SUM_ITEM_TAIL);
  if (cap < *len || cap - *len < DB_ITEM_HEAD_LEN + body) {
    errno = E2BIG;
    return -1;
  }
  uint8_t *p =
      put_item_head(buf + *len, whole ? TAG_XATTR : TAG_XATTR_SUM, body);
  *p++ = uint8_t(nlen);
  memcpy(p, name, nlen);
  p += nlen;
  if (whole) {
    if (value_len > 0)
      memcpy(p, value, value_len);
  } else {
    le_put32(p, uint32_t(value_len));
    memcpy(p + 4, sum, DB_SHA256_LEN);
  }
  *len += DB_ITEM_HEAD_LEN + body;
  return 0;
}

int
db_xattr_next(const db_ext *ext, size_t *pos, db_xattr *out)
{
  if (ext == nullptr || *pos >= ext->xa_len)
    return 0;
  const uint8_t *p = ext->xa + *pos;
  size_t len = le_get32(p + 1);
  const uint8_t *v = p + DB_ITEM_HEAD_LEN;
  out->name = reinterpret_cast<const char *>(v + 1);
  out->name_len = v[0];
  out->by_sum = p[0] == TAG_XATTR_SUM;
  const uint8_t *rest = v + 1 + v[0];
  if (out->by_sum) {
    out->value_len = le_get32(rest);
    out->value = rest + 4;
  } else {
    out->value_len = len - 1 - v[0];
    out->value = rest;
  }
  *pos += DB_ITEM_HEAD_LEN + len;
  return 1;
}
