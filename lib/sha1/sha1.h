// sha1.h: the SHA-1 digest of byte streams, buffers and files.
#pragma once
#include <cstdint>

constexpr int SHA1_LEN = 20;

struct sha1_ctx {
  uint64_t count;     // message bits absorbed so far
  uint32_t state[5];
  uint32_t fill;      // bytes waiting in block
  uint8_t block[64];
};

void sha1_init(sha1_ctx *ctx);
void sha1_update(sha1_ctx *ctx, const void *data, int32_t n);
// Pads and writes the digest to out unless out is null.
void sha1_final(sha1_ctx *ctx, uint8_t *out);
void sha1_transform(sha1_ctx *ctx, const uint8_t block[64]);

// out, or null when path cannot be opened or read (errno set).
uint8_t *sha_file(const char *path, uint8_t out[SHA1_LEN]);
uint8_t *sha_buf(const void *data, int32_t n, uint8_t out[SHA1_LEN]);
