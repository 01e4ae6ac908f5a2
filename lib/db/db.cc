// db.cc: stored records and the frames of a database file.
#include "db/db.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "db/le.h"
#include "port/port.h"

namespace {

// The attribute table is the one source of the mask letters: each letter
// names one bit of its own, together every bit of DB_EVERY, and the first
// DB_NBASE are the nine of the stored record.
constexpr bool
attrs_well_formed()
{
  uint32_t seen = 0;
  for (size_t i = 0; i < DB_NATTRS; i++) {
    if (i == DB_NBASE && seen != DB_ALL)
      return false;
    uint32_t bit = DB_ATTRS[i].bit;
    if (bit == 0 || (bit & (bit - 1)) != 0 || (seen & bit) != 0 ||
        DB_ATTRS[i].name[0] == '\0')
      return false;
    seen |= bit;
    for (size_t j = 0; j < i; j++)
      if (DB_ATTRS[j].letter == DB_ATTRS[i].letter)
        return false;
  }
  return seen == DB_EVERY;
}
static_assert(DB_NATTRS == 11 && DB_NBASE == 9,
              "nine attributes and two of the extension");
static_assert(attrs_well_formed(), "each attribute once, one bit each");

// A set letter is no attribute letter, and names attributes only.
constexpr bool
attr_sets_well_formed()
{
  for (const db_attr &s : DB_ATTR_SETS)
    if (db_attr_find(DB_ATTRS, s.letter) != 0 || s.bit == 0 ||
        (s.bit & ~DB_EVERY) != 0)
      return false;
  return true;
}

}  // namespace

static_assert(attr_sets_well_formed(), "set letters stand apart");
static_assert(db_attr_find(DB_ATTR_SETS, 'C') ==
                  (DB_ALL & ~(DB_CTIME | DB_SIZE | DB_CSUM)),
              "C is every attribute but ctime, size and checksum");
static_assert(db_attr_find(DB_ATTR_SETS, 'F') == DB_ALL,
              "F is every attribute of the stored record");
static_assert(db_attr_find(DB_ATTR_SETS, 'A') == DB_EVERY,
              "A is every attribute");
static_assert((DB_ALL & DB_EXT_ATTRS) == 0 && DB_EVERY <= 0xffff,
              "the extension's bits are apart and fit the stored mask");

// Where each field sits in a stored record.
enum {
  OFF_INO = 0,
  OFF_MODE = 8,
  OFF_LINKS = 10,
  OFF_UID = 12,
  OFF_GID = 16,
  OFF_CTIME = 20,
  OFF_SIZE = 24,
  OFF_FLAGS = 32,
  OFF_CSUM = 34,
  OFF_MASK = OFF_CSUM + DB_SUM_LEN,
};
static_assert(OFF_MASK + 2 == DB_REC_LEN, "stored record is 56 bytes");

// Where each field sits in a frame head.
enum { OFF_PATHLEN = 0, OFF_DATALEN = 2, OFF_KIND = 6 };
static_assert(OFF_KIND + 1 == DB_HEAD_LEN, "frame head is 7 bytes");

// Reading goes through one buffer per handle so that a frame costs a few
// memcpy calls rather than three read() calls. The buffer holds a whole
// head and the longest path, so those never straddle a refill.
constexpr size_t DB_BUF_LEN = 64 * 1024;
static_assert(DB_BUF_LEN >= DB_HEAD_LEN + DB_PATH_MAX, "head and path fit");

struct db_handle {
  int fd;
  uint8_t *buf;   // allocated on the first read; writers never need it
  size_t pos;     // next unread byte in buf
  size_t end;     // one past the last byte read into buf
  bool eof;       // read() has returned 0
  uint8_t *wbuf;  // frames waiting to be written, when db_wbuffer asked
  size_t wlen;    // bytes waiting in wbuf
};

// Large enough that a build writes its frames in a few hundred calls.
constexpr size_t DB_WBUF_LEN = 256 * 1024;

namespace {

// Writes the cnt buffers of v whole: a short write is continued, EINTR
// retried. v is used up as it goes.
int
writev_all(int fd, iovec *v, int cnt)
{
  while (cnt > 0) {
    ssize_t w = writev(fd, v, cnt);
    if (w < 0) {
      if (errno == EINTR)
        continue;
      return -1;
    }
    if (w == 0) {  // no progress and no error: give up rather than spin
      errno = EIO;
      return -1;
    }
    size_t done = size_t(w);
    while (cnt > 0 && done >= v->iov_len) {
      done -= v->iov_len;
      v++;
      cnt--;
    }
    if (cnt > 0) {
      v->iov_base = static_cast<char *>(v->iov_base) + done;
      v->iov_len -= done;
    }
  }
  return 0;
}

// read(), continued after EINTR.
ssize_t
read_some(int fd, void *buf, size_t n)
{
  ssize_t r;
  do
    r = read(fd, buf, n);
  while (r < 0 && errno == EINTR);
  return r;
}

}  // namespace

void
db_rec_pack(const db_rec *rec, uint8_t out[DB_REC_LEN])
{
  le_put64(out + OFF_INO, rec->ino);
  le_put16(out + OFF_MODE, rec->mode);
  le_put16(out + OFF_LINKS, uint16_t(rec->links));
  le_put32(out + OFF_UID, rec->uid);
  le_put32(out + OFF_GID, rec->gid);
  le_put32(out + OFF_CTIME, uint32_t(rec->ctime));
  le_put64(out + OFF_SIZE, uint64_t(rec->size));
  le_put16(out + OFF_FLAGS, uint16_t(rec->flags));
  memcpy(out + OFF_CSUM, rec->csum, DB_SUM_LEN);
  le_put16(out + OFF_MASK, rec->mask);
}

void
db_rec_unpack(const uint8_t in[DB_REC_LEN], db_rec *rec)
{
  memset(rec, 0, sizeof *rec);
  rec->ino = le_get64(in + OFF_INO);
  rec->mode = le_get16(in + OFF_MODE);
  rec->links = int32_t(le_get16(in + OFF_LINKS));
  rec->uid = le_get32(in + OFF_UID);
  rec->gid = le_get32(in + OFF_GID);
  rec->ctime = int64_t(le_get32(in + OFF_CTIME));
  rec->size = int64_t(le_get64(in + OFF_SIZE));
  rec->flags = le_get16(in + OFF_FLAGS);
  memcpy(rec->csum, in + OFF_CSUM, DB_SUM_LEN);
  rec->mask = le_get16(in + OFF_MASK);
}

db_handle *
db_open(const char *name, int flags, uint16_t mode)
{
  std::unique_ptr<db_handle, decltype(&std::free)> db(
      static_cast<db_handle *>(calloc(1, sizeof(db_handle))), std::free);
  if (db == nullptr) {
    errno = ENOMEM;
    return nullptr;
  }
  fd_guard fd(open(name, flags, mode_t(mode)));
  if (fd.get() < 0)
    return nullptr;
  // A file made by this call gets exactly the bits asked for: the umask
  // could otherwise leave a new database unreadable to its own owner.
  if ((flags & (O_CREAT | O_EXCL)) == (O_CREAT | O_EXCL) &&
      fchmod(fd.get(), mode_t(mode)) != 0)
    return nullptr;
  db->fd = fd.release();
  return db.release();
}

int
db_wbuffer(db_handle *db)
{
  if (db->wbuf != nullptr)
    return 0;
  db->wbuf = static_cast<uint8_t *>(malloc(DB_WBUF_LEN));
  if (db->wbuf == nullptr) {
    errno = ENOMEM;
    return -1;
  }
  db->wlen = 0;
  return 0;
}

int
db_flush(db_handle *db)
{
  if (db->wbuf == nullptr || db->wlen == 0)
    return 0;
  // The waiting frames are given up after a failure: the caller reports
  // it and stops, and a later flush must not write them after a gap.
  iovec v = {db->wbuf, db->wlen};
  db->wlen = 0;
  return writev_all(db->fd, &v, 1);
}

int
db_fd(const db_handle *db)
{
  return db->fd;
}

int
db_close(db_handle *db)
{
  int f = db_flush(db);
  // When the flush failed, the guard closes the descriptor on the way out
  // and keeps the flush's errno; free() leaves errno alone.
  fd_guard fd(db->fd);
  free(db->buf);
  free(db->wbuf);
  free(db);
  if (f != 0)
    return -1;
  return close(fd.release()) < 0 ? -1 : 0;
}

namespace {

// Writes head, path and data with one writev() so that a failed call cannot
// leave a head behind without its path; a short write is continued until
// the whole frame is out.
int
put_frame(db_handle *db, const char *path, size_t n, uint32_t len, int kind,
          const void *data)
{
  // The reader refuses such frames, so writing one would lose the record
  // and everything after it.
  if (n == 0 || len == 0) {
    errno = EINVAL;
    return -1;
  }
  if (n > DB_PATH_MAX) {
    errno = ENAMETOOLONG;
    return -1;
  }
  uint8_t head[DB_HEAD_LEN];
  le_put16(head + OFF_PATHLEN, uint16_t(n));
  le_put32(head + OFF_DATALEN, len);
  head[OFF_KIND] = uint8_t(kind);

  if (db->wbuf != nullptr) {
    size_t total = sizeof head + n + len;
    if (db->wlen + total > DB_WBUF_LEN && db_flush(db) != 0)
      return -1;
    if (total <= DB_WBUF_LEN) {
      uint8_t *p = db->wbuf + db->wlen;
      memcpy(p, head, sizeof head);
      memcpy(p + sizeof head, path, n);
      memcpy(p + sizeof head + n, data, len);
      db->wlen += total;
      return 0;
    }
  }

  iovec iov[3] = {{head, sizeof head},
                  {const_cast<char *>(path), n},
                  {const_cast<void *>(data), len}};
  return writev_all(db->fd, iov, 3);
}

}  // namespace

int
db_put(db_handle *db, const db_frame *fr, const void *data)
{
  size_t n = strnlen(fr->path, sizeof fr->path);
  return put_frame(db, fr->path, n, fr->len, fr->kind, data);
}

int
db_argput(db_handle *db, const char *path, uint32_t len, int kind,
          const void *data)
{
  // Bounded so an overlong path costs no more than DB_PATH_MAX + 1 bytes.
  size_t n = strnlen(path, DB_PATH_MAX + 1);
  return put_frame(db, path, n, len, kind, data);
}

namespace {

// Reads until at least want bytes (want <= DB_BUF_LEN) are buffered or the
// file ends. -1 on a read error, else the number of bytes buffered, which
// is below want only at the end of the file.
ssize_t
fill(db_handle *db, size_t want)
{
  size_t have = db->end - db->pos;
  if (have >= want || db->eof)
    return ssize_t(have);
  if (db->buf == nullptr) {
    db->buf = static_cast<uint8_t *>(malloc(DB_BUF_LEN));
    if (db->buf == nullptr) {
      errno = ENOMEM;
      return -1;
    }
  }
  if (db->pos + want > DB_BUF_LEN) {
    memmove(db->buf, db->buf + db->pos, have);
    db->pos = 0;
    db->end = have;
  }
  while (db->end - db->pos < want) {
    ssize_t r = read_some(db->fd, db->buf + db->end, DB_BUF_LEN - db->end);
    if (r < 0)
      return -1;
    if (r == 0) {
      db->eof = true;
      break;
    }
    db->end += size_t(r);
  }
  return ssize_t(db->end - db->pos);
}

// Copies exactly n bytes of the file to dst: first what is buffered, then
// large remainders straight from the file. -1 with EBADMSG if the file
// ends first, with read()'s errno if reading fails.
int
take(db_handle *db, void *dst, size_t n)
{
  uint8_t *out = static_cast<uint8_t *>(dst);
  while (n > 0) {
    size_t have = db->end - db->pos;
    if (have == 0) {
      if (n >= DB_BUF_LEN && !db->eof) {
        ssize_t r = read_some(db->fd, out, n);
        if (r < 0)
          return -1;
        if (r == 0) {
          db->eof = true;
          errno = EBADMSG;
          return -1;
        }
        out += r;
        n -= size_t(r);
        continue;
      }
      ssize_t r = fill(db, n < DB_BUF_LEN ? n : DB_BUF_LEN);
      if (r < 0)
        return -1;
      if (r == 0) {
        errno = EBADMSG;
        return -1;
      }
      continue;
    }
    size_t k = have < n ? have : n;
    memcpy(out, db->buf + db->pos, k);
    db->pos += k;
    out += k;
    n -= k;
  }
  return 0;
}

}  // namespace

int
db_get(db_handle *db, db_frame *fr, void *data, size_t cap)
{
  ssize_t have = fill(db, DB_HEAD_LEN);
  if (have < 0)
    return -1;
  if (have == 0)
    return 0;
  if (size_t(have) < DB_HEAD_LEN) {
    errno = EBADMSG;
    return -1;
  }
  const uint8_t *head = db->buf + db->pos;
  size_t n = le_get16(head + OFF_PATHLEN);
  uint32_t len = le_get32(head + OFF_DATALEN);
  uint8_t kind = head[OFF_KIND];
  db->pos += DB_HEAD_LEN;
  if (n == 0 || n > DB_PATH_MAX || len == 0 || len > cap) {
    errno = EBADMSG;
    return -1;
  }
  fr->len = len;
  fr->kind = kind;
  if (take(db, fr->path, n) < 0)
    return -1;
  // No writer puts a zero byte in a path: one would cut it short in every
  // report, and two paths would read as one.
  if (memchr(fr->path, '\0', n) != nullptr) {
    errno = EBADMSG;
    return -1;
  }
  fr->path[n] = '\0';
  if (take(db, data, len) < 0)
    return -1;
  return 1;
}

int
db_readall(const char *name, db_visit_fn fn, void *arg, void *data, size_t cap)
{
  db_handle *db = db_open(name, O_RDONLY, 0);
  if (db == nullptr)
    return -1;
  db_frame fr;
  int r;
  while ((r = db_get(db, &fr, data, cap)) == 1) {
    r = fn(&fr, data, arg);
    if (r != 0)
      break;
  }
  // The caller reports errno from the failure, not from closing.
  int e = errno;
  db_close(db);
  errno = e;
  return r;
}
