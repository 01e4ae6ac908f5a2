// digest.h: the checksum of one object of a snapshot. Safe to call from
// several threads at once.
#pragma once
#include <cstdint>

#include "port/port.h"
#include "sha1/sha1.h"

// The contents of a regular file, or the names of a directory ("." and ".."
// left out, in ascending byte order, each followed by one zero byte), read
// from the very object the walk's status st describes: one swapped since
// then fails (ESTALE) instead of lending its digest or blocking the build.
// out, or null with errno. *cold, when cold is not null, is set to 1 when
// a file's contents had to come from the disk.
uint8_t *digest_object(const char *path, const port_stat *st,
                       uint8_t out[SHA1_LEN], int *cold);

// The SHA-1 of a link's whole target text, which may be longer than a path
// buffer; the link is not followed. 0, or -1 with errno.
int digest_link(const char *path, const port_stat *st, uint8_t out[SHA1_LEN]);
