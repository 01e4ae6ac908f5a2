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
  ~name_list()
  {
    free(bytes);
    free(offs);
  }
};

// The digests asked for, fed the same bytes.
class digests {
 public:
  explicit digests(const digest_out *out) : out_(out)
  {
    if (out_->sha1 != nullptr)
      sha1_init(&sha1_);
  }
  ~digests() { sha256_free(&sha256_); }
  digests(const digests &) = delete;
  digests &operator=(const digests &) = delete;
  // -1 with ENOMEM when the SHA-256 context cannot be made.
  int start() { return out_->sha256 != nullptr ? sha256_init(&sha256_) : 0; }
  void update(const void *data, size_t n)
  {
    if (out_->sha1 != nullptr)
      sha1_update(&sha1_, data, int32_t(n));
    if (out_->sha256 != nullptr)
      sha256_update(&sha256_, data, n);
  }
  void finish()
  {
    if (out_->sha1 != nullptr)
      sha1_final(&sha1_, out_->sha1);
    if (out_->sha256 != nullptr)
      sha256_final(&sha256_, out_->sha256);
  }

 private:
  const digest_out *out_;
  sha1_ctx sha1_;
  sha256_ctx sha256_ = {nullptr};
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

// A directory's digests in a snapshot: those of its names, "." and ".."
// left out, in ascending byte order, each followed by one zero byte. The
// order the host lists them in does not count. fd is an open directory,
// closed in every case.
int
digest_dir(int fd, const digest_out *out)
{
  name_list names;
  if (port_dir_names(fd, name_list_add, &names) != 0)
    return -1;
  // strcmp() compares unsigned bytes: a name that starts with 0xc3 sorts
  // after "z" whatever the locale or the signedness of char.
  const char *base = names.bytes;
  std::sort(names.offs, names.offs + names.n, [base](size_t a, size_t b) {
    return strcmp(base + a, base + b) < 0;
  });
  digests d(out);
  if (d.start() != 0)
    return -1;
  for (size_t i = 0; i < names.n; i++) {
    const char *n = base + names.offs[i];
    d.update(n, strlen(n) + 1);
  }
  d.finish();
  return 0;
}

// One buffer per digest thread, the same for every file: reading into it
// costs a copy, which is cheaper here than mapping the page cache (see
// sha_fd_feed). Half a level 2 cache of today's processors: the hash finds
// what the copy left there, and a large file takes a quarter of the reads
// that 128 KiB did (3% of a build of /usr).
constexpr size_t DIGEST_READ_LEN = 512 * 1024;

// Reads fd from its offset to the end into d. A regular file's read comes
// short only at the end of the file as it then stands: when it has also
// brought the bytes up to size, the read that would return 0 is left out,
// one system call per file. 0, or -1 with errno from the read that failed.
int
read_all(int fd, off_t size, digests *d, int *cold)
{
  // 64-byte alignment keeps the loads of the block function on one cache
  // line each.
  alignas(64) uint8_t buf[DIGEST_READ_LEN];
  uint64_t done = 0;
  bool first = cold != nullptr;
  for (;;) {
    ssize_t got = sha_read_next(fd, buf, sizeof buf, &first, cold);
    if (got > 0) {
      d->update(buf, size_t(got));
      done += uint64_t(got);
      if (size_t(got) < sizeof buf && size >= 0 && done == uint64_t(size))
        return 0;
    } else if (got == 0) {
      return 0;
    } else if (errno != EINTR) {
      return -1;
    }
  }
}

}  // namespace

int
digest_opened(int opened, const port_stat *st, off_t size,
              const digest_out *out, int *cold)
{
  fd_guard fd(opened);
  if (S_ISDIR(st->st_mode))
    return digest_dir(fd.release(), out);
  digests d(out);
  if (d.start() != 0)
    return -1;
  int r = read_all(fd.get(), size, &d, cold);
  int e = errno;
  d.finish();
  errno = e;
  return r;
}

int
digest_link(const char *path, const port_stat *st, const digest_out *out)
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
      digests d(out);
      if (d.start() != 0)
        return -1;
      d.update(buf, size_t(n));
      d.finish();
      return 0;
    }
    cap *= 2;
  }
}
