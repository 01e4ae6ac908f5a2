// walk.h: the walk of the file tree under a watch policy. Every directory
// entry is matched against the list that governs its directory; a match
// with the record flag is handed to the visitor, one with the prune flag
// is not descended into.
#pragma once
#include <cstdint>

#include "policy/pclt.h"
#include "port/port.h"

// Called once per recorded entry with its full path, its status (links not
// followed), the matching entry's attribute mask and the entry itself.
// A regular file or a directory whose directory's policy may ask for its
// digest comes with fd, open for reading it, its status read from that
// descriptor: the visitor owns the descriptor. fd is -1 for anything else, and
// for a file the walk could not open (the visitor's own open will tell why). 0
// goes on; anything else stops the whole walk and is returned by it.
typedef int (*fs_visit_fn)(const char *path, const port_stat *st, uint16_t mask,
                           void *arg, const pclent *ent, int fd);

// Walks the directory path and everything below it that the policy lets
// it reach, each directory's entries in the order the directory gives
// them, a directory before its contents. 0 when all of it was walked; -1
// after printing why a directory could not be opened or read or an entry's
// status could not be read; else the visitor's first non-zero result. An
// entry gone (ENOENT) by the time its status is read is skipped, and a
// directory gone by the time it is opened is not descended into.
// A full path longer than 1023 bytes is never cut and looked up: the walk
// reports it as lstat() failing with ENAMETOOLONG.
int fs_walk(pclt *t, const char *path, fs_visit_fn fn, void *arg);
// fs_walk of "/": "/" itself is never matched or visited.
int fs_walk_root(pclt *t, fs_visit_fn fn, void *arg);

// Called before the walk reports a failure of its own, for a visitor that
// works ahead of the walk: it settles the objects it still holds first,
// since their failures come earlier in walk order. 0 lets the walk report
// and return -1; any other value is returned instead, the walk's message
// unsaid.
typedef int (*fs_sync_fn)(void *arg);
// fs_walk with sync (which gets arg too) called first on a failure.
int fs_walk_sync(pclt *t, const char *path, fs_visit_fn fn, fs_sync_fn sync,
                 void *arg);
