// sha256_x86.cc: the SHA-256 compression function on the x86 SHA
// extensions, for one stream and for two interleaved. The build takes this
// file for every x86 processor (sha256_noaccel.cc for others); each
// function carries its own target attribute and is only handed out when
// CPUID reports what it needs.
#include <immintrin.h>

#include "sha1/sha_x86.h"
#include "sha256/sha256.h"
#include "sha256/sha256_k.h"

namespace {

#define SHA256_TARGET __attribute__((target("sha,sse4.1")))
#define SHA256_INLINE __attribute__((always_inline)) inline

// Message words are big-endian; each vector holds four of them, the first
// in the lowest lane, as the round and schedule instructions take them.
#define SHA256_SWAP _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL)

// The round instruction keeps the eight working variables in two vectors,
// A B E F and C D G H, the first of each in the top lane; the state is
// A .. H from the lowest lane up.
struct sha256_vstate {
  __m128i abef, cdgh;
};

SHA256_TARGET SHA256_INLINE sha256_vstate
sha256_vload(const uint32_t state[8])
{
  __m128i abcd = _mm_loadu_si128(reinterpret_cast<const __m128i *>(state));
  __m128i efgh = _mm_loadu_si128(reinterpret_cast<const __m128i *>(state + 4));
  __m128i badc = _mm_shuffle_epi32(abcd, 0xb1);
  __m128i hgfe = _mm_shuffle_epi32(efgh, 0x1b);
  // F E from the top of hgfe under B A; H G under D C.
  return {_mm_alignr_epi8(badc, hgfe, 8), _mm_blend_epi16(hgfe, badc, 0xf0)};
}

SHA256_TARGET SHA256_INLINE void
sha256_vstore(const sha256_vstate &v, uint32_t state[8])
{
  __m128i abef = _mm_shuffle_epi32(v.abef, 0x1b);  // lanes A B E F
  __m128i ghcd = _mm_shuffle_epi32(v.cdgh, 0xb1);  // lanes G H C D
  _mm_storeu_si128(reinterpret_cast<__m128i *>(state),
                   _mm_blend_epi16(abef, ghcd, 0xf0));
  _mm_storeu_si128(reinterpret_cast<__m128i *>(state + 4),
                   _mm_alignr_epi8(ghcd, abef, 8));
}

// Rounds 4G .. 4G+3, with m[G % 4] holding W[4G .. 4G+3]. The schedule is
// advanced as its inputs appear, so that it runs beside the rounds instead
// of before them: here W of group G + 1 is finished, and the first half
// of group G + 3's begun, each in the slot of a group no longer needed.
template <int G>
SHA256_TARGET SHA256_INLINE void
sha256_group(sha256_vstate &v, __m128i (&m)[4])
{
  __m128i wk = _mm_add_epi32(
      m[G % 4],
      _mm_load_si128(reinterpret_cast<const __m128i *>(SHA256_K) + G));
  // Two rounds leave the old A B E F as the new C D G H.
  __m128i abef = _mm_sha256rnds2_epu32(v.cdgh, v.abef, wk);
  if constexpr (G >= 3 && G <= 14) {
    // W[t-16] + s0(W[t-15]) (from msg1), + W[t-7], then + s1(W[t-2]).
    __m128i &next = m[(G + 1) % 4];
    next = _mm_add_epi32(next, _mm_alignr_epi8(m[G % 4], m[(G + 3) % 4], 4));
    next = _mm_sha256msg2_epu32(next, m[G % 4]);
  }
  if constexpr (G >= 1 && G <= 12)
    m[(G + 3) % 4] = _mm_sha256msg1_epu32(m[(G + 3) % 4], m[G % 4]);
  __m128i abef2 =
      _mm_sha256rnds2_epu32(v.abef, abef, _mm_shuffle_epi32(wk, 0x0e));
  v.cdgh = abef;
  v.abef = abef2;
}

SHA256_TARGET SHA256_INLINE __m128i
sha256_load(const uint8_t *p, __m128i swap)
{
  return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)),
                          swap);
}

template <int... G>
SHA256_TARGET SHA256_INLINE void
sha256_groups(sha256_vstate &v, const uint8_t *p, __m128i swap)
{
  __m128i m[4] = {sha256_load(p, swap), sha256_load(p + 16, swap),
                  sha256_load(p + 32, swap), sha256_load(p + 48, swap)};
  (sha256_group<G>(v, m), ...);
}

SHA256_TARGET void
sha256_blocks_shani(uint32_t state[8], const uint8_t *p, size_t n)
{
  const __m128i swap = SHA256_SWAP;
  sha256_vstate v = sha256_vload(state);
  for (; n > 0; n--, p += 64) {
    sha256_vstate save = v;
    sha256_groups<0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15>(v, p,
                                                                        swap);
    v.abef = _mm_add_epi32(v.abef, save.abef);
    v.cdgh = _mm_add_epi32(v.cdgh, save.cdgh);
  }
  sha256_vstore(v, state);
}

// Two independent streams, a block of each at a time. Within one stream
// every pair of rounds waits for the pair before it, which leaves the
// round unit idle for most of its latency; the other stream's group of
// the same number fills that time. Each runs the single-stream groups
// unchanged.
template <int... G>
SHA256_TARGET SHA256_INLINE void
sha256_groups2(sha256_vstate &a, sha256_vstate &b, const uint8_t *pa,
               const uint8_t *pb, __m128i swap)
{
  // Spelled out: a loop left rolled at -O2 sends the words through memory.
  __m128i ma[4], mb[4];
  ma[0] = sha256_load(pa, swap);
  mb[0] = sha256_load(pb, swap);
  ma[1] = sha256_load(pa + 16, swap);
  mb[1] = sha256_load(pb + 16, swap);
  ma[2] = sha256_load(pa + 32, swap);
  mb[2] = sha256_load(pb + 32, swap);
  ma[3] = sha256_load(pa + 48, swap);
  mb[3] = sha256_load(pb + 48, swap);
  ((sha256_group<G>(a, ma), sha256_group<G>(b, mb)), ...);
}

SHA256_TARGET void
sha256_blocks2_shani(uint32_t s0[8], const uint8_t *p0, uint32_t s1[8],
                     const uint8_t *p1, size_t n)
{
  const __m128i swap = SHA256_SWAP;
  sha256_vstate a = sha256_vload(s0);
  sha256_vstate b = sha256_vload(s1);
  for (; n > 0; n--, p0 += 64, p1 += 64) {
    sha256_vstate save_a = a, save_b = b;
    sha256_groups2<0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15>(a, b,
                                                                         p0, p1,
                                                                         swap);
    a.abef = _mm_add_epi32(a.abef, save_a.abef);
    a.cdgh = _mm_add_epi32(a.cdgh, save_a.cdgh);
    b.abef = _mm_add_epi32(b.abef, save_b.abef);
    b.cdgh = _mm_add_epi32(b.cdgh, save_b.cdgh);
  }
  sha256_vstore(a, s0);
  sha256_vstore(b, s1);
}

}  // namespace

sha256_blocks_fn
sha256_blocks_accel()
{
  return sha_x86_has_sha() ? sha256_blocks_shani : nullptr;
}

sha256_blocks2_fn
sha256_blocks2_accel()
{
  return sha_x86_has_sha() ? sha256_blocks2_shani : nullptr;
}
