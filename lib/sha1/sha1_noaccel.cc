// sha1_noaccel.cc: the build takes this file on processors for which the
// digest has no accelerated transform, so the portable one is always used.
#include "sha1/sha1.h"

int
sha1_accels(sha1_blocks_fn *)
{
  return 0;
}

sha1_blocks2_fn
sha1_blocks2_accel()
{
  return nullptr;
}
