// capture.cc: one object's attributes into one snapshot frame.
#include "kavbuild/capture.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "db/db.h"
#include "diag/diag.h"
#include "sha1/sha1.h"

namespace {

volatile sig_atomic_t status_wanted;
uint64_t objects_recorded;
uint64_t bytes_digested;

// The names of one directory, packed one after another with their zero
// bytes, and their offsets. Directories of hundreds of thousands of entries
// cost two growing arrays, not an allocation per name, and the sort moves
// offsets, not strings.
struct name_list {
  char *bytes = nullptr;
  size_t len = 0, cap = 0;
  size_t *offs = nullptr;
  size_t n = 0, ncap = 0;
  ~name_list() {
    free(bytes);
    free(offs);
  }
};

// A port_name_fn: every name but "." and "..", which say nothing of what the
// directory holds. 0, or -1 with ENOMEM.
int
name_list_add(const char *name, size_t nlen, void *arg)
{
  if (name[0] == '.' && (nlen == 1 || (nlen == 2 && name[1] == '.')))
    return 0;
  name_list *l = static_cast<name_list *>(arg);
  size_t k = nlen + 1;
  if (l->len + k > l->cap) {
    size_t cap = l->cap ? l->cap * 2 : 4096;
    while (cap < l->len + k)
      cap *= 2;
    char *p = static_cast<char *>(realloc(l->bytes, cap));
    if (p == nullptr) {
      errno = ENOMEM;
      return -1;
    }
    l->bytes = p;
    l->cap = cap;
  }
  if (l->n == l->ncap) {
    size_t cap = l->ncap ? l->ncap * 2 : 64;
    size_t *p = static_cast<size_t *>(realloc(l->offs, cap * sizeof *p));
    if (p == nullptr) {
      errno = ENOMEM;
      return -1;
    }
    l->offs = p;
    l->ncap = cap;
  }
  memcpy(l->bytes + l->len, name, k);
  l->offs[l->n++] = l->len;
  l->len += k;
  return 0;
}

// A directory's digest in a snapshot: the SHA-1 of its names, "." and ".."
// left out, in ascending byte order, each followed by one zero byte. The
// order the host lists them in does not count. fd is an open directory,
// closed in every case.
uint8_t *
digest_dir(int fd, uint8_t out[SHA1_LEN])
{
  name_list names;
  if (port_dir_names(fd, name_list_add, &names) != 0)
    return nullptr;
  // strcmp() compares unsigned bytes: a name that starts with 0xc3 sorts
  // after "z" whatever the locale or the signedness of char.
  const char *base = names.bytes;
  std::sort(names.offs, names.offs + names.n, [base](size_t a, size_t b) {
    return strcmp(base + a, base + b) < 0;
  });
  sha1_ctx ctx;
  sha1_init(&ctx);
  for (size_t i = 0; i < names.n; i++) {
    const char *n = base + names.offs[i];
    sha1_update(&ctx, n, int32_t(strlen(n) + 1));
  }
  sha1_final(&ctx, out);
  return out;
}

// The contents of a regular file or the names of a directory, from the very
// object the walk's status describes: a file swapped since then fails
// instead of lending its digest or blocking the build.
uint8_t *
digest_object(const char *path, const port_stat *st, uint8_t out[SHA1_LEN])
{
  fd_guard fd(port_open_object(path, st));
  if (fd.get() < 0)
    return nullptr;
  if (S_ISDIR(st->st_mode))
    return digest_dir(fd.release(), out);
  uint8_t *r = sha_fd(fd.get(), out);
  if (r != nullptr)
    bytes_digested += uint64_t(st->st_size);
  return r;
}

// A link's whole target text; targets may be longer than a path buffer.
int
digest_link(const char *path, const port_stat *st, uint8_t out[SHA1_LEN])
{
  char small[1024];
  size_t cap = sizeof small;
  if (st->st_size >= 0 && size_t(st->st_size) >= cap)
    cap = size_t(st->st_size) + 1;
  std::unique_ptr<char, decltype(&std::free)> big(nullptr, std::free);
  for (;;) {
    char *buf = small;
    if (cap > sizeof small) {
      big.reset(static_cast<char *>(malloc(cap)));
      if (big == nullptr) {
        errno = ENOMEM;
        return -1;
      }
      buf = big.get();
    }
    ssize_t n = readlink(path, buf, cap);
    if (n < 0)
      return -1;
    // A full buffer may hold a cut target (the link changed since its
    // status was read): try again with more room.
    if (size_t(n) < cap) {
      sha_buf(buf, int32_t(n), out);
      return 0;
    }
    cap *= 2;
  }
}

void
print_status(const char *path)
{
  status_wanted = 0;
  fprintf(stderr,
          "kavbuild: %" PRIu64 " objects recorded, %" PRIu64
          " bytes digested, %s\n",
          objects_recorded, bytes_digested, path);
}

}  // namespace

void
capture_status_request()
{
  status_wanted = 1;
}

void
capture_counts(uint64_t *objects, uint64_t *bytes)
{
  *objects = objects_recorded;
  *bytes = bytes_digested;
}

int
capture_file(const char *path, const port_stat *st, uint16_t mask, void *arg,
             const pclent *)
{
  if (status_wanted)
    print_status(path);
  db_rec rec;
  memset(&rec, 0, sizeof rec);
  rec.mask = mask;
  if (mask & DB_INO)
    rec.ino = st->st_ino;
  if (mask & DB_MODE)
    rec.mode = uint16_t(st->st_mode);
  if (mask & DB_LINKS)
    rec.links = int32_t(st->st_nlink);
  if (mask & DB_UID)
    rec.uid = st->st_uid;
  if (mask & DB_GID)
    rec.gid = st->st_gid;
  if (mask & DB_CTIME)
    rec.ctime = st->st_ctim.tv_sec;
  if (mask & DB_SIZE)
    rec.size = st->st_size;
  if (mask & DB_FLAGS)
    rec.flags = st->st_flags;
  if (mask & DB_CSUM) {
    // Other types (FIFOs, devices, sockets) are never opened: their
    // checksum stays zero and the mask keeps c.
    if (S_ISREG(st->st_mode) || S_ISDIR(st->st_mode)) {
      if (digest_object(path, st, rec.csum) == nullptr) {
        warn_msg2("sha_file()", path);
        return -1;
      }
    } else if (S_ISLNK(st->st_mode)) {
      if (digest_link(path, st, rec.csum) != 0) {
        warn_sys2("readlink()", path);
        return -1;
      }
    }
  }
  db_frame fr;
  memset(&fr, 0, sizeof fr);
  size_t n = strnlen(path, DB_PATH_MAX);
  memcpy(fr.path, path, n);
  fr.len = DB_REC_LEN;
  fr.kind = DB_KIND_SNAP;
  uint8_t data[DB_REC_LEN];
  db_rec_pack(&rec, data);
  if (db_put(static_cast<db_handle *>(arg), &fr, data) != 0) {
    warn_sys1("db_put()");
    return -1;
  }
  objects_recorded++;
  return 0;
}
