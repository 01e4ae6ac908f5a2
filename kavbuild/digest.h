// digest.h: the checksum of one object of a snapshot. Safe to call from
// several threads at once.
#pragma once
#include <cstdint>

#include "port/port.h"
#include "sha1/sha1.h"
#include "sha256/sha256.h"

// Where an object's digests go; a null pointer is a digest not asked for.
// Whatever is asked for comes from one reading of the object.
struct digest_out {
  uint8_t *sha1;    // SHA1_LEN bytes
  uint8_t *sha256;  // SHA256_LEN bytes
};

// The contents of a regular file, or the names of a directory ("." and ".."
// left out, in ascending byte order, each followed by one zero byte), read
// from fd, which is the object of the walk's status st: opened by the walk
// itself, or by port_open_object for st, so that an object swapped since
// then fails (ESTALE) instead of lending its digest or blocking the build.
// size is a file's size when fd was opened, or -1 when not known; a file
// read to that size by a read that came short is at its end without
// another read() to say so. fd is closed in every case. 0, or -1 with
// errno. *cold, when cold is not null, is set to 1 when a file's contents
// had to come from the disk.
int digest_opened(int fd, const port_stat *st, off_t size,
                  const digest_out *out, int *cold);

// A regular file's digests read a buffer at a time, so that one thread can
// advance two files together: the bytes both have read are hashed as two
// interleaved streams, which on one core cost little more than one.
struct digest_run {
  int fd;  // closed once the run has finished
  off_t size;
  uint64_t done;  // bytes read
  bool first;     // no read made yet
  bool eof;
  int err;  // errno of the read that failed, or 0
  int *cold;
  digest_out out;
  sha1_ctx sha1;
  sha256_lane sha256;
  uint8_t *buf;     // DIGEST_RUN_LEN bytes of the caller's
  size_t have, at;  // bytes in buf, and of them hashed
};
constexpr size_t DIGEST_RUN_LEN = 256 * 1024;

// Starts the digests of fd as digest_opened would, reading into buf, which
// the run borrows until it has finished. A directory is digested here and
// now. 1 when the run is to be stepped, 0 when done already, -1 with errno
// (fd closed in both).
int digest_run_start(digest_run *r, uint8_t *buf, int fd, const port_stat *st,
                     off_t size, const digest_out *out, int *cold);
// Advances the runs given (either may be null): reads into each one that
// has hashed all it read, then hashes what both hold together and what
// one holds alone when there is no other. A bit for each run that has
// finished since: 1 for a, 2 for b. A finished run has its digests written
// and its descriptor closed; err tells whether it read to the end.
unsigned digest_run_step(digest_run *a, digest_run *b);

// The digests of a link's whole target text, which may be longer than a
// path buffer; the link is not followed. 0, or -1 with errno.
int digest_link(const char *path, const port_stat *st, const digest_out *out);
