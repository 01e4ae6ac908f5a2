// text.cc: the mask letters and hexadecimal text of print.h, which the
// printers and the drivers share.
#include "db/print.h"

size_t
mask_text(uint32_t mask, char out[DB_NATTRS])
{
  size_t len = (mask & DB_EXT_ATTRS) != 0 ? DB_NATTRS : DB_NBASE;
  for (size_t i = 0; i < len; i++)
    out[i] = (mask & DB_ATTRS[i].bit) ? DB_ATTRS[i].letter : '-';
  return len;
}

void
mask_parse(const char *text, uint32_t *mask)
{
  uint32_t m = 0;
  for (const char *p = text; *p != '\0'; p++) {
    uint32_t set = db_attr_find(DB_ATTR_SETS, *p);
    if (set != 0)
      m = set;
    else
      m |= db_attr_find(DB_ATTRS, *p);
  }
  *mask = m;
}

char *
hex_encode(const uint8_t *bytes, char *text, int n)
{
  static const char digits[] = "0123456789abcdef";
  if (n < 0)
    n = 0;
  // Two digits per byte, then the high digit alone when n is odd.
  int i = 0;
  for (; i + 1 < n; i += 2) {
    uint8_t b = bytes[i / 2];
    text[i] = digits[b >> 4];
    text[i + 1] = digits[b & 15];
  }
  if (i < n)
    text[i] = digits[bytes[i / 2] >> 4];
  text[n] = '\0';
  return text;
}

uint8_t *
hex_decode(const char *text, uint8_t *bytes, int n)
{
  for (int i = 0; i < n; i++) {
    char c = text[i];
    int v;
    if (c >= '0' && c <= '9')
      v = c - '0';
    else if (c >= 'a' && c <= 'f')
      v = c - 'a' + 10;
    else
      return nullptr;
    bytes[i / 2] |= uint8_t(i % 2 == 0 ? v << 4 : v);
  }
  return bytes;
}
