// print.cc: the plain, long and human layouts of a record (the mask letters
// and hexadecimal text of print.h are in text.cc).
//
// The printers build each call's output in a local buffer and hand it to
// their stream with fwrite: a formatted print per field costs more than
// the rest of reading a database. The bytes are those of the printf formats
// named beside each field below; the path alone is escaped.
#include "db/print.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "diag/esc_buf.h"
#include "port/port.h"

namespace {

// Change letters by kind: every kind the table does not name prints '?'.
// Looked up by index, as one record costs little more than its header.
struct change_letter_index {
  char at[DB_KIND_DELETED + 1];
};

constexpr change_letter_index
change_letters()
{
  constexpr struct {
    uint8_t kind;
    char letter;
  } letters[] = {
      {DB_KIND_CHANGED, 'C'}, {DB_KIND_NEW, 'N'}, {DB_KIND_DELETED, 'D'}};
  change_letter_index x{};
  for (char &c : x.at)
    c = '?';
  for (const auto &l : letters)
    x.at[l.kind] = l.letter;
  return x;
}
constexpr change_letter_index CHANGE_LETTERS = change_letters();
static_assert(CHANGE_LETTERS.at[DB_KIND_SNAP] == '?' &&
                  CHANGE_LETTERS.at[DB_KIND_UNCHANGED] == '?',
              "snapshot records and unchanged paths have no letter");

// Each type once, by its type bits alone; 0 is not among them.
constexpr bool
file_types_well_formed()
{
  uint32_t seen = 0;
  for (const rec_file_type &t : REC_FILE_TYPES) {
    if (t.fmt == 0 || (t.fmt & ~0xF000) != 0 || (seen & 1u << (t.fmt >> 12)))
      return false;
    seen |= 1u << (t.fmt >> 12);
  }
  return true;
}
static_assert(file_types_well_formed(), "one entry per file type");

// Every name and a comma between each two, plus the terminator.
constexpr size_t FLAG_TEXT_LEN = 60;

// Text for a ctime that localtime_r cannot convert; as wide as a real one.
constexpr char BAD_TIME[] = "(time out of range)";
constexpr size_t TIME_TEXT_LEN = 20;
static_assert(sizeof BAD_TIME == TIME_TEXT_LEN, "fits the time buffer");

// Output of one printer call; full chunks go out early, so a long path
// needs no special case.
using outbuf = esc_buf<4096>;

// "%llu" of v into the end of a 20-byte area; returns the first digit.
char *
fmt_u64(char *end, uint64_t v)
{
  char *p = end;
  do {
    *--p = char('0' + v % 10);
    v /= 10;
  } while (v != 0);
  return p;
}

// "%lld" (or "%d", "%ld": the value decides, not the width).
void
put_dec(outbuf *o, int64_t v)
{
  char b[24];
  char *end = b + sizeof b;
  uint64_t u = v < 0 ? 0 - uint64_t(v) : uint64_t(v);
  char *p = fmt_u64(end, u);
  if (v < 0)
    *--p = '-';
  o->put(p, size_t(end - p));
}

// "%.6o" of a 16-bit mode: at most six digits, so the padding is exact.
void
put_mode_octal(outbuf *o, uint16_t mode)
{
  char b[6];
  unsigned v = mode;
  for (int i = 5; i >= 0; i--) {
    b[i] = char('0' + (v & 7));
    v >>= 3;
  }
  o->put(b, sizeof b);
}

// "%.8x" of a 32-bit word.
void
put_hex32(outbuf *o, uint32_t v)
{
  static const char digits[] = "0123456789abcdef";
  char b[8];
  for (int i = 7; i >= 0; i--) {
    b[i] = digits[v & 15];
    v >>= 4;
  }
  o->put(b, sizeof b);
}

// "%.*d" of v with precision prec: a sign, then at least prec digits.
char *
put_int_prec(char *p, int v, int prec)
{
  char b[16];
  char *end = b + sizeof b;
  uint64_t u = v < 0 ? 0 - uint64_t(int64_t(v)) : uint64_t(v);
  char *d = fmt_u64(end, u);
  while (end - d < prec)
    *--d = '0';
  if (v < 0)
    *p++ = '-';
  memcpy(p, d, size_t(end - d));
  return p + (end - d);
}

// "%d-%.2d-%.2d %.2d:%.2d:%.2d" of the local time, cut to 19 characters.
// Built by hand: snprintf was a third of the cost of a plain line.
void
time_text(int64_t t, char out[TIME_TEXT_LEN])
{
  struct tm tm;
  time_t tt = time_t(t);
  if (int64_t(tt) != t || localtime_r(&tt, &tm) == nullptr) {
    memcpy(out, BAD_TIME, sizeof BAD_TIME);
    return;
  }
  char wide[80];  // six ints and five separators, uncut
  char *p = put_int_prec(wide, tm.tm_year + 1900, 1);
  *p++ = '-';
  p = put_int_prec(p, tm.tm_mon + 1, 2);
  *p++ = '-';
  p = put_int_prec(p, tm.tm_mday, 2);
  *p++ = ' ';
  p = put_int_prec(p, tm.tm_hour, 2);
  *p++ = ':';
  p = put_int_prec(p, tm.tm_min, 2);
  *p++ = ':';
  p = put_int_prec(p, tm.tm_sec, 2);
  size_t n = size_t(p - wide);
  if (n > TIME_TEXT_LEN - 1)
    n = TIME_TEXT_LEN - 1;
  memcpy(out, wide, n);
  out[n] = '\0';
}

// Ten characters and a terminator.
void
mode_text(uint16_t mode, char out[11])
{
  // Execute with a set-ID bit shows 'S', the set-ID bit alone 's'.
  auto exec = [mode](unsigned x, unsigned id) {
    if (mode & id)
      return (mode & x) ? 'S' : 's';
    return (mode & x) ? 'x' : '-';
  };
  out[0] = rec_file_type_of(mode)->letter;
  out[1] = (mode & 0400) ? 'r' : '-';
  out[2] = (mode & 0200) ? 'w' : '-';
  out[3] = exec(0100, 04000);
  out[4] = (mode & 040) ? 'r' : '-';
  out[5] = (mode & 020) ? 'w' : '-';
  out[6] = exec(010, 02000);
  out[7] = (mode & 04) ? 'r' : '-';
  out[8] = (mode & 02) ? 'w' : '-';
  out[9] = (mode & 01) ? 'x' : '-';
  out[10] = '\0';
}

// The names of the set flags joined by ",", possibly empty.
void
flag_text(uint32_t flags, char out[FLAG_TEXT_LEN])
{
  size_t n = 0;
  for (const rec_flag_name &f : REC_FLAG_NAMES) {
    if ((flags & f.bit) == 0)
      continue;
    if (n > 0)
      out[n++] = ',';
    size_t k = strlen(f.name);
    memcpy(out + n, f.name, k);
    n += k;
  }
  out[n] = '\0';
}

char
change_letter(uint32_t kind)
{
  return kind < sizeof CHANGE_LETTERS.at ? CHANGE_LETTERS.at[kind] : '?';
}

void
put_header(outbuf *o, uint32_t kind, const db_rec *rec, const char *path)
{
  char head[DB_NATTRS + 3];  // the letter, a blank, the mask text, a blank
  head[0] = change_letter(kind);
  head[1] = ' ';
  size_t n = mask_text(db_rec_attrs(rec), head + 2);
  head[n + 2] = ' ';
  o->put(head, n + 3);
  o->put_name(path);  // escaped: a name cannot add a line to the report
  o->put('\n');
}

// 64 hex digits; zeros for a record without the digest.
void
put_sha256(outbuf *o, const uint8_t *sum)
{
  static const uint8_t none[DB_SHA256_LEN] = {};
  char text[2 * DB_SHA256_LEN + 1];
  o->put(hex_encode(sum != nullptr ? sum : none, text, 2 * DB_SHA256_LEN),
         2 * DB_SHA256_LEN);
}

// One attribute's value as its plain and long formats render it.
void
put_value(outbuf *o, const db_rec *r, uint32_t bit)
{
  char csum[2 * DB_SUM_LEN + 1];
  char when[TIME_TEXT_LEN];
  switch (bit) {
    case DB_INO: put_dec(o, int64_t(r->ino)); break;  // %lld
    case DB_LINKS: put_dec(o, r->links); break;       // %d
    case DB_UID: put_dec(o, r->uid); break;           // %ld
    case DB_GID: put_dec(o, r->gid); break;           // %ld
    case DB_MODE: put_mode_octal(o, r->mode); break;  // %.6o
    case DB_SIZE: put_dec(o, r->size); break;         // %lld
    case DB_FLAGS: put_hex32(o, r->flags); break;     // %.8x
    case DB_CTIME:
      time_text(r->ctime, when);
      o->put(when);
      break;                                                         // %s
    case DB_CSUM: o->put(hex_encode(r->csum, csum, 40), 40); break;  // %s
    case DB_SHA256:
      put_sha256(o, r->ext != nullptr ? r->ext->sha256 : nullptr);
      break;
  }
}

// One extended attribute: its name, "=", and the value's text form, the
// value itself escaped as names are, or its length and digest.
void
put_xattr(outbuf *o, const db_xattr *a)
{
  o->put_name(a->name, a->name_len);
  o->put('=');
  if (a->by_sum) {
    o->put('(');
    put_dec(o, int64_t(a->value_len));
    o->put(" bytes, sha256 ");
    put_sha256(o, a->value);
    o->put(')');
    return;
  }
  char *text = xattr_text(a);
  if (text != nullptr) {
    o->put_name(text);
    free(text);
  } else {
    o->put_name(reinterpret_cast<const char *>(a->value), a->value_len);
  }
}

void
block_plain(outbuf *o, const db_rec *r, uint32_t sel)
{
  for (const db_attr &a : DB_ATTRS) {
    if ((sel & a.bit) == 0)
      continue;
    if (a.bit == DB_XATTR) {  // each attribute a field of its own
      db_xattr x;
      for (size_t pos = 0; db_xattr_next(r->ext, &pos, &x) == 1;) {
        put_xattr(o, &x);
        o->put(' ');
      }
      continue;
    }
    put_value(o, r, a.bit);
    o->put(' ');
  }
  o->put('\n');
}

// The long layouts' lines of the extended attributes: one per attribute,
// or one that says there are none.
void
lines_xattr(outbuf *o, const db_rec *r, const char *label)
{
  db_xattr x;
  size_t pos = 0;
  bool any = false;
  while (db_xattr_next(r->ext, &pos, &x) == 1) {
    o->put(label);
    o->put(":\t", 2);
    put_xattr(o, &x);
    o->put('\n');
    any = true;
  }
  if (!any) {
    o->put(label);
    o->put(":\t(none)\n");
  }
}

void
block_long(outbuf *o, const db_rec *r, uint32_t sel, bool human)
{
  for (const db_attr &a : DB_ATTRS) {
    if ((sel & a.bit) == 0)
      continue;
    if (a.bit == DB_XATTR) {
      lines_xattr(o, r, a.name);
      continue;
    }
    o->put(a.name);  // "ino:\t%lld\n" and the like
    o->put(":\t", 2);
    put_value(o, r, a.bit);
    if (human && a.bit == DB_MODE) {  // "mode:\t%.6o (%s)\n"
      char text[11];
      mode_text(r->mode, text);
      o->put(" (", 2);
      o->put(text, 10);
      o->put(')');
    } else if (human && a.bit == DB_FLAGS) {  // "flags:\t%.8x (%s)\n"
      char text[FLAG_TEXT_LEN];
      flag_text(r->flags, text);
      o->put(" (", 2);
      o->put(text);
      o->put(')');
    }
    o->put('\n');
  }
  o->put('\n');
}

enum layout { PLAIN, LONG, HUMAN };

int
rec_print(FILE *out, layout how, uint32_t kind, const db_rec *recs,
          const char *path, uint32_t sel)
{
  outbuf o(out);
  put_header(&o, kind, &recs[0], path);
  int n = kind == DB_KIND_CHANGED ? 2 : 1;
  // The extension's attributes print only for records that have one.
  if (recs[0].ext == nullptr && (n == 1 || recs[1].ext == nullptr))
    sel &= DB_ALL;
  for (int i = 0; i < n; i++) {
    if (how == PLAIN)
      block_plain(&o, &recs[i], sel);
    else
      block_long(&o, &recs[i], sel, how == HUMAN);
  }
  return o.flush();
}

}  // namespace

int
rec_print_plain(uint32_t kind, const db_rec *recs, const char *path,
                uint32_t sel)
{
  return rec_print(stdout, PLAIN, kind, recs, path, sel);
}

int
rec_print_long(uint32_t kind, const db_rec *recs, const char *path,
               uint32_t sel)
{
  return rec_print(stdout, LONG, kind, recs, path, sel);
}

int
rec_print_human(uint32_t kind, const db_rec *recs, const char *path,
                uint32_t sel)
{
  return rec_print(stdout, HUMAN, kind, recs, path, sel);
}

uint32_t
rec_view_select(const rec_view *v, const db_rec *rec)
{
  if (v->rv_replace)
    return v->rv_mask;
  if (v->rv_narrow)
    return rec->mask & v->rv_mask;
  return rec->mask;
}

int
rec_view_print(const rec_view *v, uint32_t kind, const db_rec *recs,
               const char *path)
{
  uint32_t sel = rec_view_select(v, &recs[0]);
  FILE *out = v->rv_out != nullptr ? v->rv_out : stdout;
  if (v->rv_plain)
    return rec_print(out, PLAIN, kind, recs, path, sel);
  if (v->rv_human)
    return rec_print(out, HUMAN, kind, recs, path, sel);
  return rec_print(out, LONG, kind, recs, path, sel);
}
