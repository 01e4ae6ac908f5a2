// capture.h: the visitor that turns one walked object into a snapshot
// frame: the attributes its mask names, the SHA-1 of its contents when
// asked for, appended to the open database.
#pragma once
#include <cstdint>

#include "db/db.h"
#include "kavbuild/walk.h"

// Where the frames go, and who digests. With one thread every object is
// digested and written before capture_file returns. With more, regular
// files and directories are digested on that many worker threads while the
// walk goes on; frames still leave in the order of the calls, each with the
// status the walk read, and a failure is reported when its object's turn
// comes, so the database and the messages are those of one thread.
struct capture_ctx;

// Null with errno when out of memory. db stays the caller's.
capture_ctx *capture_open(db_handle *db, int threads);
// Stops the workers and frees ctx; objects not yet written are dropped.
void capture_close(capture_ctx *ctx);

// An fs_visit_fn; arg is the capture_ctx; fd, when not -1, is read for the
// digests and closed. 0, or -1 after printing why the object (or one
// before it) could not be digested or its frame not written.
int capture_file(const char *path, const port_stat *st, uint16_t mask,
                 void *arg, const pclent *ent, int fd);
// An fs_sync_fn: writes out every object still in flight. 0, or -1 after
// printing the first failure among them.
int capture_sync(void *arg);

// Asks for one status line on standard error (objects recorded, bytes
// digested, the path being recorded) before the next object is written.
// Safe to call from a signal handler.
void capture_status_request();
// Objects written and bytes digested so far.
void capture_counts(const capture_ctx *ctx, uint64_t *objects, uint64_t *bytes);
