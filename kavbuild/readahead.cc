// readahead.cc: asking the kernel to read ahead of the digests. Only while
// digests keep finding contents that are not cached: the walk then asks
// for the start of each file it hands over, through the descriptor it
// opened for the digest, and leaves the rest to the kernel's own
// read-ahead once the file is read. The walk runs ahead of the workers by
// up to a ring of files, so a cold cache has that many reads in flight,
// not one per worker.
#include <fcntl.h>

#include <algorithm>

#include "kavbuild/dq_ring.h"

namespace {

// How much of a file a hint asks for: the kernel's own read-ahead takes
// over once a file is read.
constexpr off_t DQ_HINT_LEN = 2 << 20;
// Digests in a row whose contents were already cached that end read-ahead.
constexpr int DQ_WARM_RUN = 512;
// Digests among the last 64 that had to wait for the disk before read-ahead
// starts. A warm cache lets go of a file here and there, and a hint is a
// system call: started by each such file, the hints went on for nearly
// every file of a warm /usr.
constexpr int DQ_COLD_START = 4;
static_assert(DQ_COLD_START >= 1 && DQ_COLD_START <= 64, "one word of bits");

}  // namespace

void
dq_note_warmth(dq *q, int cold)
{
  q->recent_cold = q->recent_cold << 1 | uint64_t(cold != 0);
  if (!cold) {
    if (q->cold && ++q->warm_run >= DQ_WARM_RUN)
      q->cold = false;
    return;
  }
  q->warm_run = 0;
  if (q->cold || __builtin_popcountll(q->recent_cold) < DQ_COLD_START)
    return;
  q->cold = true;
}

void
dq_hint(dq *q, const dq_item *item)
{
  // Nothing is read, so neither the access time nor the offset the digest
  // reads from changes; a failure is left for the digest to find.
  if (!q->hint_next || !S_ISREG(item->st.st_mode) || item->st.st_size <= 0)
    return;
  posix_fadvise(item->fd, 0, std::min<off_t>(item->st.st_size, DQ_HINT_LEN),
                POSIX_FADV_WILLNEED);
  q->hints++;
}
