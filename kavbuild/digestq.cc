// digestq.cc: a ring of items between the walk and the database.
//
// Items are numbered in walk order. Between head (the next to leave) and
// tail (the next to come) each is waiting for a worker, being digested, or
// done; workers take waiting items in order from claim on. done_upto is the
// first item from head on that is not done yet, kept up to date by whoever
// finishes an item, so the walk knows without a scan how far it may emit.
//
// One mutex guards the ring's counters and states. An item's contents
// belong to the walk until it is published, to one worker while it is
// digested, and to the walk again once it is done; the read-ahead threads
// copy what they need under the mutex.
#include "kavbuild/digestq.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

// Room for the small files behind a large one: with less, the other
// workers run out of items while one digests a file of hundreds of
// megabytes at the front, and wait for it.
constexpr uint32_t DQ_SLOTS = 4096;
// File contents in flight, counting each file as at most DQ_ITEM_BYTES:
// bounds what the read-ahead puts in the page cache ahead of the digests,
// while one huge file does not stop the files behind it.
constexpr uint64_t DQ_BYTES = 512u << 20;
constexpr uint64_t DQ_ITEM_BYTES = 32u << 20;
// When the ring is full, the walk sleeps until this many items can leave,
// so that it is not woken for every single one.
constexpr uint64_t DQ_BATCH = 64;
// A worker is woken early only when this many items wait for one; an idle
// pool is woken at once.
constexpr uint64_t DQ_WAKE = 8;
// Threads that only ask the kernel to read ahead, and how much of a file
// they ask for: the kernel's own read-ahead takes over once a file is read.
// A cold cache needs more reads in flight than there are workers.
constexpr int DQ_HINTS = 4;
constexpr off_t DQ_HINT_LEN = 2 << 20;
// Digests in a row whose contents were already cached that end read-ahead.
constexpr int DQ_WARM_RUN = 512;

enum : uint8_t { WAITING, BUSY, DONE };

}  // namespace

struct dq {
  // head, tail, bytes and result are written only on the walk's thread, so
  // it reads them without the mutex; everything else shared is under it.
  dq_digest_fn digest;
  dq_emit_fn emit;
  void *arg;
  dq_item *ring;
  uint8_t state[DQ_SLOTS];
  uint32_t weight[DQ_SLOTS];
  uint64_t head, tail, claim, hint, done_upto;
  uint64_t bytes;       // weights of the items from head to tail
  uint64_t waiting;     // items published and not yet claimed
  uint64_t wake_at;     // the walk sleeps until done_upto reaches it
  bool walk_asleep;
  int result;
  bool stop;
  bool cold;
  int warm_run;
  int nworkers, started, idle;
  int hints_started, hints_idle;
  pthread_mutex_t mu;
  pthread_cond_t work_cv, done_cv, hint_cv;
  pthread_t threads[DQ_MAX_THREADS + DQ_HINTS];
};

namespace {

class locked {
 public:
  explicit locked(dq *q) : q_(q) { pthread_mutex_lock(&q_->mu); }
  ~locked() { pthread_mutex_unlock(&q_->mu); }
  locked(const locked &) = delete;
  locked &operator=(const locked &) = delete;

 private:
  dq *q_;
};

uint32_t
at(uint64_t seq)
{
  return uint32_t(seq % DQ_SLOTS);
}

// Under the mutex.
void
advance_done(dq *q)
{
  while (q->done_upto < q->tail && q->state[at(q->done_upto)] == DONE)
    q->done_upto++;
  if (q->walk_asleep && q->done_upto >= q->wake_at)
    pthread_cond_signal(&q->done_cv);
}

// Under the mutex: one worker or read-ahead thread more is due when work
// piles up, or when nobody is working at all.
void
wake_helpers(dq *q)
{
  if (q->idle > 0 && (q->waiting >= DQ_WAKE || q->idle == q->started))
    pthread_cond_signal(&q->work_cv);
  if (q->cold && q->hints_idle > 0)
    pthread_cond_signal(&q->hint_cv);
}

void
note_warmth(dq *q, int cold);

void *
worker(void *p)
{
  dq *q = static_cast<dq *>(p);
  pthread_mutex_lock(&q->mu);
  for (;;) {
    while (!q->stop && q->claim < q->tail && q->state[at(q->claim)] != WAITING)
      q->claim++;
    if (q->stop)
      break;
    if (q->claim == q->tail) {
      q->idle++;
      pthread_cond_wait(&q->work_cv, &q->mu);
      q->idle--;
      continue;
    }
    uint64_t seq = q->claim++;
    q->state[at(seq)] = BUSY;
    q->waiting--;
    pthread_mutex_unlock(&q->mu);
    int cold = 0;
    dq_item *item = &q->ring[at(seq)];
    q->digest(item, &cold);
    pthread_mutex_lock(&q->mu);
    q->state[at(seq)] = DONE;
    note_warmth(q, cold);
    advance_done(q);
  }
  pthread_mutex_unlock(&q->mu);
  return nullptr;
}

// Asks the kernel to start reading the first part of a file soon to be
// digested. The file is opened as safely as for its digest; a failure here
// is left for the digest to find and report.
void
hint_one(const char *path, const port_stat *st)
{
  int fd = port_open_object(path, st);
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
    while (q->hint < q->tail && q->state[at(q->hint)] != WAITING)
      q->hint++;
    if (q->stop)
      break;
    if (!q->cold || q->hint == q->tail) {
      q->hints_idle++;
      pthread_cond_wait(&q->hint_cv, &q->mu);
      q->hints_idle--;
      continue;
    }
    const dq_item *item = &q->ring[at(q->hint++)];
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

// Starts count threads running fn from slot first on, with every signal
// blocked: the walk's thread takes the user's status requests. The number
// started.
int
start_threads(dq *q, int first, int count, void *(*fn)(void *))
{
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  int n = 0;
  while (n < count && pthread_create(&q->threads[first + n], nullptr, fn, q) == 0)
    n++;
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  return n;
}

// Under the mutex. A digest that had to wait for the disk turns read-ahead
// on; a long run of cached ones turns it off again.
void
note_warmth(dq *q, int cold)
{
  if (!cold) {
    if (q->cold && ++q->warm_run >= DQ_WARM_RUN)
      q->cold = false;
    return;
  }
  q->warm_run = 0;
  if (q->cold)
    return;
  q->cold = true;
  if (q->hints_started == 0)
    q->hints_started =
        start_threads(q, DQ_MAX_THREADS, DQ_HINTS, hinter);
  pthread_cond_broadcast(&q->hint_cv);
}

// Sleeps until done_upto reaches target (at most tail), waking workers for
// whatever waits unclaimed so that the sleep always ends.
void
wait_done(dq *q, uint64_t target)
{
  locked l(q);
  target = std::min(target, q->tail);
  if (q->waiting > 0 && q->idle > 0)
    pthread_cond_broadcast(&q->work_cv);
  q->wake_at = target;
  while (q->done_upto < target) {
    q->walk_asleep = true;
    pthread_cond_wait(&q->done_cv, &q->mu);
  }
  q->walk_asleep = false;
}

// Emits the items at the front that are done, in order. 0, or the result
// of the emit that stopped the queue.
int
emit_ready(dq *q)
{
  uint64_t upto;
  {
    locked l(q);
    upto = q->done_upto;
  }
  uint64_t freed = 0;
  int r = 0;
  uint64_t seq = q->head;
  for (; seq < upto; seq++) {
    r = q->emit(&q->ring[at(seq)], q->arg);
    if (r != 0)
      break;
    freed += q->weight[at(seq)];
  }
  locked l(q);
  q->head = seq;
  q->bytes -= freed;
  if (r != 0) {
    q->result = r;
    q->stop = true;
    pthread_cond_broadcast(&q->work_cv);
    pthread_cond_broadcast(&q->hint_cv);
  }
  return r;
}

// Emits until count more items fit in the ring and weight more bytes in
// the budget (an item alone is always let in). head, tail and bytes change
// only on the walk's thread, which is this one.
int
make_room(dq *q, uint64_t count, uint64_t weight)
{
  auto fits = [q, count, weight] {
    uint64_t used = q->tail - q->head;
    return used == 0 ||
           (used + count <= DQ_SLOTS && q->bytes + weight <= DQ_BYTES);
  };
  while (!fits()) {
    int r = emit_ready(q);
    if (r != 0)
      return r;
    if (!fits())
      wait_done(q, q->head + DQ_BATCH);
  }
  return 0;
}

}  // namespace

dq *
dq_open(int threads, dq_digest_fn digest, dq_emit_fn emit, void *arg)
{
  dq *q = static_cast<dq *>(calloc(1, sizeof *q));
  dq_item *ring = static_cast<dq_item *>(calloc(DQ_SLOTS, sizeof *ring));
  if (q == nullptr || ring == nullptr) {
    free(q);
    free(ring);
    errno = ENOMEM;
    return nullptr;
  }
  q->digest = digest;
  q->emit = emit;
  q->arg = arg;
  q->ring = ring;
  q->nworkers = std::max(1, std::min(threads, DQ_MAX_THREADS));
  pthread_mutex_init(&q->mu, nullptr);
  pthread_cond_init(&q->work_cv, nullptr);
  pthread_cond_init(&q->done_cv, nullptr);
  pthread_cond_init(&q->hint_cv, nullptr);
  return q;
}

void
dq_close(dq *q)
{
  if (q == nullptr)
    return;
  {
    locked l(q);
    q->stop = true;
    pthread_cond_broadcast(&q->work_cv);
    pthread_cond_broadcast(&q->hint_cv);
  }
  for (int i = 0; i < q->started; i++)
    pthread_join(q->threads[i], nullptr);
  for (int i = 0; i < q->hints_started; i++)
    pthread_join(q->threads[DQ_MAX_THREADS + i], nullptr);
  pthread_cond_destroy(&q->hint_cv);
  pthread_cond_destroy(&q->done_cv);
  pthread_cond_destroy(&q->work_cv);
  pthread_mutex_destroy(&q->mu);
  free(q->ring);
  free(q);
}

int
dq_result(const dq *q)
{
  return q->result;
}

dq_item *
dq_slot(dq *q)
{
  if (q->result != 0 || make_room(q, 1, 0) != 0)
    return nullptr;
  return &q->ring[at(q->tail)];
}

int
dq_push(dq *q, bool digest)
{
  dq_item *item = &q->ring[at(q->tail)];
  uint64_t weight = 0;
  if (digest && S_ISREG(item->st.st_mode) && item->st.st_size > 0)
    weight = std::min(uint64_t(item->st.st_size), DQ_ITEM_BYTES);
  if (digest && q->started == 0) {
    locked l(q);
    q->started = start_threads(q, 0, q->nworkers, worker);
  }
  if (digest && q->started == 0) {
    // No thread could be started: the walk digests the item itself.
    int cold;
    q->digest(item, &cold);
    digest = false;
    weight = 0;
  }
  if (!digest && q->tail == q->head) {
    // Nothing in flight: the item leaves at once, without the ring.
    int r = q->emit(item, q->arg);
    if (r != 0) {
      locked l(q);
      q->result = r;
      q->stop = true;
    }
    return r;
  }
  if (weight > 0) {
    int r = make_room(q, 1, weight);
    if (r != 0)
      return r;
  }
  {
    locked l(q);
    uint32_t i = at(q->tail);
    q->state[i] = digest ? WAITING : DONE;
    q->weight[i] = uint32_t(weight);
    q->bytes += weight;
    q->tail++;
    if (digest) {
      q->waiting++;
      wake_helpers(q);
    } else {
      advance_done(q);
    }
  }
  return emit_ready(q);
}

int
dq_drain(dq *q)
{
  for (;;) {
    if (q->result != 0)
      return q->result;
    int r = emit_ready(q);
    if (r != 0)
      return r;
    if (q->head == q->tail)
      return 0;
    wait_done(q, q->tail);
  }
}
