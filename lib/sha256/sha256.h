// sha256.h: SHA-256 through the system's crypto library, which may run it
// under a certified provider and picks the processor's fastest code; and
// one of this module's own, whose state is plain data, so that two digests
// can advance together on one core.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr size_t SHA256_LEN = 32;

// One digest in progress; owns the library's context.
struct sha256_ctx {
  void *md;  // the library's digest context
};

// 0, or -1 with ENOMEM when the library cannot make a context; ctx then
// holds nothing to free.
int sha256_init(sha256_ctx *ctx);
void sha256_update(sha256_ctx *ctx, const void *data, size_t n);
// Writes the digest and frees the context.
void sha256_final(sha256_ctx *ctx, uint8_t out[SHA256_LEN]);
// Frees the context of a digest given up.
void sha256_free(sha256_ctx *ctx);

// out, or null with ENOMEM.
uint8_t *sha256_buf(const void *data, size_t n, uint8_t out[SHA256_LEN]);

// One SHA-256 in progress whose state is this module's, so that two of them
// can advance together (sha256_lane_update2). No allocation; nothing to free.
struct sha256_lane {
  uint64_t count;  // message bytes absorbed so far
  uint32_t state[8];
  uint32_t fill;  // bytes waiting in block
  uint8_t block[64];
};

void sha256_lane_init(sha256_lane *c);
// Whole blocks are hashed straight from data; only a partial block is copied.
void sha256_lane_update(sha256_lane *c, const void *data, size_t n);
// Pads and writes the digest; c must be initialised again before reuse.
void sha256_lane_final(sha256_lane *c, uint8_t out[SHA256_LEN]);
// n bytes of data0 into c0 and n bytes of data1 into c1 (the same n for both),
// the whole blocks of the two interleaved on the SHA extensions where the
// processor has them; each lane ends as sha256_lane_update would leave it,
// whatever bytes either had waiting. c0 and c1 are distinct; the data may be
// the same.
void sha256_lane_update2(sha256_lane *c0, const void *data0, sha256_lane *c1,
                         const void *data1, size_t n);
// Whole blocks of one stream go to the faster of the system library's
// block function and this module's on the SHA extensions, as timed (the
// library's: they were level). Chooses how two lanes advance from now on:
// with accel, interleaved where the processor has the extensions; without,
// one stream after the other. Returns 1 when they are interleaved. The
// default is accel.
int sha256_lane_select(int accel);

// The compression function over n consecutive 64-byte blocks.
typedef void (*sha256_blocks_fn)(uint32_t state[8], const uint8_t *data,
                                 size_t n);
// Plain C++, the reference the others are held to.
void sha256_blocks_portable(uint32_t state[8], const uint8_t *data, size_t n);
// The system's crypto library's, with whichever code of its own it picks
// for the processor.
void sha256_blocks_system(uint32_t state[8], const uint8_t *data, size_t n);
// This module's on the processor's SHA extensions, or null when it has none.
sha256_blocks_fn sha256_blocks_accel();

// Two independent streams at once: n 64-byte blocks of data0 into s0 and n
// of data1 into s1, each left as a block function would leave it alone. On
// one core the rounds of one stream fill the time the other's wait for
// their results. The two states are distinct; the data may be the same.
typedef void (*sha256_blocks2_fn)(uint32_t s0[8], const uint8_t *d0,
                                  uint32_t s1[8], const uint8_t *d1, size_t n);
// The two streams interleaved on the SHA extensions, or null when the
// processor has none.
sha256_blocks2_fn sha256_blocks2_accel();
