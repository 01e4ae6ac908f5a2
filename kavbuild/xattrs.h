// xattrs.h: an object's extended attributes, read for its record.
#pragma once
#include <cstddef>
#include <cstdint>

// Room for one reading: the kernel's longest name list and value.
struct xattr_room {
  char names[64 * 1024];
  uint8_t value[64 * 1024];
  const char *sorted[32 * 1024];  // each name at least a byte and its end
};

// Every extended attribute path has now (the link itself, not what it
// points to), as the attribute items of a record's extension: sorted by
// name, each value whole or by its SHA-256 (db_xattr_put). A file system
// without extended attributes gives none. 0 with *len set, or -1 with
// errno from the call that failed (E2BIG when the items need more than
// cap bytes).
int xattrs_read(const char *path, xattr_room *room, uint8_t *items, size_t cap,
                size_t *len);

// Whether the object open as fd has any extended attribute: 1, 0 (none,
// or a file system without them), or -1 with errno. One call, without the
// lookup of a path: most objects have none, and then need no xattrs_read.
int xattrs_any(int fd);
