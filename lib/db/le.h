// le.h: little-endian integers in stored records and frame heads, whatever
// the host's byte order.
#pragma once
#include <cstdint>

inline void
le_put16(uint8_t *p, uint16_t v)
{
  for (int i = 0; i < 2; i++)
    p[i] = uint8_t(v >> 8 * i);
}
inline void
le_put32(uint8_t *p, uint32_t v)
{
  for (int i = 0; i < 4; i++)
    p[i] = uint8_t(v >> 8 * i);
}
inline void
le_put64(uint8_t *p, uint64_t v)
{
  for (int i = 0; i < 8; i++)
    p[i] = uint8_t(v >> 8 * i);
}

inline uint16_t
le_get16(const uint8_t *p)
{
  return uint16_t(p[0] | p[1] << 8);
}

inline uint32_t
le_get32(const uint8_t *p)
{
  uint32_t v = 0;
  for (int i = 3; i >= 0; i--)
    v = v << 8 | p[i];
  return v;
}

inline uint64_t
le_get64(const uint8_t *p)
{
  uint64_t v = 0;
  for (int i = 7; i >= 0; i--)
    v = v << 8 | p[i];
  return v;
}
