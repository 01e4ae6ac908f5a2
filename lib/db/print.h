// print.h: the three printed layouts of a record, mask letters and hex text.
// Printers write to standard output, or where a rec_view says; they
// allocate nothing.
#pragma once
#include <cstdint>
#include <cstdio>

#include "db/db.h"
#include "port/port.h"  // the UF_* and SF_* flag bits

// recs holds one record, or two (older, newer) when kind is 2. sel is the
// selection mask: which attributes to print. The header's mask text always
// shows what the first record carries, whatever is selected, and its path
// is escaped (esc.h), so the header is one line. A ctime that localtime_r
// cannot convert prints as "(time out of range)". 0, or -1 with errno when
// stdout refused the output; part of the record may then have gone out.
int rec_print_plain(uint32_t kind, const db_rec *recs, const char *path,
                    uint32_t sel);
int rec_print_long(uint32_t kind, const db_rec *recs, const char *path,
                   uint32_t sel);
int rec_print_human(uint32_t kind, const db_rec *recs, const char *path,
                    uint32_t sel);

// The layout and the selection that the options -h, -x, -p, -m and -M of
// kavshow and kavcmp choose. A driver zeroes it and fills it in as the
// options come; the rules are the same for both programs. -p wins over -x
// and -h, and -x alone gives the human layout, the long one being the
// default. The mask is that of the last -m or -M; it replaces the record's
// own mask when -M was given anywhere, else narrows it when -m was.
// The output goes to rv_out, standard output when it is null (as zeroed),
// so that a program can keep the lines to file them elsewhere.
struct rec_view {
  uint32_t rv_mask;  // mask_parse of the last -m or -M
  bool rv_human;     // -x
  bool rv_plain;     // -p
  bool rv_narrow;    // -m
  bool rv_replace;   // -M
  FILE *rv_out;
};

// The selection mask for rec under v.
uint32_t rec_view_select(const rec_view *v, const db_rec *rec);
// Prints as the rec_print_* functions do, in the layout v chose, with the
// selection mask v gives for the first record, on v's stream; the same
// result, -1 with errno when that stream refused the output.
int rec_view_print(const rec_view *v, uint32_t kind, const db_rec *recs,
                   const char *path);

// The mask text of mask: per attribute, in the order of DB_ATTRS, its
// letter when mask has its bit, else '-'; the extension's attributes only
// when mask has one of them. Not terminated; returns its length, DB_NBASE
// or DB_NATTRS.
size_t mask_text(uint32_t mask, char out[DB_NATTRS]);

// Mask letters of the command lines: i m l u g t s f c h x add, C, F and A
// replace the whole mask, anything else is ignored.
void mask_parse(const char *text, uint32_t *mask);

// The text form of an extended attribute's value where it has one: a
// capability set as "cap_net_raw=ep", an ACL as its entries joined by ","
// with numeric ids ("user::rw-,user:1000:r--,group::r--,mask::r--,other::r--"),
// an SELinux label without its terminator. Null for a value stored by its
// digest, any other name, or a value that does not decode; else text
// allocated with malloc, the caller's to free.
char *xattr_text(const db_xattr *a);

// n hex digits of bytes, lowercase, then a terminator at text[n].
char *hex_encode(const uint8_t *bytes, char *text, int n);
// ORs n digits into bytes (zeroed by the caller); null at the first
// character that is not 0-9 or a-f.
uint8_t *hex_decode(const char *text, uint8_t *bytes, int n);

// The file flags the human layout names, in increasing bit order; bits
// outside the table have no name.
struct rec_flag_name {
  uint32_t bit;
  const char *name;
};
constexpr rec_flag_name REC_FLAG_NAMES[] = {
    {UF_NODUMP, "nodump"},  {UF_IMMUTABLE, "uchg"},   {UF_APPEND, "append"},
    {UF_OPAQUE, "opaque"},  {UF_NOUNLINK, "uunlink"}, {SF_ARCHIVED, "arch"},
    {SF_IMMUTABLE, "schg"}, {SF_APPEND, "sappend"},   {SF_NOUNLINK, "sunlink"},
};

// The file types of a mode's type bits (mode & 0xF000): the first
// character of the human layout's permission string, and a word.
struct rec_file_type {
  uint16_t fmt;
  char letter;
  const char *word;
};
constexpr rec_file_type REC_FILE_TYPES[] = {
    {0x1000, 'f', "fifo"},      {0x2000, 'c', "chardev"},
    {0x4000, 'd', "directory"}, {0x6000, 'b', "blockdev"},
    {0x8000, '-', "file"},      {0xA000, 'l', "symlink"},
    {0xC000, 's', "socket"},
};
// What every type bits the table lacks show as, 0 among them.
constexpr rec_file_type REC_TYPE_UNKNOWN = {0, '-', "unknown"};

// The entry of REC_FILE_TYPES for mode's type bits, or REC_TYPE_UNKNOWN.
constexpr const rec_file_type *
rec_file_type_of(uint16_t mode)
{
  for (const rec_file_type &t : REC_FILE_TYPES)
    if (t.fmt == (mode & 0xF000))
      return &t;
  return &REC_TYPE_UNKNOWN;
}
