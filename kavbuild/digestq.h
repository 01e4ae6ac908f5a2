// digestq.h: the objects of a build between the walk and the database.
// The walk hands them over in its order; worker threads digest the ones
// that need it while the walk goes on; and they leave, on the walk's own
// thread, in the order they came, each once its digest is done. So the
// database is byte for byte the one a single thread would write, and the
// first failure reported is the first in walk order.
//
// Bounded: at most DQ_SLOTS objects in flight, of them at most half the
// process's limit of open files holding descriptors that the walk opened
// for their digests, and while read-ahead is asked for, at most DQ_BYTES
// bytes of file contents: nothing that grows with the tree.
#pragma once
#include <cstdint>

#include "db/db.h"
#include "port/port.h"

constexpr int DQ_MAX_THREADS = 64;
// Open files the queue would have the process allowed: one for each item
// in flight, and as many again for everything else. With fewer, the walk
// waits for digests sooner (see dq_push).
constexpr unsigned DQ_OPEN_FILES = 8192;

// One object on its way to the database.
struct dq_item {
  db_rec rec;                  // the status fields; the digest lands in csum
  db_ext ext;                  // rec.ext when the mask asks for it
  port_stat st;                // the walk's status of the object
  int fd;                      // open for the digest, or -1: the digest's
                               // to close, or the queue's if none comes
  int err;                     // errno of a failed digest
  int failed;                  // the caller's: how the digest failed, or 0
  bool no_xattrs;              // the caller's: the digest saw none
  char path[DB_PATH_MAX + 1];  // terminated
};

// Digests item on a worker thread, noting a failure in the item. *cold is
// set when the object's contents had to come from the disk, which wakes
// the read-ahead threads. Must be safe to run on several threads at once.
typedef void (*dq_digest_fn)(dq_item *item, int *cold);
// Takes a finished item on the walk's thread, in walk order: writes it or
// reports its failure. Non-zero stops the queue; it is then returned by
// every call that follows.
typedef int (*dq_emit_fn)(dq_item *item, void *arg);
// Called on the walk's thread, at least once a second while it waits for
// a digest, with the first item not yet done (being digested or waiting
// for a worker): the walk can still answer a status request. item's path
// and status may be read; nothing may be written.
typedef void (*dq_wait_fn)(const dq_item *item, void *arg);

struct dq;

// Digests in steps, for a worker that advances two items at once: the
// second is begun whenever another item waits, and each that finishes
// makes room for the next. lanes is one worker's own, from open; null
// (out of memory) leaves that worker digesting one item at a time.
struct dq_pair_ops {
  void *(*open)();
  void (*close)(void *lanes);
  // Starts item's digest in lane 0 or 1: 1 when it is to be stepped, 0
  // when it is done already (a failure noted in the item). *cold as for
  // dq_digest_fn, set by the time the lane finishes.
  int (*begin)(void *lanes, int lane, dq_item *item, int *cold);
  // Advances the lanes begun and not finished; a bit (1 << lane) for each
  // that finishes. Must make progress on every call.
  unsigned (*step)(void *lanes);
};

// threads workers (1 to DQ_MAX_THREADS), started when the first digest
// arrives; wait may be null. Null with errno when out of memory.
dq *dq_open(int threads, dq_digest_fn digest, dq_emit_fn emit, dq_wait_fn wait,
            void *arg);
// Has the workers digest two items at once through ops, which must outlive
// the queue. Before the first push only.
void dq_set_pairs(dq *q, const dq_pair_ops *ops);
// Stops the workers; items not yet emitted are dropped.
void dq_close(dq *q);

// The item to fill next, once there is room for it; null when the queue
// has stopped (dq_result says why).
dq_item *dq_slot(dq *q);
// Hands over the item from dq_slot: digested first when digest is set,
// else ready as it is, and then with no descriptor (fd -1). Emits whatever
// is ready at the front. 0, or the result that stopped the queue.
int dq_push(dq *q, bool digest);
// Emits everything in flight, waiting for the digests. 0, or the result
// that stopped the queue.
int dq_drain(dq *q);
// 0 while the queue runs, else what stopped it.
int dq_result(const dq *q);
