// json.cc: one JSON object per frame.
//
// A line is built with plain stores into the state's buffer, which has
// room for a whole line whenever one starts: a formatted print per value
// would cost more than all the rest of reading a database.
#include "text/json.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "db/print.h"
#include "diag/esc.h"
#include "text/text.h"

namespace {

// A line at its longest: every path byte written as "\\ooo", two records
// with every attribute at its widest (under 400 bytes each), both lists
// of attribute names whole, and the keys and brackets around them.
constexpr size_t LINE_BOUND = 5 * sizeof(db_frame::path) + 2 * 512 + 2 * 128 +
                              256;
static_assert(LINE_BOUND <= JSON_LINE_MAX, "a line fits its reserve");

template <size_t N>
char *
put(char *p, const char (&s)[N])
{
  memcpy(p, s, N - 1);
  return p + N - 1;
}

char *
put_str(char *p, const char *s)
{
  size_t n = strlen(s);
  memcpy(p, s, n);
  return p + n;
}

char *
put_u64(char *p, uint64_t v)
{
  char b[20];
  char *end = b + sizeof b;
  char *d = end;
  do {
    *--d = char('0' + v % 10);
    v /= 10;
  } while (v != 0);
  memcpy(p, d, size_t(end - d));
  return p + (end - d);
}

// v in exactly n decimal digits, zeros in front.
char *
put_digits(char *p, uint32_t v, int n)
{
  for (int i = n - 1; i >= 0; i--) {
    p[i] = char('0' + v % 10);
    v /= 10;
  }
  return p + n;
}

// The names of the entries of table whose bits are in bits, in the order
// of the table, as an array.
template <typename T, size_t N>
char *
put_names(char *p, const T (&table)[N], uint32_t bits)
{
  *p++ = '[';
  const char *first = p;
  for (const T &e : table) {
    if ((bits & e.bit) == 0)
      continue;
    if (p != first)
      *p++ = ',';
    *p++ = '"';
    p = put_str(p, e.name);
    *p++ = '"';
  }
  *p++ = ']';
  return p;
}

// "100644","type":"file"
char *
put_mode(char *p, uint16_t mode)
{
  *p++ = '"';
  for (int i = 5; i >= 0; i--)
    p[i] = char('0' + ((mode >> (3 * (5 - i))) & 7));
  p = put(p + 6, "\",\"type\":\"");
  p = put_str(p, rec_file_type_of(mode)->word);
  *p++ = '"';
  return p;
}

// 2,"flag_names":["uchg"]
char *
put_flags(char *p, uint32_t flags)
{
  p = put_u64(p, flags);
  p = put(p, ",\"flag_names\":");
  return put_names(p, REC_FLAG_NAMES, flags);
}

// "2001-09-09T01:46:40Z": seconds since 1970 as a UTC time, with the
// arithmetic of the proleptic Gregorian calendar rather than the time
// zone's rules. The days are counted from 0000-03-01, so that a leap day
// ends its year and each 400-year era has the same shape.
char *
put_time(char *p, uint32_t t)
{
  uint32_t z = t / 86400 + 719468;  // 1970-01-01 is day 719468
  uint32_t era = z / 146097;        // 146097 days in 400 years
  uint32_t doe = z - era * 146097;  // day of the era
  uint32_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  uint32_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);  // from March 1
  uint32_t mp = (5 * doy + 2) / 153;                       // months from March
  uint32_t day = doy - (153 * mp + 2) / 5 + 1;
  uint32_t month = mp < 10 ? mp + 3 : mp - 9;
  uint32_t year = era * 400 + yoe + (month <= 2 ? 1 : 0);
  uint32_t s = t % 86400;
  *p++ = '"';
  p = put_digits(p, year, 4);  // a 32-bit time ends in 2106
  *p++ = '-';
  p = put_digits(p, month, 2);
  *p++ = '-';
  p = put_digits(p, day, 2);
  *p++ = 'T';
  p = put_digits(p, s / 3600, 2);
  *p++ = ':';
  p = put_digits(p, s / 60 % 60, 2);
  *p++ = ':';
  p = put_digits(p, s % 60, 2);
  return put(p, "Z\"");
}

// Bytes as a string of hex digits.
char *
put_hex(char *p, const uint8_t *bytes, size_t n)
{
  *p++ = '"';
  hex_encode(bytes, p, int(2 * n));
  p += 2 * n;
  *p++ = '"';
  return p;
}

// An attribute's name, which is not terminated, as text_json_path writes a
// path: every byte of it, a zero byte too, which a C string would end at.
char *
put_xattr_name(char *p, const char *s, size_t n)
{
  return text_json_bytes(p, s, n);
}

// The most put_xattr writes for a: every byte of its name and text
// escaped, its value in hex.
size_t
xattr_bound(const db_xattr *a, size_t text_len)
{
  size_t value = a->by_sum ? 2 * DB_SHA256_LEN + 24 : 2 * a->value_len;
  return 64 + 5 * a->name_len + value + 5 * text_len;
}

// {"name":"security.capability","value":"0100...","text":"cap_net_raw=ep"}
// with the text where the value has a text form; a value stored by its
// digest as {"name":...,"size":5000,"sha256":"..."}. Lossless: the name
// reads back as its bytes, the value is all there or its digest is.
char *
put_xattr(char *p, const db_xattr *a, const char *text)
{
  p = put(p, "{\"name\":");
  p = put_xattr_name(p, a->name, a->name_len);
  if (a->by_sum) {
    p = put(p, ",\"size\":");
    p = put_u64(p, a->value_len);
    p = put(p, ",\"sha256\":");
    p = put_hex(p, a->value, DB_SHA256_LEN);
  } else {
    p = put(p, ",\"value\":");
    p = put_hex(p, a->value, a->value_len);
    if (text != nullptr) {
      p = put(p, ",\"text\":");
      p = text_json_path(p, text);
    }
  }
  *p++ = '}';
  return p;
}

char *
put_xattrs(char *p, const db_ext *ext)
{
  *p++ = '[';
  db_xattr a;
  for (size_t pos = 0; db_xattr_next(ext, &pos, &a) == 1;) {
    if (p[-1] != '[')
      *p++ = ',';
    char *text = xattr_text(&a);
    p = put_xattr(p, &a, text);
    free(text);
  }
  *p++ = ']';
  return p;
}

// The most the extended attributes of the records add to a line.
size_t
ext_bound(const db_rec *recs, int n)
{
  size_t b = 0;
  for (int i = 0; i < n; i++) {
    db_xattr a;
    for (size_t pos = 0; db_xattr_next(recs[i].ext, &pos, &a) == 1;) {
      char *text = xattr_text(&a);
      b += xattr_bound(&a, text != nullptr ? strlen(text) : 0);
      free(text);
    }
    b += 4 * DB_SHA256_LEN;
  }
  return b;
}

// A record read back holds links in 16 bits, ctime in 32 and size as the
// 64 bits stored, all widened without sign, so none is negative.
char *
put_value(char *p, const db_rec *r, uint32_t bit)
{
  switch (bit) {
    case DB_INO: return put_u64(p, r->ino);
    case DB_LINKS: return put_u64(p, uint32_t(r->links));
    case DB_UID: return put_u64(p, r->uid);
    case DB_GID: return put_u64(p, r->gid);
    case DB_MODE: return put_mode(p, r->mode);
    case DB_SIZE: return put_u64(p, uint64_t(r->size));
    case DB_FLAGS: return put_flags(p, r->flags);
    case DB_CTIME: return put_time(p, uint32_t(r->ctime));
    case DB_CSUM:
      *p++ = '"';
      hex_encode(r->csum, p, 2 * DB_SUM_LEN);
      return put(p + 2 * DB_SUM_LEN, "\"");
    case DB_SHA256: return put_hex(p, r->ext->sha256, DB_SHA256_LEN);
    case DB_XATTR: return put_xattrs(p, r->ext);
  }
  return p;
}

// The attributes the record's own mask names, and no other.
char *
put_record(char *p, const db_rec *r)
{
  *p++ = '{';
  const char *first = p;
  uint32_t attrs = db_rec_attrs(r);
  for (const db_attr &a : DB_ATTRS) {
    if ((attrs & a.bit) == 0)
      continue;
    if (p != first)
      *p++ = ',';
    *p++ = '"';
    p = put_str(p, a.name);
    p = put(p, "\":");
    p = put_value(p, r, a.bit);
  }
  *p++ = '}';
  return p;
}

char *
put_frame(char *p, uint8_t kind, const db_rec *recs, const char *path)
{
  p = put(p, "{\"change\":\"");
  const char *word = text_change_word(kind);
  if (word != nullptr) {
    p = put_str(p, word);
    *p++ = '"';
  } else {
    p = put(p, "unknown\",\"kind\":");
    p = put_u64(p, kind);
  }
  p = put(p, ",\"path\":");
  p = text_json_path(p, path);
  p = put(p, ",\"recorded\":");
  p = put_names(p, DB_ATTRS, db_rec_attrs(&recs[0]));
  if (kind == DB_KIND_CHANGED) {
    p = put(p, ",\"older\":");
    p = put_record(p, &recs[0]);
    p = put(p, ",\"newer\":");
    p = put_record(p, &recs[1]);
    p = put(p, ",\"differ\":");
    p = put_names(p, DB_ATTRS, db_rec_diff(&recs[0], &recs[1]));
  } else {
    p = put(p, ",\"record\":");
    p = put_record(p, &recs[0]);
  }
  return put(p, "}\n");
}

// Keeps the error of a failed write or flush of js_out (stdio may fail
// without a system call to set errno); -1.
int
write_failed(json_state *st)
{
  st->js_werr = errno != 0 ? errno : EIO;
  errno = st->js_werr;
  return -1;
}

// Hands the waiting lines to js_out; -1 with errno and js_werr when that
// fails, and at once after an earlier failure.
int
write_out(json_state *st)
{
  if (st->js_werr != 0) {
    errno = st->js_werr;
    return -1;
  }
  size_t n = st->js_len;
  st->js_len = 0;
  errno = 0;
  if (n > 0 && fwrite(st->js_buf, 1, n, st->js_out) != n)
    return write_failed(st);
  return 0;
}

}  // namespace

int
json_record(const db_frame *fr, const void *data, void *arg)
{
  json_state *st = static_cast<json_state *>(arg);
  db_rec recs[2];
  db_ext exts[2];
  int r = db_frame_recs(fr, data, st->js_path, st->js_exact, st->js_prefix,
                        recs, exts);
  if (r <= 0)
    return r;
  int n = fr->kind == DB_KIND_CHANGED ? 2 : 1;
  size_t need = JSON_LINE_MAX;
  if (recs[0].ext != nullptr || (n == 2 && recs[1].ext != nullptr))
    need += ext_bound(recs, n);
  if (sizeof st->js_buf - st->js_len < need && write_out(st) != 0)
    return -1;
  if (need <= sizeof st->js_buf) {
    char *end = put_frame(st->js_buf + st->js_len, fr->kind, recs, fr->path);
    st->js_len = size_t(end - st->js_buf);
    return 0;
  }
  // A line longer than the buffer goes out on its own.
  std::unique_ptr<char, decltype(&std::free)> line(
      static_cast<char *>(malloc(need)), std::free);
  if (line == nullptr) {
    errno = ENOMEM;
    return -1;
  }
  size_t len =
      size_t(put_frame(line.get(), fr->kind, recs, fr->path) - line.get());
  errno = 0;
  if (fwrite(line.get(), 1, len, st->js_out) != len)
    return write_failed(st);
  return 0;
}

int
json_flush(json_state *st)
{
  if (write_out(st) != 0)
    return -1;
  errno = 0;
  if (fflush(st->js_out) != 0)
    return write_failed(st);
  return 0;
}
