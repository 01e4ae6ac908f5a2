// print.h: the three printed layouts of a record, mask letters and hex text.
// Printers write to standard output; they allocate nothing.
#pragma once
#include <cstdint>

#include "db/db.h"

// recs holds one record, or two (older, newer) when kind is 2. sel is the
// selection mask: which attributes to print. The header's mask text always
// shows what the first record carries, whatever is selected. A ctime that
// localtime_r cannot convert prints as "(time out of range)".
void rec_print_plain(uint32_t kind, const db_rec *recs, const char *path,
                     uint32_t sel);
void rec_print_long(uint32_t kind, const db_rec *recs, const char *path,
                    uint32_t sel);
void rec_print_human(uint32_t kind, const db_rec *recs, const char *path,
                     uint32_t sel);

// The mask text of mask: per attribute, in the order of DB_ATTRS, its
// letter when mask has its bit, else '-'. Not terminated.
void mask_text(uint32_t mask, char out[DB_NATTRS]);

// Mask letters of the command lines: i m l u g t s f c add, C and F replace
// the whole mask, anything else is ignored.
void mask_parse(const char *text, uint32_t *mask);

// n hex digits of bytes, lowercase, then a terminator at text[n].
char *hex_encode(const uint8_t *bytes, char *text, int n);
// ORs n digits into bytes (zeroed by the caller); null at the first
// character that is not 0-9 or a-f.
uint8_t *hex_decode(const char *text, uint8_t *bytes, int n);
