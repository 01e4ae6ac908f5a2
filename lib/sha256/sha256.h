// sha256.h: SHA-256 through the system's crypto library, which may run it
// under a certified provider and picks the processor's fastest code.
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
