// text.h: what every printer of the suite says of a path alike: its
// printed form (esc.h), that form as a JSON string, and the word of a
// change. kavjson's lines, kavexplain's and kavcollect's reports and
// kavaccept's log line all write through these, so that a path reads the
// same in each.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "db/db.h"

// The most text_json_path writes for a path of n bytes: every byte
// escaped to "\\ooo" and the two quotes.
constexpr size_t
text_json_bound(size_t n)
{
  return 5 * n + 2;
}

// The printed form of path (the escaped one that is always valid UTF-8)
// as a JSON string, quotes included, at p: at most text_json_bound(
// strlen(path)) bytes. Returns the end of what it wrote.
char *text_json_path(char *p, const char *path);
// The same for the n bytes at s, zero bytes included.
char *text_json_bytes(char *p, const char *s, size_t n);

// The same for any text, of any length, zero bytes included.
std::string text_json(std::string_view s);

// The printed form of s (esc_bytes): one line, read back without doubt.
std::string text_esc(std::string_view s);

// The "change" word of a frame kind ("snapshot", "changed", "new",
// "deleted"), or null for a kind no writer of the suite stores.
const char *text_change_word(uint8_t kind);
