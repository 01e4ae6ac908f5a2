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

// The digests of a link's whole target text, which may be longer than a
// path buffer; the link is not followed. 0, or -1 with errno.
int digest_link(const char *path, const port_stat *st, const digest_out *out);
