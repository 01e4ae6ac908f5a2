// esc.h: the one printed form of a path or file name. Every byte from 0x00
// to 0x1F, the byte 0x7F and the backslash become a backslash and exactly
// three octal digits ("\012" for a newline, "\134" for a backslash); every
// other byte is written as it is, so ASCII and UTF-8 names read as they
// always did. A printed name is then always one line, and it turns back into
// the stored bytes without doubt: each backslash starts one escaped byte.
#pragma once
#include <cstddef>

// Bytes written for one byte read, at the most.
constexpr size_t ESC_GROW = 4;

// True when byte c is written escaped.
inline bool
esc_special(unsigned char c)
{
  return c < 0x20 || c == 0x7f || c == '\\';
}

// The escaped form of the n bytes at s, into out, which has room for
// ESC_GROW * n bytes. Returns the number of bytes written; no terminator.
size_t esc_bytes(const char *s, size_t n, char *out);

// The same, and every byte that is not part of a well-formed UTF-8
// sequence (a stray continuation byte, a cut sequence, an overlong form, a
// surrogate, a value above U+10FFFF) is escaped too, so the result is
// always valid UTF-8.
size_t esc_bytes_utf8(const char *s, size_t n, char *out);

// The length of the well-formed UTF-8 sequence that starts the n bytes at
// s (1 to 4), or 0 when they do not start with one. n is at least 1.
size_t esc_utf8_len(const unsigned char *s, size_t n);
