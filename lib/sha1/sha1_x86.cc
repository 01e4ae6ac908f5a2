// sha1_x86.cc: the SHA-1 compression function on the x86 SHA extensions.
// The build takes this file for every x86 processor (sha1_noaccel.cc for
// others); the function carries its own target attribute and is only
// handed out when CPUID reports the extensions.
#include "sha1/sha1.h"

#include <cpuid.h>
#include <immintrin.h>

#define SHA1_TARGET __attribute__((target("sha,sse4.1")))

// One group of four rounds. The message schedule for group g + 1 .. g + 3
// is advanced here as the words it needs become available, so that the
// message and round instructions can overlap. m[g % 4] holds W[4g..4g+3].
template <int G>
SHA1_TARGET __attribute__((always_inline)) static inline void
sha1_group(__m128i &abcd, __m128i &e0, __m128i &e1, __m128i (&m)[4])
{
  constexpr int cur = G % 4;
  __m128i &e = (G % 2 == 0) ? e0 : e1;
  __m128i &other = (G % 2 == 0) ? e1 : e0;
  if constexpr (G == 0)
    e = _mm_add_epi32(e, m[cur]);
  else
    e = _mm_sha1nexte_epu32(e, m[cur]);
  other = abcd;
  if constexpr (G >= 3 && G <= 18)
    m[(G + 1) % 4] = _mm_sha1msg2_epu32(m[(G + 1) % 4], m[cur]);
  abcd = _mm_sha1rnds4_epu32(abcd, e, G / 5);
  if constexpr (G >= 1 && G <= 16)
    m[(G + 3) % 4] = _mm_sha1msg1_epu32(m[(G + 3) % 4], m[cur]);
  if constexpr (G >= 2 && G <= 17)
    m[(G + 2) % 4] = _mm_xor_si128(m[(G + 2) % 4], m[cur]);
}

template <int... G>
SHA1_TARGET __attribute__((always_inline)) static inline void
sha1_groups(__m128i &abcd, __m128i &e0, __m128i &e1, __m128i (&m)[4],
            const uint8_t *p, __m128i swap)
{
  for (int i = 0; i < 4; i++)
    m[i] = _mm_shuffle_epi8(
        _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 16 * i)), swap);
  (sha1_group<G>(abcd, e0, e1, m), ...);
}

SHA1_TARGET static void
sha1_blocks_shani(uint32_t state[5], const uint8_t *p, size_t n)
{
  // Message words are big-endian; the lanes hold them in reverse order.
  const __m128i swap =
      _mm_set_epi64x(0x0001020304050607LL, 0x08090a0b0c0d0e0fLL);
  __m128i abcd = _mm_loadu_si128(reinterpret_cast<const __m128i *>(state));
  abcd = _mm_shuffle_epi32(abcd, 0x1b);
  __m128i e0 = _mm_set_epi32(int(state[4]), 0, 0, 0);
  __m128i e1 = _mm_setzero_si128();
  __m128i m[4];
  for (; n > 0; n--, p += 64) {
    __m128i abcd_save = abcd;
    __m128i e_save = e0;
    sha1_groups<0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17,
                18, 19>(abcd, e0, e1, m, p, swap);
    e0 = _mm_sha1nexte_epu32(e0, e_save);
    abcd = _mm_add_epi32(abcd, abcd_save);
  }
  abcd = _mm_shuffle_epi32(abcd, 0x1b);
  _mm_storeu_si128(reinterpret_cast<__m128i *>(state), abcd);
  state[4] = uint32_t(_mm_extract_epi32(e0, 3));
}

sha1_blocks_fn
sha1_blocks_accel()
{
  unsigned a, b, c, d;
  if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & bit_SSE4_1) ||
      !(c & bit_SSSE3))
    return nullptr;
  if (__get_cpuid_max(0, nullptr) < 7)
    return nullptr;
  __cpuid_count(7, 0, a, b, c, d);
  if (!(b & bit_SHA))
    return nullptr;
  return sha1_blocks_shani;
}
