// sha1_x86.cc: the SHA-1 compression function on the x86 SHA extensions.
// The build takes this file for every x86 processor (sha1_noaccel.cc for
// others); each function carries its own target attribute and is only
// handed out when CPUID reports what it needs.
#include "sha1/sha1.h"

#include <cpuid.h>
#include <immintrin.h>

#include "sha1/sha_x86.h"

namespace {

#define SHA1_TARGET __attribute__((target("sha,sse4.1")))
#define SHA1_TARGET_512 \
  __attribute__((target("sha,sse4.1,avx,avx512f,avx512vl")))
#define SHA1_INLINE __attribute__((always_inline)) inline

// Each vector holds the four message words of one group of four rounds,
// the first word in the top lane, as the round instruction takes them.
// Message words are big-endian.
#define SHA1_SWAP _mm_set_epi64x(0x0001020304050607LL, 0x08090a0b0c0d0e0fLL)

// One group of four rounds in sha1_blocks_shani. The message schedule for
// group g + 1 .. g + 3 is advanced here as the words it needs become
// available, so that the message and round instructions can overlap.
// m[g % 4] holds W[4g..4g+3].
template <int G>
SHA1_TARGET SHA1_INLINE void
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
SHA1_TARGET SHA1_INLINE void
sha1_groups(__m128i &abcd, __m128i &e0, __m128i &e1, __m128i (&m)[4],
            const uint8_t *p, __m128i swap)
{
  for (int i = 0; i < 4; i++)
    m[i] = _mm_shuffle_epi8(
        _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 16 * i)), swap);
  (sha1_group<G>(abcd, e0, e1, m), ...);
}

// The extensions alone: the message schedule on their own instructions.
SHA1_TARGET void
sha1_blocks_shani(uint32_t state[5], const uint8_t *p, size_t n)
{
  const __m128i swap = SHA1_SWAP;
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

// Two independent streams, a block of each at a time. Within one stream
// every group of rounds waits for the one before it, which leaves the
// round unit idle for most of its latency; the other stream's group of
// the same number fills that time. Each lane runs the groups of the
// single-stream code unchanged.
struct sha1_lane {
  __m128i abcd, e0, e1;
  __m128i m[4];
};

SHA1_TARGET SHA1_INLINE void
sha1_lane_load(sha1_lane &l, const uint32_t state[5])
{
  l.abcd = _mm_shuffle_epi32(
      _mm_loadu_si128(reinterpret_cast<const __m128i *>(state)), 0x1b);
  l.e0 = _mm_set_epi32(int(state[4]), 0, 0, 0);
  l.e1 = _mm_setzero_si128();
}

SHA1_TARGET SHA1_INLINE void
sha1_lane_store(const sha1_lane &l, uint32_t state[5])
{
  _mm_storeu_si128(reinterpret_cast<__m128i *>(state),
                   _mm_shuffle_epi32(l.abcd, 0x1b));
  state[4] = uint32_t(_mm_extract_epi32(l.e0, 3));
}

// Four message words from p, in the order the round instruction takes.
SHA1_TARGET SHA1_INLINE __m128i
sha1_load(const uint8_t *p, __m128i swap)
{
  return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)),
                          swap);
}

template <int... G>
SHA1_TARGET SHA1_INLINE void
sha1_groups2(sha1_lane &a, sha1_lane &b, const uint8_t *pa, const uint8_t *pb,
             __m128i swap)
{
  // Spelled out: a loop left rolled at -O2 sends the words through memory.
  a.m[0] = sha1_load(pa, swap);
  b.m[0] = sha1_load(pb, swap);
  a.m[1] = sha1_load(pa + 16, swap);
  b.m[1] = sha1_load(pb + 16, swap);
  a.m[2] = sha1_load(pa + 32, swap);
  b.m[2] = sha1_load(pb + 32, swap);
  a.m[3] = sha1_load(pa + 48, swap);
  b.m[3] = sha1_load(pb + 48, swap);
  ((sha1_group<G>(a.abcd, a.e0, a.e1, a.m),
    sha1_group<G>(b.abcd, b.e0, b.e1, b.m)),
   ...);
}

SHA1_TARGET void
sha1_blocks2_shani(uint32_t state0[5], const uint8_t *p0, uint32_t state1[5],
                   const uint8_t *p1, size_t n)
{
  const __m128i swap = SHA1_SWAP;
  sha1_lane a, b;
  sha1_lane_load(a, state0);
  sha1_lane_load(b, state1);
  for (; n > 0; n--, p0 += 64, p1 += 64) {
    __m128i abcd_a = a.abcd, e_a = a.e0;
    __m128i abcd_b = b.abcd, e_b = b.e0;
    sha1_groups2<0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17,
                 18, 19>(a, b, p0, p1, swap);
    a.e0 = _mm_sha1nexte_epu32(a.e0, e_a);
    a.abcd = _mm_add_epi32(a.abcd, abcd_a);
    b.e0 = _mm_sha1nexte_epu32(b.e0, e_b);
    b.abcd = _mm_add_epi32(b.abcd, abcd_b);
  }
  sha1_lane_store(a, state0);
  sha1_lane_store(b, state1);
}

// With AVX-512 the round instruction is left alone on the unit that runs
// it. Where that unit is not pipelined, the schedule and E instructions
// of the extensions wait their turn on it between rounds and make a block
// take about a third longer than its 20 rounds; three-way exclusive ors
// and rotates do the same work on the other units. The schedule does not
// depend on the state, so the next block's is worked out between this
// block's rounds.

// W[4k .. 4k+3] into w[k], from the words before it; k = 0 .. 3 come from
// the block itself.
template <int K>
SHA1_TARGET_512 SHA1_INLINE void
sha1_w512(__m128i (&w)[20], const uint8_t *p, __m128i swap)
{
  if constexpr (K < 4) {
    w[K] = _mm_shuffle_epi8(
        _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 16 * K)), swap);
  } else if constexpr (K < 8) {
    // W[t] = rol1(W[t-3] ^ W[t-8] ^ W[t-14] ^ W[t-16]): the group's last
    // word needs its first, computed in the same vector, so it is left out
    // and folded in after the rotate, which distributes over the xor.
    __m128i t =
        _mm_xor_si128(_mm_ternarylogic_epi32(_mm_slli_si128(w[K - 1], 4),
                                             w[K - 2], w[K - 4], 0x96),
                      _mm_alignr_epi8(w[K - 4], w[K - 3], 8));
    t = _mm_rol_epi32(t, 1);
    w[K] = _mm_xor_si128(t, _mm_rol_epi32(_mm_srli_si128(t, 12), 1));
  } else {
    // The recurrence applied to itself: for t >= 32,
    // W[t] = rol2(W[t-6] ^ W[t-16] ^ W[t-28] ^ W[t-32]), no word of its
    // own group needed.
    __m128i t = _mm_xor_si128(_mm_ternarylogic_epi32(w[K - 4], w[K - 7],
                                                     w[K - 8], 0x96),
                              _mm_alignr_epi8(w[K - 2], w[K - 1], 8));
    w[K] = _mm_rol_epi32(t, 2);
  }
}

template <int... K>
SHA1_TARGET_512 SHA1_INLINE void
sha1_schedule512(__m128i (&w)[20], const uint8_t *p, __m128i swap)
{
  (sha1_w512<K>(w, p, swap), ...);
}

// E four rounds on, rol30 of A now, added to the group's first word.
SHA1_TARGET_512 SHA1_INLINE __m128i
sha1_e512(__m128i abcd, __m128i w)
{
  return _mm_mask_add_epi32(w, 0x8, w, _mm_ror_epi32(abcd, 2));
}

// Group G of this block from w, and step G of the next block's schedule
// into next.
template <int G>
SHA1_TARGET_512 SHA1_INLINE void
sha1_group512(__m128i &abcd, __m128i &e0, __m128i &e1, const __m128i (&w)[20],
              __m128i (&next)[20], const uint8_t *np, __m128i swap)
{
  __m128i &e = (G % 2 == 0) ? e0 : e1;
  __m128i &other = (G % 2 == 0) ? e1 : e0;
  e = G == 0 ? _mm_add_epi32(e, w[0]) : sha1_e512(e, w[G]);
  other = abcd;
  abcd = _mm_sha1rnds4_epu32(abcd, e, G / 5);
  sha1_w512<G>(next, np, swap);
}

template <int... G>
SHA1_TARGET_512 SHA1_INLINE void
sha1_block512(__m128i &abcd, __m128i &e0, __m128i &e1, const __m128i (&w)[20],
              __m128i (&next)[20], const uint8_t *np, __m128i swap)
{
  (sha1_group512<G>(abcd, e0, e1, w, next, np, swap), ...);
}

SHA1_TARGET_512 void
sha1_blocks_avx512(uint32_t state[5], const uint8_t *p, size_t n)
{
  if (n == 0)
    return;
  // Legacy SSE instructions after AVX ones wait on the upper halves of
  // the registers unless they are known to be zero.
  _mm256_zeroupper();
  const __m128i swap = SHA1_SWAP;
  __m128i abcd = _mm_loadu_si128(reinterpret_cast<const __m128i *>(state));
  abcd = _mm_shuffle_epi32(abcd, 0x1b);
  __m128i e0 = _mm_set_epi32(int(state[4]), 0, 0, 0);
  __m128i e1 = _mm_setzero_si128();
  __m128i w[20], next[20];
  sha1_schedule512<0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17,
                   18, 19>(w, p, swap);
  for (; n > 0; n--, p += 64) {
    // The last block works out a schedule again for nothing, to stay in
    // the buffer.
    const uint8_t *np = n > 1 ? p + 64 : p;
    __m128i abcd_save = abcd;
    __m128i e_save = e0;
    sha1_block512<0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17,
                  18, 19>(abcd, e0, e1, w, next, np, swap);
    e0 = sha1_e512(e0, e_save);
    abcd = _mm_add_epi32(abcd, abcd_save);
    for (int i = 0; i < 20; i++)
      w[i] = next[i];
  }
  abcd = _mm_shuffle_epi32(abcd, 0x1b);
  _mm_storeu_si128(reinterpret_cast<__m128i *>(state), abcd);
  state[4] = uint32_t(_mm_extract_epi32(e0, 3));
}

// Whether the system saves the AVX-512 registers (and so lets a program
// use them): XCR0 has the SSE, AVX, mask and both upper ZMM states.
bool
system_keeps_avx512()
{
  unsigned a, b, c, d;
  if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & bit_OSXSAVE))
    return false;
  unsigned lo, hi;
  __asm__("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
  return (lo & 0xe6) == 0xe6;
}

// Whether the AVX-512 variant pays for its extra instructions: it was
// timed faster than the extensions alone on an Intel Xeon, and 7% slower
// on an AMD Zen 5, whose round instruction does not hold up the others.
bool
round_unit_waits()
{
  unsigned a, b, c, d;
  if (!__get_cpuid(0, &a, &b, &c, &d))
    return false;
  // "GenuineIntel" in EBX, EDX, ECX.
  return b == 0x756e6547 && d == 0x49656e69 && c == 0x6c65746e;
}

}  // namespace

sha1_blocks2_fn
sha1_blocks2_accel()
{
  return sha_x86_has_sha() ? sha1_blocks2_shani : nullptr;
}

int
sha1_accels(sha1_blocks_fn fns[SHA1_ACCELS_MAX])
{
  if (!sha_x86_has_sha())
    return 0;
  unsigned a, b, c, d;
  __cpuid_count(7, 0, a, b, c, d);
  bool avx512 = (b & bit_AVX512F) && (b & bit_AVX512VL) &&
                system_keeps_avx512();
  // The library's was as fast as the fastest of ours on a Zen 5 and
  // faster than any on a Xeon.
  int n = 0;
  fns[n++] = sha1_blocks_system;
  if (avx512 && round_unit_waits())
    fns[n++] = sha1_blocks_avx512;
  fns[n++] = sha1_blocks_shani;
  if (avx512 && !round_unit_waits())
    fns[n++] = sha1_blocks_avx512;
  return n;
}
