// delta.cc: differences made and applied with libzstd's reference prefix,
// the use its manual documents for patching one file into the next.
#include "delta/delta.h"

#include <zstd.h>

#include <memory>
#include <new>

namespace {

// Fast enough for a 70 MB snapshot in well under a second; long-distance
// matching finds the unchanged runs whatever the level.
constexpr int LEVEL = 3;

using cctx_ptr = std::unique_ptr<ZSTD_CCtx, decltype(&ZSTD_freeCCtx)>;
using dctx_ptr = std::unique_ptr<ZSTD_DCtx, decltype(&ZSTD_freeDCtx)>;

// The smallest window that spans ref and target together, so that every
// byte of the target can reach back to the same place in ref, within
// what zstd allows.
int
window_log(uint64_t span)
{
  ZSTD_bounds b = ZSTD_cParam_getBounds(ZSTD_c_windowLog);
  int log = b.lowerBound;
  while (log < b.upperBound && (uint64_t(1) << log) < span)
    log++;
  return log;
}

std::string
zstd_err(const char *what, size_t code)
{
  return std::string(what) + ": " + ZSTD_getErrorName(code);
}

}  // namespace

bool
delta_make(std::string_view ref, std::string_view target, std::string *out,
           std::string *err)
{
  try {
    cctx_ptr c(ZSTD_createCCtx(), ZSTD_freeCCtx);
    if (c == nullptr) {
      *err = "zstd: out of memory";
      return false;
    }
    const struct {
      ZSTD_cParameter p;
      int v;
    } params[] = {
        {ZSTD_c_compressionLevel, LEVEL},
        {ZSTD_c_enableLongDistanceMatching, 1},
        {ZSTD_c_windowLog, window_log(uint64_t(ref.size()) + target.size())},
        {ZSTD_c_contentSizeFlag, 1},
        // The callers check the SHA-256 of what is rebuilt.
        {ZSTD_c_checksumFlag, 0},
    };
    for (const auto &p : params) {
      size_t r = ZSTD_CCtx_setParameter(c.get(), p.p, p.v);
      if (ZSTD_isError(r)) {
        *err = zstd_err("zstd", r);
        return false;
      }
    }
    size_t r = ZSTD_CCtx_refPrefix(c.get(), ref.data(), ref.size());
    if (ZSTD_isError(r)) {
      *err = zstd_err("zstd", r);
      return false;
    }
    out->resize(ZSTD_compressBound(target.size()));
    r = ZSTD_compress2(c.get(), &(*out)[0], out->size(), target.data(),
                       target.size());
    if (ZSTD_isError(r)) {
      out->clear();
      *err = zstd_err("zstd", r);
      return false;
    }
    out->resize(r);
    return true;
  } catch (const std::bad_alloc &) {
    out->clear();
    *err = "zstd: out of memory";
    return false;
  }
}

bool
delta_apply(std::string_view ref, std::string_view d, uint64_t size,
            std::string *out, std::string *err)
{
  out->clear();
  unsigned long long stated = ZSTD_getFrameContentSize(d.data(), d.size());
  if (stated == ZSTD_CONTENTSIZE_ERROR) {
    *err = "not a zstd frame";
    return false;
  }
  if (stated == ZSTD_CONTENTSIZE_UNKNOWN) {
    *err = "the difference states no size";
    return false;
  }
  if (stated != size) {
    *err = "the difference makes " + std::to_string(stated) + " bytes, not " +
           std::to_string(size);
    return false;
  }
  size_t whole = ZSTD_findFrameCompressedSize(d.data(), d.size());
  if (ZSTD_isError(whole)) {
    *err = zstd_err("the difference is damaged", whole);
    return false;
  }
  if (whole != d.size()) {
    *err = "bytes after the difference's frame";
    return false;
  }
  if (size > out->max_size()) {
    *err = "out of memory";
    return false;
  }
  try {
    dctx_ptr c(ZSTD_createDCtx(), ZSTD_freeDCtx);
    if (c == nullptr) {
      *err = "zstd: out of memory";
      return false;
    }
    // One call into a buffer of the size stated: no window is allocated,
    // and nothing past size can be written.
    ZSTD_bounds b = ZSTD_dParam_getBounds(ZSTD_d_windowLogMax);
    size_t r =
        ZSTD_DCtx_setParameter(c.get(), ZSTD_d_windowLogMax, b.upperBound);
    if (!ZSTD_isError(r))
      r = ZSTD_DCtx_refPrefix(c.get(), ref.data(), ref.size());
    if (ZSTD_isError(r)) {
      *err = zstd_err("zstd", r);
      return false;
    }
    out->resize(size_t(size));
    r = ZSTD_decompressDCtx(c.get(), &(*out)[0], out->size(), d.data(),
                            d.size());
    if (ZSTD_isError(r) || r != size) {
      out->clear();
      *err = ZSTD_isError(r) ? zstd_err("the difference is damaged", r)
                             : "the difference makes " + std::to_string(r) +
                                   " bytes, not " + std::to_string(size);
      return false;
    }
    return true;
  } catch (const std::bad_alloc &) {
    out->clear();
    *err = "out of memory";
    return false;
  }
}

bool
delta_size(std::string_view d, uint64_t *size)
{
  unsigned long long stated = ZSTD_getFrameContentSize(d.data(), d.size());
  if (stated == ZSTD_CONTENTSIZE_ERROR || stated == ZSTD_CONTENTSIZE_UNKNOWN)
    return false;
  *size = stated;
  return true;
}
