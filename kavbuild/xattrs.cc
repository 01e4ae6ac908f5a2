// xattrs.cc: reading an object's extended attributes.
#include "kavbuild/xattrs.h"

#include <sys/xattr.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "db/db.h"
#include "sha256/sha256.h"

namespace {

// The names the kernel lists, each terminated; 0 with *n bytes, or -1.
// Attributes are not supported: no names.
int
list_names(const char *path, xattr_room *room, size_t *n)
{
  ssize_t got = llistxattr(path, room->names, sizeof room->names);
  if (got < 0) {
    if (errno == ENOTSUP)
      got = 0;
    else
      return -1;
  }
  *n = size_t(got);
  return 0;
}

}  // namespace

int
xattrs_read(const char *path, xattr_room *room, uint8_t *items, size_t cap,
            size_t *len)
{
  *len = 0;
  size_t n;
  if (list_names(path, room, &n) != 0)
    return -1;
  if (n == 0)
    return 0;
  // One order whatever the kernel's, so that equal sets store equal bytes.
  const char **offs = room->sorted;
  size_t count = 0;
  for (size_t at = 0; at < n; at += strlen(room->names + at) + 1)
    offs[count++] = room->names + at;
  std::sort(offs, offs + count,
            [](const char *a, const char *b) { return strcmp(a, b) < 0; });
  for (size_t i = 0; i < count; i++) {
    ssize_t v = lgetxattr(path, offs[i], room->value, sizeof room->value);
    if (v < 0 && errno == ENODATA)
      continue;  // removed since the listing: it is no longer there
    if (v < 0)
      return -1;
    uint8_t sum[SHA256_LEN];
    size_t vlen = size_t(v);
    if (vlen > DB_XATTR_WHOLE_MAX &&
        sha256_buf(room->value, vlen, sum) == nullptr)
      return -1;
    if (db_xattr_put(items, cap, len, offs[i], room->value, vlen, sum) != 0)
      return -1;
  }
  return 0;
}

int
xattrs_any(int fd)
{
  ssize_t got = flistxattr(fd, nullptr, 0);
  if (got < 0)
    return errno == ENOTSUP ? 0 : -1;
  return got > 0;
}
