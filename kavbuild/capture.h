// capture.h: the visitor that turns one walked object into a snapshot
// frame: the attributes its mask names, the SHA-1 of its contents when
// asked for, appended to the open database.
#pragma once
#include <cstdint>

#include "kavbuild/walk.h"

// An fs_visit_fn; arg is the open db_handle. 0, or -1 after printing why
// the object could not be digested or its frame not written.
int capture_file(const char *path, const port_stat *st, uint16_t mask,
                 void *arg, const pclent *ent);

// Asks for one status line on standard error (objects recorded, bytes
// digested, the path being recorded) before the next object. Safe to call
// from a signal handler.
void capture_status_request();
// Objects recorded and bytes digested so far.
void capture_counts(uint64_t *objects, uint64_t *bytes);
