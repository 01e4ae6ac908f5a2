// sha256_noaccel.cc: the build takes this file on processors for which the
// module has no block function of its own on SHA extensions, so the lanes
// use the system library's, one stream at a time.
#include "sha256/sha256.h"

sha256_blocks_fn
sha256_blocks_accel()
{
  return nullptr;
}

sha256_blocks2_fn
sha256_blocks2_accel()
{
  return nullptr;
}
