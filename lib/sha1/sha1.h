// sha1.h: the SHA-1 digest of byte streams, buffers and files.
#pragma once
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

constexpr int SHA1_LEN = 20;

struct sha1_ctx {
  uint64_t count;  // message bits absorbed so far
  uint32_t state[5];
  uint32_t fill;  // bytes waiting in block
  uint8_t block[64];
};

void sha1_init(sha1_ctx *ctx);
// Whole blocks are hashed straight from data; only a partial block is copied.
void sha1_update(sha1_ctx *ctx, const void *data, int32_t n);
// Pads and writes the digest to out unless out is null.
void sha1_final(sha1_ctx *ctx, uint8_t *out);
void sha1_transform(sha1_ctx *ctx, const uint8_t block[64]);
// n bytes of data0 into ctx0 and n bytes of data1 into ctx1, as two
// sha1_update calls would, the whole blocks the two have in common hashed
// as two interleaved streams (sha1_blocks2). The contexts are distinct.
void sha1_update2(sha1_ctx *ctx0, const void *data0, sha1_ctx *ctx1,
                  const void *data1, size_t n);

// out, or null when path cannot be opened or read (errno set; after a read
// error out holds the digest of the bytes read before it). Follows links.
uint8_t *sha_file(const char *path, uint8_t out[SHA1_LEN]);
// The same for an open descriptor, read from its current offset to the end;
// fd is left open.
uint8_t *sha_fd(int fd, uint8_t out[SHA1_LEN]);
// sha_fd, and *cold set to 1 when the first bytes were not yet in the page
// cache and had to come from the disk (left 0 where the host cannot tell).
uint8_t *sha_fd_cold(int fd, uint8_t out[SHA1_LEN], int *cold);
// Reads fd from its current offset to the end, handing each buffer read to
// fn, which may hash it more than one way; *cold as for sha_fd_cold. 0, or
// -1 with errno from the read that failed. Every byte is read with read(2),
// so a file that shrinks meanwhile only ends sooner and nothing fn was
// handed is to be forgotten: restart, which would start a reading over, is
// not called and may be null.
typedef void (*sha_feed_fn)(const uint8_t *buf, size_t n, void *arg);
typedef int (*sha_restart_fn)(void *arg);  // 0, or -1 with errno
int sha_fd_feed(int fd, sha_feed_fn fn, sha_restart_fn restart, void *arg,
                int *cold);
// One read of fd into buf for a digest. While *first (set it when cold is
// not null), the read asks the page cache alone, which costs nothing when
// the file is there, and sets *cold when it is not, reading then as
// read(2) does. What read(2) returns, errno with it.
ssize_t sha_read_next(int fd, uint8_t *buf, size_t len, bool *first, int *cold);
uint8_t *sha_buf(const void *data, int32_t n, uint8_t out[SHA1_LEN]);

// The compression function over n consecutive 64-byte blocks.
typedef void (*sha1_blocks_fn)(uint32_t state[5], const uint8_t *data,
                               size_t n);
void sha1_blocks_portable(uint32_t state[5], const uint8_t *data, size_t n);
// The system's crypto library's, with whichever code of its own it picks
// for the processor.
void sha1_blocks_system(uint32_t state[5], const uint8_t *data, size_t n);
// The fastest on the processor's SHA extensions, or null when it has none.
sha1_blocks_fn sha1_blocks_accel();
// Every block function on the SHA extensions that the processor can run,
// fastest first, into fns; their number. The system library's comes
// first, then this module's own. Each is held to the same digests.
constexpr int SHA1_ACCELS_MAX = 3;
int sha1_accels(sha1_blocks_fn fns[SHA1_ACCELS_MAX]);
// Chooses the block function used from now on: the accelerated one when
// accel is set and the processor has it, else the portable one. Returns
// 1 when the accelerated one is in use. The default is the fastest.
int sha1_select(int accel);

// Two independent streams at once: n 64-byte blocks of data0 into state0
// and n of data1 into state1, each left as the block function would leave
// it alone. On one core the rounds of one stream fill the time the other's
// wait for their results. The two states are distinct; the data may be the
// same.
typedef void (*sha1_blocks2_fn)(uint32_t state0[5], const uint8_t *data0,
                                uint32_t state1[5], const uint8_t *data1,
                                size_t n);
// The block function in use on one stream, then on the other.
void sha1_blocks2_twice(uint32_t state0[5], const uint8_t *data0,
                        uint32_t state1[5], const uint8_t *data1, size_t n);
// The two streams interleaved on the SHA extensions, or null when the
// processor has none.
sha1_blocks2_fn sha1_blocks2_accel();
// The interleaved function while sha1_select has an accelerated block
// function in use and the processor has it, else sha1_blocks2_twice.
void sha1_blocks2(uint32_t state0[5], const uint8_t *data0, uint32_t state1[5],
                  const uint8_t *data1, size_t n);
