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
// digested, and to the walk again once it is done.
#include "kavbuild/digestq.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "kavbuild/dq_ring.h"

namespace {

// File contents in flight while the walk asks for read-ahead, counting
// each file as at most DQ_ITEM_BYTES: bounds what the read-ahead puts in
// the page cache ahead of the digests, while one huge file does not stop
// the files behind it. With no read-ahead asked for nothing is read ahead
// of the digests, and the bound would only hold the walk back: a file of
// hundreds of megabytes at the front then kept the files behind it from
// the other workers, which ran out of work.
constexpr uint64_t DQ_BYTES = 512u << 20;
constexpr uint64_t DQ_ITEM_BYTES = 32u << 20;
// When the ring is full, the walk sleeps until this many items can leave,
// so that it is not woken for every single one.
constexpr uint64_t DQ_BATCH = 64;
// A worker is woken early only when this many items wait for one; an idle
// pool is woken at once.
constexpr uint64_t DQ_WAKE = 8;

class locked {
 public:
  explicit locked(dq *q) : q_(q) { pthread_mutex_lock(&q_->mu); }
  ~locked()
  {
    if (q_ != nullptr)
      pthread_mutex_unlock(&q_->mu);
  }
  locked(const locked &) = delete;
  locked &operator=(const locked &) = delete;
  void unlock()
  {
    pthread_mutex_unlock(&q_->mu);
    q_ = nullptr;
  }

 private:
  dq *q_;
};

// Under the mutex: whether what the walk sleeps for has come.
bool
walk_may_go(const dq *q)
{
  return q->done_upto >= q->wake_at && q->fds < q->wake_fds;
}

// Under the mutex.
void
advance_done(dq *q)
{
  while (q->done_upto < q->tail && q->state[dq_at(q->done_upto)] == DQ_DONE)
    q->done_upto++;
  if (q->walk_asleep && walk_may_go(q))
    pthread_cond_signal(&q->done_cv);
}

// Under the mutex: one worker more is due when work piles up, or when
// nobody is working at all.
void
wake_helpers(dq *q)
{
  if (q->idle > 0 && (q->waiting >= DQ_WAKE || q->idle == q->started))
    pthread_cond_signal(&q->work_cv);
}

// Under the mutex: claims the first item that waits for a worker, or
// says that none does.
bool
claim_next(dq *q, uint64_t *seq)
{
  while (q->claim < q->tail && q->state[dq_at(q->claim)] != DQ_WAITING)
    q->claim++;
  if (q->claim == q->tail)
    return false;
  *seq = q->claim++;
  q->state[dq_at(*seq)] = DQ_BUSY;
  q->waiting--;
  return true;
}

// Under the mutex: item seq is done.
void
finish_item(dq *q, uint64_t seq, int cold)
{
  q->state[dq_at(seq)] = DQ_DONE;
  if (q->holds_fd[dq_at(seq)]) {
    q->holds_fd[dq_at(seq)] = false;
    q->fds--;
  }
  dq_note_warmth(q, cold);
  advance_done(q);
}

// Under the mutex: sleeps until an item may wait for a worker.
void
idle_wait(dq *q)
{
  q->idle++;
  pthread_cond_wait(&q->work_cv, &q->mu);
  q->idle--;
}

// Under the mutex: one item at a time, until the queue stops.
void
work_singly(dq *q)
{
  while (!q->stop) {
    uint64_t seq;
    if (!claim_next(q, &seq)) {
      idle_wait(q);
      continue;
    }
    pthread_mutex_unlock(&q->mu);
    int cold = 0;
    q->digest(&q->ring[dq_at(seq)], &cold);
    pthread_mutex_lock(&q->mu);
    finish_item(q, seq, cold);
  }
}

// Under the mutex: two items at a time, or one while no other waits, until
// the queue stops. Items begun are finished first: their descriptors and
// digests are the lanes' until then.
void
work_in_pairs(dq *q, void *lanes)
{
  struct {
    bool busy;
    uint64_t seq;
    int cold;
  } lane[2] = {};
  for (;;) {
    for (int i = 0; i < 2; i++) {
      while (!lane[i].busy && !q->stop) {
        uint64_t seq;
        if (!claim_next(q, &seq)) {
          if (lane[0].busy || lane[1].busy)
            break;  // no partner now: the other goes on alone
          idle_wait(q);
          continue;
        }
        lane[i].cold = 0;
        pthread_mutex_unlock(&q->mu);
        int r = q->pair->begin(lanes, i, &q->ring[dq_at(seq)], &lane[i].cold);
        pthread_mutex_lock(&q->mu);
        if (r == 0) {
          finish_item(q, seq, lane[i].cold);
        } else {
          lane[i].busy = true;
          lane[i].seq = seq;
        }
      }
    }
    if (!lane[0].busy && !lane[1].busy)
      return;  // stopped
    pthread_mutex_unlock(&q->mu);
    unsigned done = q->pair->step(lanes);
    pthread_mutex_lock(&q->mu);
    for (int i = 0; i < 2; i++) {
      if (lane[i].busy && (done & (1u << i))) {
        finish_item(q, lane[i].seq, lane[i].cold);
        lane[i].busy = false;
      }
    }
  }
}

void *
worker(void *p)
{
  dq *q = static_cast<dq *>(p);
  void *lanes = q->pair != nullptr ? q->pair->open() : nullptr;
  pthread_mutex_lock(&q->mu);
  if (lanes != nullptr)
    work_in_pairs(q, lanes);
  else
    work_singly(q);
  pthread_mutex_unlock(&q->mu);
  if (lanes != nullptr)
    q->pair->close(lanes);
  return nullptr;
}

// How long the walk sleeps at most before it calls the wait function.
constexpr long DQ_WAIT_NS = 250 * 1000 * 1000;

// Sleeps until done_upto reaches target (at most tail) and fewer than
// fds_below items hold descriptors, waking workers for whatever waits
// unclaimed so that the sleep always ends, and calling the wait function,
// without the mutex, every DQ_WAIT_NS.
void
wait_done(dq *q, uint64_t target, int fds_below)
{
  pthread_mutex_lock(&q->mu);
  if (q->waiting > 0 && q->idle > 0)
    pthread_cond_broadcast(&q->work_cv);
  q->wake_at = std::min(target, q->tail);
  q->wake_fds = fds_below;
  while (!walk_may_go(q)) {
    q->walk_asleep = true;
    timespec until;
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_nsec += DQ_WAIT_NS;
    if (until.tv_nsec >= 1000000000) {
      until.tv_sec++;
      until.tv_nsec -= 1000000000;
    }
    if (pthread_cond_timedwait(&q->done_cv, &q->mu, &until) == ETIMEDOUT &&
        q->wait != nullptr && !walk_may_go(q)) {
      // The item at done_upto stays in the ring until the walk emits it.
      const dq_item *front = &q->ring[dq_at(q->done_upto)];
      pthread_mutex_unlock(&q->mu);
      q->wait(front, q->arg);
      pthread_mutex_lock(&q->mu);
    }
  }
  q->walk_asleep = false;
  pthread_mutex_unlock(&q->mu);
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
  if (upto == q->head)
    return 0;  // nothing is done: nothing to free either
  uint64_t freed = 0;
  int r = 0;
  uint64_t seq = q->head;
  for (; seq < upto; seq++) {
    r = q->emit(&q->ring[dq_at(seq)], q->arg);
    if (r != 0)
      break;
    freed += q->weight[dq_at(seq)];
  }
  locked l(q);
  for (uint64_t s = q->head; s < seq; s++)
    q->state[dq_at(s)] = DQ_FREE;
  q->head = seq;
  q->claim = std::max(q->claim, seq);
  q->bytes -= freed;
  if (r != 0) {
    q->result = r;
    q->stop = true;
    pthread_cond_broadcast(&q->work_cv);
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
      wait_done(q, q->head + DQ_BATCH, INT_MAX);
  }
  return 0;
}

static_assert(DQ_OPEN_FILES >= 2 * DQ_SLOTS, "a descriptor for every slot");

// Descriptors the walk may hold for digests to come: as many as the ring
// has slots, so that the walk can run far ahead while the workers are on a
// large file, and have the small files behind it ready for them; with
// less, the workers ran out of items and slept and woke for each one,
// which cost a sixth of the build's time. Half the process's limit at the
// most, the rest being for everything else.
int
fds_allowed()
{
  struct rlimit rl;
  if (getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur == RLIM_INFINITY)
    return int(DQ_SLOTS);
  return int(std::max<rlim_t>(16, std::min<rlim_t>(DQ_SLOTS, rl.rlim_cur / 2)));
}

}  // namespace

int
dq_start_threads(dq *q, int first, int count, void *(*fn)(void *))
{
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  int n = 0;
  while (n < count &&
         pthread_create(&q->threads[first + n], nullptr, fn, q) == 0)
    n++;
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  return n;
}

dq *
dq_open(int threads, dq_digest_fn digest, dq_emit_fn emit, dq_wait_fn wait,
        void *arg)
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
  q->wait = wait;
  q->arg = arg;
  q->ring = ring;
  q->nworkers = std::max(1, std::min(threads, DQ_MAX_THREADS));
  q->wake_fds = INT_MAX;
  q->max_fds = fds_allowed();
  pthread_mutex_init(&q->mu, nullptr);
  pthread_cond_init(&q->work_cv, nullptr);
  // The walk's timed sleeps are measured on a clock no one can set.
  pthread_condattr_t mono;
  pthread_condattr_init(&mono);
  pthread_condattr_setclock(&mono, CLOCK_MONOTONIC);
  pthread_cond_init(&q->done_cv, &mono);
  pthread_condattr_destroy(&mono);
  return q;
}

void
dq_set_pairs(dq *q, const dq_pair_ops *ops)
{
  q->pair = ops;
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
  }
  for (int i = 0; i < q->started; i++)
    pthread_join(q->threads[i], nullptr);
  // Items that never had their digest still hold what the walk opened.
  for (uint64_t seq = q->head; seq < q->tail; seq++)
    if (q->holds_fd[dq_at(seq)])
      close(q->ring[dq_at(seq)].fd);
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
  return &q->ring[dq_at(q->tail)];
}

int
dq_push(dq *q, bool digest)
{
  dq_item *item = &q->ring[dq_at(q->tail)];
  uint64_t weight = 0;
  if (digest && q->hint_next && S_ISREG(item->st.st_mode) &&
      item->st.st_size > 0)
    weight = std::min(uint64_t(item->st.st_size), DQ_ITEM_BYTES);
  // started is written on this thread only, after the threads exist; a
  // worker that runs before it is set finds nothing to claim and sleeps.
  if (digest && q->started == 0) {
    int n = dq_start_threads(q, 0, q->nworkers, worker);
    locked l(q);
    q->started = n;
  }
  if (digest && q->started == 0) {
    // No thread could be started: the walk digests the item itself.
    int cold;
    q->digest(item, &cold);
    digest = false;
    weight = 0;
  }
  bool fd = digest && item->fd >= 0;
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
  int r = weight > 0 ? make_room(q, 1, weight) : 0;
  // Before the item is published: a worker may close its descriptor any
  // time after.
  if (r == 0 && fd)
    dq_hint(q, item);
  for (;;) {
    if (r != 0) {
      // The queue stopped before the item was in: its descriptor is ours.
      if (fd)
        close(item->fd);
      return r;
    }
    locked l(q);
    if (fd && q->fds >= q->max_fds) {
      // As many descriptors wait for their digests as the process may
      // spare: the walk sleeps until a quarter of them are done, so that
      // it is not woken for every one.
      l.unlock();
      r = emit_ready(q);
      if (r == 0)
        wait_done(q, 0, q->max_fds - q->max_fds / 4);
      continue;
    }
    uint32_t i = dq_at(q->tail);
    q->state[i] = digest ? DQ_WAITING : DQ_DONE;
    q->weight[i] = uint32_t(weight);
    q->holds_fd[i] = fd;
    q->fds += fd ? 1 : 0;
    q->bytes += weight;
    q->tail++;
    if (digest) {
      q->waiting++;
      wake_helpers(q);
    } else {
      advance_done(q);
    }
    q->hint_next = q->cold;
    break;
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
    wait_done(q, q->tail, INT_MAX);
  }
}
