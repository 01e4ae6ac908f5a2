// serve.h: serving a collector (kavnightly -s, the forced command of its
// key): the request is "list", "send NAME" or "send NAME since BASE SHA256"
// and nothing else, answered under a shared lock on the database directory,
// so that no rotation runs in the middle of an answer. Only reads: nothing
// is written.
//
//   list       one line per snapshot, oldest first: "NAME SIZE SHA256"
//   send NAME  the snapshot and its .sig and .pkg where it has them as
//              regular files, framed as kavcollect(8) reads them:
//                kavsend 1\n
//                member NAME SIZE\n  and SIZE bytes, for each file
//                end\n
//   send NAME since BASE SHA256
//              the same, but the snapshot as a difference from BASE when
//              BASE is one of the snapshots and its SHA-256 is SHA256 (the
//              collector's copy), and the difference is smaller than NAME:
//                delta NAME BASE SIZE\n  and SIZE bytes (delta.h)
//              in place of the snapshot's member line; else as "send NAME".
//              Its package records likewise, as a difference from BASE's
//              when it has them and the difference is the smaller:
//                delta NAME.pkg BASE.pkg SIZE LENGTH SHA256\n  and SIZE
//              bytes, which rebuild to LENGTH bytes of that SHA-256
#pragma once
#include <string>

#include "store/store.h"

enum nt_served { NT_SERVED, NT_REFUSED, NT_FAILED };

// d may be closed (sd_fd -1) where the directory is not there yet: the
// list is then empty. request is SSH_ORIGINAL_COMMAND's value ("" when unset);
// the answer goes to out. The lock is waited for up to wait_s seconds, and
// released before returning unless d held one already. NT_REFUSED with the
// refusal in *err for a request that is not the collector's or a name
// that is no snapshot; NT_FAILED with *err when the lock is busy or a
// file cannot be read or the answer written. Every file is opened before
// the first byte of the answer is written, and a list is written whole
// or not at all.
nt_served nt_serve(st_dir *d, const std::string &request, int wait_s, int out,
                   std::string *err);
