// sha256.cc: SHA-256 by OpenSSL's EVP interface.
#include "sha256/sha256.h"

#include <openssl/evp.h>

#include <cerrno>

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
