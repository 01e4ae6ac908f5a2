// sha256.cc: SHA-256 by OpenSSL's EVP interface, and lanes of this
// module's own (FIPS 180-4) over the fastest block function the processor
// offers.
#include "sha256/sha256.h"

// The library's block function is reached through its one-context
// interface, which it keeps but marks as superseded by the generic one;
// that one hides the chaining value.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/evp.h>
#include <openssl/sha.h>

#include <cerrno>
#include <cstring>

#include "sha256/sha256_k.h"

namespace {

EVP_MD_CTX *
md(sha256_ctx *ctx)
{
  return static_cast<EVP_MD_CTX *>(ctx->md);
}

}  // namespace

int
sha256_init(sha256_ctx *ctx)
{
  EVP_MD_CTX *m = EVP_MD_CTX_new();
  if (m == nullptr || EVP_DigestInit_ex(m, EVP_sha256(), nullptr) != 1) {
    EVP_MD_CTX_free(m);
    ctx->md = nullptr;
    errno = ENOMEM;
    return -1;
  }
  ctx->md = m;
  return 0;
}

void
sha256_update(sha256_ctx *ctx, const void *data, size_t n)
{
  // Cannot fail for a context that was made: the digest is in memory.
  EVP_DigestUpdate(md(ctx), data, n);
}

void
sha256_final(sha256_ctx *ctx, uint8_t out[SHA256_LEN])
{
  EVP_DigestFinal_ex(md(ctx), out, nullptr);
  sha256_free(ctx);
}

void
sha256_free(sha256_ctx *ctx)
{
  EVP_MD_CTX_free(md(ctx));
  ctx->md = nullptr;
}

uint8_t *
sha256_buf(const void *data, size_t n, uint8_t out[SHA256_LEN])
{
  // The one-shot call needs no context of ours.
  if (EVP_Digest(data, n, out, nullptr, EVP_sha256(), nullptr) != 1) {
    errno = ENOMEM;
    return nullptr;
  }
  return out;
}

namespace {

constexpr uint32_t sha256_h0[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372,
                                   0xa54ff53a, 0x510e527f, 0x9b05688c,
                                   0x1f83d9ab, 0x5be0cd19};

// 0x80 and zeros: the padding is always a prefix of this.
constexpr uint8_t sha256_pad[64] = {0x80};

inline uint32_t
ror(uint32_t x, int n)
{
  return x >> n | x << (32 - n);
}

inline uint32_t
get_be32(const uint8_t *p)
{
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 |
         uint32_t(p[3]);
}

// One stream after the other on the block function in use.
void sha256_blocks2_twice(uint32_t s0[8], const uint8_t *d0, uint32_t s1[8],
                          const uint8_t *d1, size_t n);

// One stream, the library's block function and this module's on the SHA
// extensions were timed the same to 1% (bench/sha256x2.sh, AMD EPYC with
// the extensions); the library's is kept, as it also picks its own best
// code where the processor has none.
constexpr sha256_blocks_fn sha256_blocks = sha256_blocks_system;

sha256_blocks2_fn
sha256_pick2()
{
  sha256_blocks2_fn fn = sha256_blocks2_accel();
  return fn != nullptr ? fn : sha256_blocks2_twice;
}

sha256_blocks2_fn sha256_blocks2 = sha256_pick2();

void
sha256_blocks2_twice(uint32_t s0[8], const uint8_t *d0, uint32_t s1[8],
                     const uint8_t *d1, size_t n)
{
  sha256_blocks(s0, d0, n);
  sha256_blocks(s1, d1, n);
}

// Bytes of p into c's partial block until it is full or p runs out; the
// block is hashed once full. What was taken.
size_t
lane_top_up(sha256_lane *c, const uint8_t *p, size_t n)
{
  size_t take = 64 - c->fill;
  if (take > n)
    take = n;
  memcpy(c->block + c->fill, p, take);
  c->fill += uint32_t(take);
  c->count += take;
  if (c->fill == 64) {
    sha256_blocks(c->state, c->block, 1);
    c->fill = 0;
  }
  return take;
}

}  // namespace

void
sha256_blocks_portable(uint32_t state[8], const uint8_t *p, size_t n)
{
  for (; n > 0; n--, p += 64) {
    uint32_t w[64];
    for (int t = 0; t < 16; t++)
      w[t] = get_be32(p + 4 * t);
    for (int t = 16; t < 64; t++) {
      uint32_t s0 = ror(w[t - 15], 7) ^ ror(w[t - 15], 18) ^ w[t - 15] >> 3;
      uint32_t s1 = ror(w[t - 2], 17) ^ ror(w[t - 2], 19) ^ w[t - 2] >> 10;
      w[t] = w[t - 16] + s0 + w[t - 7] + s1;
    }
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    for (int t = 0; t < 64; t++) {
      uint32_t t1 = h + (ror(e, 6) ^ ror(e, 11) ^ ror(e, 25)) +
                    ((e & f) ^ (~e & g)) + SHA256_K[t] + w[t];
      uint32_t t2 = (ror(a, 2) ^ ror(a, 13) ^ ror(a, 22)) +
                    ((a & b) ^ (a & c) ^ (b & c));
      h = g;
      g = f;
      f = e;
      e = d + t1;
      d = c;
      c = b;
      b = a;
      a = t1 + t2;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
  }
}

void
sha256_blocks_system(uint32_t state[8], const uint8_t *p, size_t n)
{
  // With no partial block waiting, the library hands whole blocks straight
  // to its block function; the bit count it keeps is not used.
  SHA256_CTX c;
  memset(&c, 0, sizeof c);
  memcpy(c.h, state, sizeof c.h);
  SHA256_Update(&c, p, n * 64);
  memcpy(state, c.h, sizeof c.h);
}

int
sha256_lane_select(int accel)
{
  sha256_blocks2_fn fn2 = accel ? sha256_blocks2_accel() : nullptr;
  sha256_blocks2 = fn2 != nullptr ? fn2 : sha256_blocks2_twice;
  return fn2 != nullptr;
}

void
sha256_lane_init(sha256_lane *c)
{
  c->count = 0;
  memcpy(c->state, sha256_h0, sizeof c->state);
  c->fill = 0;
}

void
sha256_lane_update(sha256_lane *c, const void *data, size_t n)
{
  if (n == 0)
    return;
  const uint8_t *p = static_cast<const uint8_t *>(data);
  if (c->fill > 0) {
    size_t took = lane_top_up(c, p, n);
    p += took;
    n -= took;
  }
  if (n >= 64) {
    size_t blocks = n / 64;
    sha256_blocks(c->state, p, blocks);
    c->count += blocks * 64;
    p += blocks * 64;
    n -= blocks * 64;
  }
  if (n > 0)
    lane_top_up(c, p, n);
}

void
sha256_lane_update2(sha256_lane *c0, const void *data0, sha256_lane *c1,
                    const void *data1, size_t n)
{
  if (n == 0)
    return;
  const uint8_t *p0 = static_cast<const uint8_t *>(data0);
  const uint8_t *p1 = static_cast<const uint8_t *>(data1);
  // Each lane's partial block is completed on its own; then both are at a
  // block boundary, or have nothing left.
  size_t n0 = n, n1 = n;
  if (c0->fill > 0) {
    size_t took = lane_top_up(c0, p0, n0);
    p0 += took;
    n0 -= took;
  }
  if (c1->fill > 0) {
    size_t took = lane_top_up(c1, p1, n1);
    p1 += took;
    n1 -= took;
  }
  size_t blocks = (n0 < n1 ? n0 : n1) / 64;
  if (blocks > 0) {
    sha256_blocks2(c0->state, p0, c1->state, p1, blocks);
    c0->count += blocks * 64;
    c1->count += blocks * 64;
    p0 += blocks * 64;
    p1 += blocks * 64;
    n0 -= blocks * 64;
    n1 -= blocks * 64;
  }
  // What is left: under a block, or, where the lanes had different
  // amounts waiting, up to a block more for one of them.
  sha256_lane_update(c0, p0, n0);
  sha256_lane_update(c1, p1, n1);
}

void
sha256_lane_final(sha256_lane *c, uint8_t out[SHA256_LEN])
{
  uint64_t bits = c->count * 8;
  uint8_t len[8];
  for (int i = 0; i < 8; i++)
    len[i] = uint8_t(bits >> (56 - 8 * i));
  sha256_lane_update(c, sha256_pad,
                     c->fill < 56 ? 56 - c->fill : 120 - c->fill);
  sha256_lane_update(c, len, 8);
  for (int i = 0; i < 8; i++) {
    out[4 * i] = uint8_t(c->state[i] >> 24);
    out[4 * i + 1] = uint8_t(c->state[i] >> 16);
    out[4 * i + 2] = uint8_t(c->state[i] >> 8);
    out[4 * i + 3] = uint8_t(c->state[i]);
  }
}
