// fuzz_util.h: what the fuzz targets share: fuzz input as a named file,
// a frame and record reader written independently of lib/db, and quiet
// output.
#pragma once
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "db/db.h"

// A file in memory whose name the code under test can open again.
struct fuzz_file {
  int fd = -1;
  char name[64] = "";

  void set(const uint8_t *data, size_t size)
  {
    if (fd < 0) {
      fd = memfd_create("fuzz", 0);
      if (fd < 0)
        abort();
      snprintf(name, sizeof name, "/proc/self/fd/%d", fd);
    }
    if (ftruncate(fd, 0) != 0 ||
        (size > 0 && pwrite(fd, data, size, 0) != ssize_t(size)))
      abort();
  }
};

// One frame as the file format defines it.
struct ref_frame {
  std::string path;  // up to the first zero byte, as a C string reads it
  uint8_t kind;
  std::vector<uint8_t> data;
};

// Splits a database into frames the way the format reads: a 7-byte head
// (path length 16 bits, data length 32 bits, kind), the path, the data.
// Stops at the first frame that is cut short, has an empty or over-long
// path, or empty data or more than cap bytes of it; *bad tells whether the
// file ended cleanly.
inline std::vector<ref_frame>
ref_frames(const uint8_t *d, size_t size, size_t cap, bool *bad)
{
  std::vector<ref_frame> out;
  size_t at = 0;
  *bad = false;
  while (at < size) {
    if (size - at < 7) {
      *bad = true;
      break;
    }
    size_t n = size_t(d[at]) | size_t(d[at + 1]) << 8;
    size_t l = size_t(d[at + 2]) | size_t(d[at + 3]) << 8 |
               size_t(d[at + 4]) << 16 | size_t(d[at + 5]) << 24;
    uint8_t kind = d[at + 6];
    at += 7;
    if (n == 0 || n > 1023 || l == 0 || l > cap || size - at < n + l) {
      *bad = true;
      break;
    }
    ref_frame f;
    f.path.assign(reinterpret_cast<const char *>(d + at), n);
    f.path.resize(strlen(f.path.c_str()));
    f.kind = kind;
    f.data.assign(d + at + n, d + at + n + l);
    out.push_back(std::move(f));
    at += n + l;
  }
  return out;
}

// How many frames, from the first, hold the records their kinds promise:
// two stored records (56 bytes each) for a changed pair (kind 2), one for
// any other kind, and nothing after them but the extensions the record
// codec reads (its own tests check that codec). The readers that decode
// records stop at the first frame that does not.
inline size_t
ref_frames_whole(const std::vector<ref_frame> &frames)
{
  size_t n = 0;
  for (; n < frames.size(); n++) {
    const ref_frame &f = frames[n];
    int recs = f.kind == 2 ? 2 : 1;
    if (f.data.size() < size_t(recs) * 56)
      break;
    db_rec r[2];
    db_ext x[2];
    if (f.data.size() > size_t(recs) * 56 &&
        db_recs_unpack(f.data.data(), f.data.size(), recs, r, x) != 0)
      break;
  }
  return n;
}

// One extended attribute of a record's extension.
struct ref_xattr {
  std::string name;
  std::vector<uint8_t> value;  // the value itself, or its SHA-256 by_sum
  bool by_sum;
  uint32_t size;  // the length of the value itself
};

// A record and what its extension holds; without one, a zero digest and
// no attributes.
struct ref_rec {
  std::vector<uint8_t> stored;  // the 56 bytes
  uint16_t mask;
  bool ext;
  std::vector<uint8_t> sha256;
  std::vector<uint8_t> items;  // the attribute items as stored
  std::vector<ref_xattr> xattrs;
};

inline uint32_t
ref_get32(const uint8_t *p)
{
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 |
         uint32_t(p[3]) << 24;
}

// The n records (1 or 2) of a frame's data that ref_frames_whole takes,
// read by the format's rules: the records, then, when the data goes on,
// one extension per record (version 2 bytes, length 4, items), the digest
// item first when the mask names it, then the attribute items: tag 2 the
// name's length (1), the name and the value, tag 3 the name's length, the
// name, the value's length (4) and its SHA-256.
inline std::vector<ref_rec>
ref_recs(const std::vector<uint8_t> &data, int n)
{
  std::vector<ref_rec> out;
  const uint8_t *d = data.data();
  for (int i = 0; i < n; i++) {
    const uint8_t *r = d + size_t(i) * 56;
    out.push_back({{r, r + 56},
                   uint16_t(r[54] | r[55] << 8),
                   data.size() > size_t(n) * 56,
                   std::vector<uint8_t>(32),
                   {},
                   {}});
  }
  size_t at = size_t(n) * 56;
  for (ref_rec &rec : out) {
    if (!rec.ext)
      break;
    size_t end = at + 6 + ref_get32(d + at + 2);
    at += 6;
    if (rec.mask & DB_SHA256) {
      rec.sha256.assign(d + at + 5, d + at + 5 + 32);
      at += 5 + 32;
    }
    rec.items.assign(d + at, d + end);
    while (at < end) {
      const uint8_t *v = d + at + 5;
      size_t len = ref_get32(d + at + 1);
      ref_xattr x;
      x.name.assign(reinterpret_cast<const char *>(v + 1), v[0]);
      x.by_sum = d[at] == 3;
      const uint8_t *val = v + 1 + v[0];
      if (x.by_sum) {
        x.size = ref_get32(val);
        x.value.assign(val + 4, val + 4 + 32);
      } else {
        x.value.assign(val, v + len);
        x.size = uint32_t(x.value.size());
      }
      rec.xattrs.push_back(std::move(x));
      at += 5 + len;
    }
  }
  return out;
}

// The attributes a record carries: those of its mask, the extension's
// only when it has one.
inline uint32_t
ref_attrs(const ref_rec &r)
{
  return r.mask & (r.ext ? DB_EVERY : DB_ALL);
}

// The attributes whose values differ between two records, as a comparison
// of snapshots counts them: ctime and the masks never do.
inline uint32_t
ref_diff(const ref_rec &a, const ref_rec &b)
{
  static const struct {
    uint32_t bit;
    size_t at, len;
  } fields[] = {{DB_INO, 0, 8},    {DB_MODE, 8, 2},  {DB_LINKS, 10, 2},
                {DB_UID, 12, 4},   {DB_GID, 16, 4},  {DB_SIZE, 24, 8},
                {DB_FLAGS, 32, 2}, {DB_CSUM, 34, 20}};
  uint32_t d = 0;
  for (const auto &f : fields)
    if (memcmp(a.stored.data() + f.at, b.stored.data() + f.at, f.len) != 0)
      d |= f.bit;
  if (a.sha256 != b.sha256)
    d |= DB_SHA256;
  if (a.items != b.items)
    d |= DB_XATTR;
  return d;
}

// The printers write to standard output; the fuzzer needs only their side
// effects on memory, so the output goes nowhere.
inline void
fuzz_quiet_stdout()
{
  if (freopen("/dev/null", "w", stdout) == nullptr)
    abort();
  setenv("TZ", "UTC", 1);
}

#define FUZZ_CHECK(cond)                                                       \
  do {                                                                         \
    if (!(cond)) {                                                             \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      abort();                                                                 \
    }                                                                          \
  } while (0)
