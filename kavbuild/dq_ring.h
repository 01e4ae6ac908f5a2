// dq_ring.h: the digest queue's ring, shared by the queue (digestq.cc)
// and its read-ahead (readahead.cc); no other file includes it but their
// test.
#pragma once
#include <pthread.h>

#include <cstdint>

#include "kavbuild/digestq.h"

// Room for the small files behind a large one: with less, the other
// workers run out of items while one digests a file of hundreds of
// megabytes at the front, and wait for it.
constexpr uint32_t DQ_SLOTS = 4096;

// A slot's state. DQ_FREE: no item, or one that has left; only the slots
// from head to tail hold another state.
enum : uint8_t { DQ_FREE, DQ_WAITING, DQ_BUSY, DQ_DONE };

struct dq {
  // head, tail, bytes and result are written only on the walk's thread, so
  // it reads them without the mutex; everything else shared is under it.
  dq_digest_fn digest;
  const dq_pair_ops *pair;  // or null
  dq_emit_fn emit;
  dq_wait_fn wait;  // or null
  void *arg;
  dq_item *ring;
  uint8_t state[DQ_SLOTS];
  uint32_t weight[DQ_SLOTS];
  bool holds_fd[DQ_SLOTS];  // pushed with a descriptor, not yet digested
  // head <= claim <= tail whenever the mutex is free.
  uint64_t head, tail, claim, done_upto;
  uint64_t bytes;    // weights of the items from head to tail
  uint64_t waiting;  // items published and not yet claimed
  uint64_t wake_at;  // the walk sleeps until done_upto reaches it
  int fds;           // items that hold a descriptor, of max_fds
  int max_fds;
  int wake_fds;  // and until fds is below this
  bool walk_asleep;
  int result;
  bool stop;
  bool cold;             // read-ahead is wanted
  bool hint_next;        // cold as the walk last saw it; on its thread only
  uint64_t hints;        // files the walk asked the kernel to read ahead
  uint64_t recent_cold;  // the last 64 digests, 1 for cold, latest lowest
  int warm_run;
  int nworkers, started, idle;
  pthread_mutex_t mu;
  pthread_cond_t work_cv, done_cv;
  pthread_t threads[DQ_MAX_THREADS];
};

// The ring slot of item number seq.
inline uint32_t
dq_at(uint64_t seq)
{
  return uint32_t(seq % DQ_SLOTS);
}

// Starts count threads running fn from slot first on, with every signal
// blocked: the walk's thread takes the user's status requests. The number
// started.
int dq_start_threads(dq *q, int first, int count, void *(*fn)(void *));

// Under the mutex. Digests that had to wait for the disk, a few of them
// close together, turn read-ahead on; a long run of cached ones turns it
// off again.
void dq_note_warmth(dq *q, int cold);
// On the walk's thread, before item is handed over with the descriptor
// the walk opened: while read-ahead is on, asks the kernel to start
// reading the file's first part.
void dq_hint(dq *q, const dq_item *item);
