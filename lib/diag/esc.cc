// esc.cc: escaping of printed names.
#include "diag/esc.h"

#include <cstring>

namespace {

// Writes "\ooo" for c at out.
char *
put_octal(char *out, unsigned char c)
{
  out[0] = '\\';
  out[1] = char('0' + (c >> 6));
  out[2] = char('0' + ((c >> 3) & 7));
  out[3] = char('0' + (c & 7));
  return out + 4;
}

}  // namespace

size_t
esc_bytes(const char *s, size_t n, char *out)
{
  char *o = out;
  size_t i = 0;
  while (i < n) {
    // Runs of plain bytes, the whole name in the usual case, go in one copy.
    size_t j = i;
    while (j < n && !esc_special(static_cast<unsigned char>(s[j])))
      j++;
    memcpy(o, s + i, j - i);
    o += j - i;
    if (j == n)
      break;
    o = put_octal(o, static_cast<unsigned char>(s[j]));
    i = j + 1;
  }
  return size_t(o - out);
}

size_t
esc_utf8_len(const unsigned char *s, size_t n)
{
  unsigned char c = s[0];
  if (c < 0x80)
    return 1;
  // The lead byte gives the length and the range its first continuation
  // byte must lie in; that range is what rules out overlong forms,
  // surrogates and values above U+10FFFF.
  size_t len;
  unsigned char lo = 0x80, hi = 0xbf;
  if (c >= 0xc2 && c <= 0xdf) {
    len = 2;
  } else if (c >= 0xe0 && c <= 0xef) {
    len = 3;
    if (c == 0xe0)
      lo = 0xa0;
    else if (c == 0xed)
      hi = 0x9f;
  } else if (c >= 0xf0 && c <= 0xf4) {
    len = 4;
    if (c == 0xf0)
      lo = 0x90;
    else if (c == 0xf4)
      hi = 0x8f;
  } else {
    return 0;
  }
  if (n < len || s[1] < lo || s[1] > hi)
    return 0;
  for (size_t k = 2; k < len; k++)
    if (s[k] < 0x80 || s[k] > 0xbf)
      return 0;
  return len;
}

size_t
esc_bytes_utf8(const char *s, size_t n, char *out)
{
  const unsigned char *u = reinterpret_cast<const unsigned char *>(s);
  char *o = out;
  size_t i = 0;
  while (i < n) {
    size_t len = esc_utf8_len(u + i, n - i);
    if (len == 0 || (len == 1 && esc_special(u[i]))) {
      o = put_octal(o, u[i]);
      i++;
      continue;
    }
    memcpy(o, s + i, len);
    o += len;
    i += len;
  }
  return size_t(o - out);
}
