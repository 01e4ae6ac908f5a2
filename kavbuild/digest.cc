// digest.cc: the checksums of a snapshot's objects.
#include "kavbuild/digest.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

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

}  // namespace

uint8_t *
digest_object(const char *path, const port_stat *st, uint8_t out[SHA1_LEN],
              int *cold)
{
  fd_guard fd(port_open_object(path, st));
  if (fd.get() < 0)
    return nullptr;
  if (S_ISDIR(st->st_mode))
    return digest_dir(fd.release(), out);
  return sha_fd_cold(fd.get(), out, cold);
}

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
