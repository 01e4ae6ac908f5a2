// fuzz_util.h: what the fuzz targets share: fuzz input as a named file,
// a frame reader written independently of lib/db, and quiet output.
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

  void
  set(const uint8_t *data, size_t size)
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

// The printers write to standard output; the fuzzer needs only their side
// effects on memory, so the output goes nowhere.
inline void
fuzz_quiet_stdout()
{
  if (freopen("/dev/null", "w", stdout) == nullptr)
    abort();
  setenv("TZ", "UTC", 1);
}

#define FUZZ_CHECK(cond)                                                  \
  do {                                                                    \
    if (!(cond)) {                                                        \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__,    \
              #cond);                                                     \
      abort();                                                            \
    }                                                                     \
  } while (0)
