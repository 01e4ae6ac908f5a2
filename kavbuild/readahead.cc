// readahead.cc: the threads that ask the kernel to read ahead of the
// digests. They run only while digests keep finding contents that are not
// cached; each asks for the start of a file that waits, unclaimed, in the
// ring, and leaves the rest to the kernel's own read-ahead.
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "kavbuild/dq_ring.h"

namespace {

// How much of a file a hint asks for: the kernel's own read-ahead takes
// over once a file is read.
constexpr off_t DQ_HINT_LEN = 2 << 20;
// Digests in a row whose contents were already cached that end read-ahead.
constexpr int DQ_WARM_RUN = 512;
// Digests among the last 64 that had to wait for the disk before read-ahead
// starts. A warm cache lets go of a file here and there, and a hint costs
// three system calls: started by each such file, the hints went on for
// nearly every file of a warm /usr.
constexpr int DQ_COLD_START = 4;
static_assert(DQ_COLD_START >= 1 && DQ_COLD_START <= 64, "one word of bits");

// Asks the kernel to start reading the first part of a file soon to be
// digested. Opened as for its digest, without following a link or waiting
// on a FIFO swapped in; nothing is read, so neither the access time nor
// the identity of the file matters here. A failure is left for the digest
// to find and report.
void
hint_one(const char *path, const port_stat *st)
{
  int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0)
    return;
  posix_fadvise(fd, 0, std::min<off_t>(st->st_size, DQ_HINT_LEN),
                POSIX_FADV_WILLNEED);
  close(fd);
}

void *
hinter(void *p)
{
  dq *q = static_cast<dq *>(p);
  char path[DB_PATH_MAX + 1];
  port_stat st;
  pthread_mutex_lock(&q->mu);
  for (;;) {
    // Items a worker has taken need no hint.
    q->hint = std::max(q->hint, q->claim);
    while (q->hint < q->tail && q->state[dq_at(q->hint)] != DQ_WAITING)
      q->hint++;
    if (q->stop)
      break;
    if (!q->cold || q->hint == q->tail) {
      q->hints_idle++;
      pthread_cond_wait(&q->hint_cv, &q->mu);
      q->hints_idle--;
      continue;
    }
    const dq_item *item = &q->ring[dq_at(q->hint++)];
    if (!S_ISREG(item->st.st_mode))
      continue;
    memcpy(path, item->path, sizeof path);
    st = item->st;
    pthread_mutex_unlock(&q->mu);
    hint_one(path, &st);
    pthread_mutex_lock(&q->mu);
  }
  pthread_mutex_unlock(&q->mu);
  return nullptr;
}

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
  pthread_cond_broadcast(&q->hint_cv);
}

void
dq_start_hints(dq *q)
{
  q->hints_tried = true;
  q->hints_started = dq_start_threads(q, DQ_MAX_THREADS, DQ_HINTS, hinter);
}
