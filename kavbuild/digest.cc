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

// Reads the next buffer of r once all it read before is hashed. A regular
// file's read comes short only at the end of the file as it then stands:
// when it has also brought the bytes up to size, the read that would
// return 0 is left out, one system call per file.
void
run_fill(digest_run *r)
{
  if (r->at < r->have || r->eof)
    return;
  for (;;) {
    ssize_t got =
        sha_read_next(r->fd, r->buf, DIGEST_RUN_LEN, &r->first, r->cold);
    if (got > 0) {
      r->have = size_t(got);
      r->at = 0;
      r->done += uint64_t(got);
      r->eof = size_t(got) < DIGEST_RUN_LEN && r->size >= 0 &&
               r->done == uint64_t(r->size);
      return;
    }
    if (got == 0 || errno != EINTR) {
      r->err = got == 0 ? 0 : errno;
      r->eof = true;
      return;
    }
  }
}

// What r holds read and not yet hashed, all of it.
void
run_hash(digest_run *r)
{
  const uint8_t *p = r->buf + r->at;
  size_t n = r->have - r->at;
  if (r->out.sha1 != nullptr)
    sha1_update(&r->sha1, p, int32_t(n));
  if (r->out.sha256 != nullptr)
    sha256_lane_update(&r->sha256, p, n);
  r->at = r->have;
}

// The first n bytes that a and b hold unhashed, each digest the two ask
// for alike as two streams at once.
void
run_hash2(digest_run *a, digest_run *b, size_t n)
{
  const uint8_t *pa = a->buf + a->at, *pb = b->buf + b->at;
  if (a->out.sha1 != nullptr && b->out.sha1 != nullptr) {
    sha1_update2(&a->sha1, pa, &b->sha1, pb, n);
  } else {
    if (a->out.sha1 != nullptr)
      sha1_update(&a->sha1, pa, int32_t(n));
    if (b->out.sha1 != nullptr)
      sha1_update(&b->sha1, pb, int32_t(n));
  }
  if (a->out.sha256 != nullptr && b->out.sha256 != nullptr) {
    sha256_lane_update2(&a->sha256, pa, &b->sha256, pb, n);
  } else {
    if (a->out.sha256 != nullptr)
      sha256_lane_update(&a->sha256, pa, n);
    if (b->out.sha256 != nullptr)
      sha256_lane_update(&b->sha256, pb, n);
  }
  a->at += n;
  b->at += n;
}

// Writes r's digests and closes its descriptor once it has read and
// hashed all there is: whether it has.
bool
run_finish(digest_run *r)
{
  if (!r->eof || r->at < r->have)
    return false;
  if (r->out.sha1 != nullptr)
    sha1_final(&r->sha1, r->out.sha1);
  if (r->out.sha256 != nullptr)
    sha256_lane_final(&r->sha256, r->out.sha256);
  close(r->fd);
  r->fd = -1;
  return true;
}

}  // namespace

int
digest_run_start(digest_run *r, uint8_t *buf, int fd, const port_stat *st,
                 off_t size, const digest_out *out, int *cold)
{
  fd_guard g(fd);
  if (S_ISDIR(st->st_mode))
    return digest_dir(g.release(), out);
  *r = digest_run{};
  r->fd = -1;
  r->size = size;
  r->first = cold != nullptr;
  r->cold = cold;
  r->out = *out;
  r->buf = buf;
  if (out->sha1 != nullptr)
    sha1_init(&r->sha1);
  if (out->sha256 != nullptr)
    sha256_lane_init(&r->sha256);
  r->fd = g.release();
  return 1;
}

unsigned
digest_run_step(digest_run *a, digest_run *b)
{
  digest_run *runs[2] = {a, b};
  for (digest_run *r : runs)
    if (r != nullptr)
      run_fill(r);
  if (a != nullptr && b != nullptr) {
    // What is left of the longer waits for a partner in the next step.
    size_t n = std::min(a->have - a->at, b->have - b->at);
    if (n > 0)
      run_hash2(a, b, n);
  } else {
    for (digest_run *r : runs)
      if (r != nullptr)
        run_hash(r);
  }
  unsigned done = 0;
  for (int i = 0; i < 2; i++)
    if (runs[i] != nullptr && run_finish(runs[i]))
      done |= 1u << i;
  return done;
}

int
digest_opened(int opened, const port_stat *st, off_t size,
              const digest_out *out, int *cold)
{
  // 64-byte alignment keeps the loads of the block function on one cache
  // line each. Reading into it costs a copy, which is cheaper here than
  // mapping the page cache (see sha_fd_feed).
  alignas(64) uint8_t buf[DIGEST_RUN_LEN];
  digest_run r;
  int s = digest_run_start(&r, buf, opened, st, size, out, cold);
  if (s <= 0)
    return s;
  while ((digest_run_step(&r, nullptr) & 1) == 0) {
  }
  errno = r.err;
  return r.err != 0 ? -1 : 0;
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
