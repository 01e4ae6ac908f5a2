// sha1.cc: SHA-1 (FIPS 180-1) over the fastest block function the processor
// offers, with a portable one to fall back on.
#include "sha1/sha1.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// The block function is reached through the one-context interface, which
// the library keeps but marks as superseded by its generic one; that one
// hides the chaining value.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "port/port.h"

namespace {

constexpr uint32_t sha1_h0[5] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476,
                                 0xc3d2e1f0};

// 0x80 and zeros: the padding is always a prefix of this.
constexpr uint8_t sha1_pad[64] = {0x80};

// Large reads keep the system-call cost per byte small next to the hashing;
// the buffer is the same size for every file, so memory stays constant.
constexpr size_t SHA_READ_LEN = 128 * 1024;

inline uint32_t
rol(uint32_t x, int n)
{
  return x << n | x >> (32 - n);
}

inline uint32_t
get_be32(const uint8_t *p)
{
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 |
         uint32_t(p[3]);
}

sha1_blocks_fn
sha1_pick()
{
  sha1_blocks_fn fn = sha1_blocks_accel();
  return fn != nullptr ? fn : sha1_blocks_portable;
}

sha1_blocks_fn sha1_blocks = sha1_pick();

sha1_blocks2_fn
sha1_pick2()
{
  sha1_blocks2_fn fn = sha1_blocks2_accel();
  return fn != nullptr ? fn : sha1_blocks2_twice;
}

sha1_blocks2_fn sha1_blocks2_in_use = sha1_pick2();

}  // namespace

// The message schedule lives in a 16-word ring; each round of 16..79
// computes its word in place. The round macros rotate the roles of a..e
// instead of moving values, so the whole block stays in registers.
#define SHA1_W(i)                                           \
  (w[(i)&15] = rol(w[((i) + 13) & 15] ^ w[((i) + 8) & 15] ^ \
                       w[((i) + 2) & 15] ^ w[(i)&15],       \
                   1))
#define SHA1_R0(a, b, c, d, e, i)                           \
  e += (d ^ (b & (c ^ d))) + w[i] + 0x5a827999 + rol(a, 5); \
  b = rol(b, 30)
#define SHA1_R1(a, b, c, d, e, i)                                \
  e += (d ^ (b & (c ^ d))) + SHA1_W(i) + 0x5a827999 + rol(a, 5); \
  b = rol(b, 30)
#define SHA1_R2(a, b, c, d, e, i)                        \
  e += (b ^ c ^ d) + SHA1_W(i) + 0x6ed9eba1 + rol(a, 5); \
  b = rol(b, 30)
#define SHA1_R3(a, b, c, d, e, i)                                      \
  e += ((b & c) + (d & (b ^ c))) + SHA1_W(i) + 0x8f1bbcdc + rol(a, 5); \
  b = rol(b, 30)
#define SHA1_R4(a, b, c, d, e, i)                        \
  e += (b ^ c ^ d) + SHA1_W(i) + 0xca62c1d6 + rol(a, 5); \
  b = rol(b, 30)
#define SHA1_5(R, i)         \
  R(a, b, c, d, e, (i));     \
  R(e, a, b, c, d, (i) + 1); \
  R(d, e, a, b, c, (i) + 2); \
  R(c, d, e, a, b, (i) + 3); \
  R(b, c, d, e, a, (i) + 4)

void
sha1_blocks_portable(uint32_t state[5], const uint8_t *p, size_t n)
{
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
  for (; n > 0; n--, p += 64) {
    uint32_t w[16];
    for (int i = 0; i < 16; i++)
      w[i] = get_be32(p + 4 * i);
    SHA1_5(SHA1_R0, 0);
    SHA1_5(SHA1_R0, 5);
    SHA1_5(SHA1_R0, 10);
    SHA1_R0(a, b, c, d, e, 15);
    SHA1_R1(e, a, b, c, d, 16);
    SHA1_R1(d, e, a, b, c, 17);
    SHA1_R1(c, d, e, a, b, 18);
    SHA1_R1(b, c, d, e, a, 19);
    SHA1_5(SHA1_R2, 20);
    SHA1_5(SHA1_R2, 25);
    SHA1_5(SHA1_R2, 30);
    SHA1_5(SHA1_R2, 35);
    SHA1_5(SHA1_R3, 40);
    SHA1_5(SHA1_R3, 45);
    SHA1_5(SHA1_R3, 50);
    SHA1_5(SHA1_R3, 55);
    SHA1_5(SHA1_R4, 60);
    SHA1_5(SHA1_R4, 65);
    SHA1_5(SHA1_R4, 70);
    SHA1_5(SHA1_R4, 75);
    a = state[0] += a;
    b = state[1] += b;
    c = state[2] += c;
    d = state[3] += d;
    e = state[4] += e;
  }
}

#undef SHA1_5
#undef SHA1_R4
#undef SHA1_R3
#undef SHA1_R2
#undef SHA1_R1
#undef SHA1_R0
#undef SHA1_W

void
sha1_blocks_system(uint32_t state[5], const uint8_t *p, size_t n)
{
  // With no partial block waiting, the library hands whole blocks straight
  // to its block function; the bit count it keeps is not used.
  SHA_CTX c;
  c.Nl = 0;
  c.Nh = 0;
  c.num = 0;
  c.h0 = state[0];
  c.h1 = state[1];
  c.h2 = state[2];
  c.h3 = state[3];
  c.h4 = state[4];
  SHA1_Update(&c, p, n * 64);
  state[0] = c.h0;
  state[1] = c.h1;
  state[2] = c.h2;
  state[3] = c.h3;
  state[4] = c.h4;
}

sha1_blocks_fn
sha1_blocks_accel()
{
  sha1_blocks_fn fns[SHA1_ACCELS_MAX];
  return sha1_accels(fns) > 0 ? fns[0] : nullptr;
}

int
sha1_select(int accel)
{
  sha1_blocks_fn fn = accel ? sha1_blocks_accel() : nullptr;
  sha1_blocks = fn != nullptr ? fn : sha1_blocks_portable;
  sha1_blocks2_fn fn2 = fn != nullptr ? sha1_blocks2_accel() : nullptr;
  sha1_blocks2_in_use = fn2 != nullptr ? fn2 : sha1_blocks2_twice;
  return fn != nullptr;
}

void
sha1_blocks2_twice(uint32_t state0[5], const uint8_t *data0, uint32_t state1[5],
                   const uint8_t *data1, size_t n)
{
  sha1_blocks(state0, data0, n);
  sha1_blocks(state1, data1, n);
}

void
sha1_blocks2(uint32_t state0[5], const uint8_t *data0, uint32_t state1[5],
             const uint8_t *data1, size_t n)
{
  sha1_blocks2_in_use(state0, data0, state1, data1, n);
}

void
sha1_init(sha1_ctx *ctx)
{
  ctx->count = 0;
  memcpy(ctx->state, sha1_h0, sizeof ctx->state);
  ctx->fill = 0;
}

void
sha1_transform(sha1_ctx *ctx, const uint8_t block[64])
{
  sha1_blocks(ctx->state, block, 1);
}

void
sha1_update(sha1_ctx *ctx, const void *data, int32_t n)
{
  if (n <= 0)
    return;
  const uint8_t *p = static_cast<const uint8_t *>(data);
  size_t left = size_t(n);
  ctx->count += uint64_t(left) * 8;
  if (ctx->fill > 0) {
    size_t take = 64 - ctx->fill;
    if (take > left)
      take = left;
    memcpy(ctx->block + ctx->fill, p, take);
    ctx->fill += uint32_t(take);
    p += take;
    left -= take;
    if (ctx->fill < 64)
      return;
    sha1_blocks(ctx->state, ctx->block, 1);
    ctx->fill = 0;
  }
  if (left >= 64) {
    sha1_blocks(ctx->state, p, left / 64);
    p += left & ~size_t(63);
    left &= 63;
  }
  memcpy(ctx->block, p, left);
  ctx->fill = uint32_t(left);
}

namespace {

// Takes what completes ctx's waiting partial block, if one waits: the bytes
// of p taken.
size_t
sha1_top_up(sha1_ctx *ctx, const uint8_t *p, size_t n)
{
  if (ctx->fill == 0)
    return 0;
  size_t take = std::min(n, size_t(64 - ctx->fill));
  sha1_update(ctx, p, int32_t(take));
  return take;
}

// sha1_update for sizes past what one call takes.
void
sha1_update_big(sha1_ctx *ctx, const uint8_t *p, size_t n)
{
  constexpr size_t step = size_t(1) << 30;
  for (; n > step; n -= step, p += step)
    sha1_update(ctx, p, int32_t(step));
  sha1_update(ctx, p, int32_t(n));
}

}  // namespace

void
sha1_update2(sha1_ctx *ctx0, const void *data0, sha1_ctx *ctx1,
             const void *data1, size_t n)
{
  const uint8_t *p0 = static_cast<const uint8_t *>(data0);
  const uint8_t *p1 = static_cast<const uint8_t *>(data1);
  // Each context's partial block is completed alone; after that both are
  // on a block boundary and run together as far as both have whole blocks.
  size_t t0 = sha1_top_up(ctx0, p0, n), t1 = sha1_top_up(ctx1, p1, n);
  size_t blocks = std::min((n - t0) / 64, (n - t1) / 64);
  if (blocks > 0 && ctx0->fill == 0 && ctx1->fill == 0) {
    sha1_blocks2(ctx0->state, p0 + t0, ctx1->state, p1 + t1, blocks);
    ctx0->count += uint64_t(blocks) * 512;  // bits
    ctx1->count += uint64_t(blocks) * 512;
    t0 += blocks * 64;
    t1 += blocks * 64;
  }
  sha1_update_big(ctx0, p0 + t0, n - t0);
  sha1_update_big(ctx1, p1 + t1, n - t1);
}

void
sha1_final(sha1_ctx *ctx, uint8_t *out)
{
  uint8_t len[8];
  for (int i = 0; i < 8; i++)
    len[i] = uint8_t(ctx->count >> (56 - 8 * i));
  sha1_update(ctx, sha1_pad,
              int32_t(ctx->fill < 56 ? 56 - ctx->fill : 120 - ctx->fill));
  sha1_update(ctx, len, 8);
  if (out == nullptr)
    return;
  for (int i = 0; i < 5; i++) {
    out[4 * i] = uint8_t(ctx->state[i] >> 24);
    out[4 * i + 1] = uint8_t(ctx->state[i] >> 16);
    out[4 * i + 2] = uint8_t(ctx->state[i] >> 8);
    out[4 * i + 3] = uint8_t(ctx->state[i]);
  }
}

uint8_t *
sha_buf(const void *data, int32_t n, uint8_t out[SHA1_LEN])
{
  sha1_ctx ctx;
  sha1_init(&ctx);
  sha1_update(&ctx, data, n);
  sha1_final(&ctx, out);
  return out;
}

uint8_t *
sha_fd(int fd, uint8_t out[SHA1_LEN])
{
  return sha_fd_cold(fd, out, nullptr);
}

ssize_t
sha_read_next(int fd, uint8_t *buf, size_t len, bool *first, int *cold)
{
  if (*first) {
    *first = false;
    ssize_t got = port_read_nowait(fd, buf, len);
    if (got >= 0 || errno != EAGAIN)
      return got;
    *cold = 1;
  }
  return read(fd, buf, len);
}

int
sha_fd_feed(int fd, sha_feed_fn fn, sha_restart_fn, void *arg, int *cold)
{
  // 64-byte alignment keeps the loads of the block function on one cache
  // line each. Large files are read into it too, not mapped: under a
  // hypervisor that shadows the page tables, each page of a mapping costs
  // about 2 us when it is first touched, some four times what copying it
  // out does.
  alignas(64) uint8_t buf[SHA_READ_LEN];
  ssize_t got;
  bool first = cold != nullptr;
  for (;;) {
    got = sha_read_next(fd, buf, sizeof buf, &first, cold);
    if (got > 0)
      fn(buf, size_t(got), arg);
    else if (got == 0 || errno != EINTR)
      break;
  }
  return got == 0 ? 0 : -1;
}

uint8_t *
sha_fd_cold(int fd, uint8_t out[SHA1_LEN], int *cold)
{
  sha1_ctx ctx;
  sha1_init(&ctx);
  int r = sha_fd_feed(
      fd,
      [](const uint8_t *buf, size_t n, void *c) {
        sha1_update(static_cast<sha1_ctx *>(c), buf, int32_t(n));
      },
      nullptr, &ctx, cold);
  int e = errno;
  sha1_final(&ctx, out);
  errno = e;
  return r == 0 ? out : nullptr;
}

uint8_t *
sha_file(const char *path, uint8_t out[SHA1_LEN])
{
  fd_guard fd(open(path, O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0)
    return nullptr;
  return sha_fd(fd.get(), out);
}
