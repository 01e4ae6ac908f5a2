// capture.cc: one object's attributes into one snapshot frame.
#include "kavbuild/capture.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "diag/diag.h"
#include "kavbuild/digest.h"
#include "kavbuild/digestq.h"
#include "kavbuild/xattrs.h"

struct capture_ctx {
  db_handle *db;
  dq *q;  // null: one thread
  uint64_t objects;
  uint64_t bytes;
  // Used on the walk's thread only, one object at a time.
  xattr_room room;
  uint8_t items[DB_XATTR_ITEMS_MAX];
  uint8_t frame[DB_REC_LEN + DB_EXT_MAX];
};

namespace {

volatile sig_atomic_t status_wanted;

// How an object's checksum failed, in dq_item::failed. FAIL_GONE: the
// object was removed after the walk read its status; it is left out, as
// the walk leaves out an entry that is gone before then.
enum { FAIL_NONE, FAIL_SHA, FAIL_LINK, FAIL_GONE };

// The record of the object as the walk's status shows it; the checksum
// comes later.
void
item_fill(dq_item *it, const char *path, const port_stat *st, uint16_t mask,
          int fd)
{
  it->fd = fd;
  db_rec *rec = &it->rec;
  memset(rec, 0, sizeof *rec);
  rec->mask = mask;
  memset(&it->ext, 0, sizeof it->ext);
  if (mask & DB_EXT_ATTRS)
    rec->ext = &it->ext;
  if (mask & DB_INO)
    rec->ino = st->st_ino;
  if (mask & DB_MODE)
    rec->mode = uint16_t(st->st_mode);
  if (mask & DB_LINKS)
    rec->links = int32_t(st->st_nlink);
  if (mask & DB_UID)
    rec->uid = st->st_uid;
  if (mask & DB_GID)
    rec->gid = st->st_gid;
  if (mask & DB_CTIME)
    rec->ctime = st->st_ctim.tv_sec;
  if (mask & DB_SIZE)
    rec->size = st->st_size;
  if (mask & DB_FLAGS)
    rec->flags = st->st_flags;
  it->st = *st;
  it->err = 0;
  it->failed = FAIL_NONE;
  it->no_xattrs = false;
  size_t n = strnlen(path, DB_PATH_MAX);
  memcpy(it->path, path, n);
  it->path[n] = '\0';
}

// The digests the mask asks for: SHA-1 into csum, SHA-256 into the
// extension.
digest_out
wanted(dq_item *it)
{
  return {(it->rec.mask & DB_CSUM) ? it->rec.csum : nullptr,
          (it->rec.mask & DB_SHA256) ? it->ext.sha256 : nullptr};
}

// Only regular files and directories are read; FIFOs, devices and sockets
// are never opened: their digests stay zero and the mask keeps c and h.
bool
reads_contents(const dq_item *it)
{
  return (it->rec.mask & (DB_CSUM | DB_SHA256)) &&
         (S_ISREG(it->st.st_mode) || S_ISDIR(it->st.st_mode));
}

// The walk's descriptor of an object whose contents are not read.
void
drop_fd(dq_item *it)
{
  if (it->fd >= 0)
    close(it->fd);
  it->fd = -1;
}

// The item's digest failed with errno.
void
note_failure(dq_item *it)
{
  it->err = errno;
  it->failed = errno == ENOENT ? FAIL_GONE : FAIL_SHA;
}

// The descriptor to read the item from, the walk's or one opened for its
// status, noting whether the object has extended attributes; -1 with
// errno.
int
contents_fd(dq_item *it)
{
  int fd = it->fd >= 0 ? it->fd : port_open_object(it->path, &it->st);
  it->fd = -1;  // the digest closes it
  if (fd >= 0 && (it->rec.mask & DB_XATTR))
    it->no_xattrs = xattrs_any(fd) == 0;
  return fd;
}

// A dq_digest_fn: the contents, on whichever thread runs it, from the
// descriptor the walk opened (its status is the item's), else from the
// path. The object open for them also tells, without another lookup of
// its path, whether it has extended attributes to read when its frame is
// made.
void
digest_contents(dq_item *it, int *cold)
{
  digest_out out = wanted(it);
  off_t size = it->fd >= 0 ? it->st.st_size : -1;
  int fd = contents_fd(it);
  if (fd < 0 || digest_opened(fd, &it->st, size, &out, cold) != 0)
    note_failure(it);
}

// A worker's two lanes of digests in steps (dq_pair_ops), with a buffer
// each.
struct lanes {
  digest_run run[2];
  dq_item *item[2];  // null: the lane is free
  uint8_t *buf;
};

void *
lanes_open()
{
  lanes *l = static_cast<lanes *>(calloc(1, sizeof(lanes)));
  if (l == nullptr)
    return nullptr;
  l->buf = static_cast<uint8_t *>(aligned_alloc(64, 2 * DIGEST_RUN_LEN));
  if (l->buf == nullptr) {
    free(l);
    return nullptr;
  }
  return l;
}

void
lanes_close(void *arg)
{
  lanes *l = static_cast<lanes *>(arg);
  free(l->buf);
  free(l);
}

int
lanes_begin(void *arg, int lane, dq_item *it, int *cold)
{
  lanes *l = static_cast<lanes *>(arg);
  off_t size = it->fd >= 0 ? it->st.st_size : -1;
  digest_out out = wanted(it);
  int fd = contents_fd(it);
  int r = fd < 0 ? -1
                 : digest_run_start(&l->run[lane],
                                    l->buf + size_t(lane) * DIGEST_RUN_LEN, fd,
                                    &it->st, size, &out, cold);
  if (r < 0)
    note_failure(it);
  if (r <= 0)
    return 0;
  l->item[lane] = it;
  return 1;
}

unsigned
lanes_step(void *arg)
{
  lanes *l = static_cast<lanes *>(arg);
  unsigned done = digest_run_step(l->item[0] ? &l->run[0] : nullptr,
                                  l->item[1] ? &l->run[1] : nullptr);
  for (int i = 0; i < 2; i++) {
    if ((done & (1u << i)) == 0)
      continue;
    if (l->run[i].err != 0) {
      errno = l->run[i].err;
      note_failure(l->item[i]);
    }
    l->item[i] = nullptr;
  }
  return done;
}

const dq_pair_ops pair_ops = {lanes_open, lanes_close, lanes_begin, lanes_step};

// A link's target is read on the walk's thread: it costs no more than the
// status.
void
digest_target(dq_item *it)
{
  digest_out out = wanted(it);
  if ((it->rec.mask & (DB_CSUM | DB_SHA256)) && S_ISLNK(it->st.st_mode) &&
      digest_link(it->path, &it->st, &out) != 0) {
    it->err = errno;
    it->failed = errno == ENOENT ? FAIL_GONE : FAIL_LINK;
  }
}

// One line through the message family, which escapes the path. A line
// that cannot be written is lost; the build goes on.
void
print_status(const capture_ctx *c, const char *path)
{
  status_wanted = 0;
  char text[DB_PATH_MAX + 80];  // two counts and their words: 76 bytes
  snprintf(text, sizeof text,
           "%" PRIu64 " objects recorded, %" PRIu64 " bytes digested, %s",
           c->objects, c->bytes, path);
  warn_msg2("kavbuild", text);
}

// A dq_wait_fn: the status line asked for while the walk waits for a
// digest names the object it waits for.
void
wait_for(const dq_item *it, void *arg)
{
  if (status_wanted)
    print_status(static_cast<const capture_ctx *>(arg), it->path);
}

// A dq_emit_fn: the object's frame, or the report of its failure, on the
// walk's thread and in walk order.
int
emit(dq_item *it, void *arg)
{
  capture_ctx *c = static_cast<capture_ctx *>(arg);
  if (status_wanted)
    print_status(c, it->path);
  if (it->failed == FAIL_GONE)
    return 0;
  if (it->failed == FAIL_SHA) {
    errno = it->err;
    warn_sys2("sha_file()", it->path);
    return -1;
  }
  if (it->failed == FAIL_LINK) {
    errno = it->err;
    warn_sys2("readlink()", it->path);
    return -1;
  }
  // The attributes are read in walk order, here, as the frame is made.
  if ((it->rec.mask & DB_XATTR) && !it->no_xattrs) {
    size_t len;
    if (xattrs_read(it->path, &c->room, c->items, sizeof c->items, &len) != 0) {
      warn_sys2("xattrs_read()", it->path);
      return -1;
    }
    it->ext.xa = c->items;
    it->ext.xa_len = uint32_t(len);
  }
  uint32_t len = db_frame_pack(&it->rec, 1, c->frame);
  if (db_argput(c->db, it->path, len, DB_KIND_SNAP, c->frame) != 0) {
    warn_sys1("db_put()");
    return -1;
  }
  c->objects++;
  if ((it->rec.mask & (DB_CSUM | DB_SHA256)) && S_ISREG(it->st.st_mode))
    c->bytes += uint64_t(it->st.st_size);
  return 0;
}

}  // namespace

capture_ctx *
capture_open(db_handle *db, int threads)
{
  capture_ctx *c = static_cast<capture_ctx *>(calloc(1, sizeof *c));
  if (c == nullptr) {
    errno = ENOMEM;
    return nullptr;
  }
  c->db = db;
  if (threads > 1) {
    c->q = dq_open(threads, digest_contents, emit, wait_for, c);
    if (c->q == nullptr) {
      free(c);
      return nullptr;
    }
    dq_set_pairs(c->q, &pair_ops);
  }
  return c;
}

void
capture_close(capture_ctx *c)
{
  if (c == nullptr)
    return;
  dq_close(c->q);
  free(c);
}

void
capture_status_request()
{
  status_wanted = 1;
}

void
capture_counts(const capture_ctx *c, uint64_t *objects, uint64_t *bytes)
{
  *objects = c->objects;
  *bytes = c->bytes;
}

int
capture_file(const char *path, const port_stat *st, uint16_t mask, void *arg,
             const pclent *, int fd)
{
  capture_ctx *c = static_cast<capture_ctx *>(arg);
  if (c->q == nullptr) {
    dq_item it;
    item_fill(&it, path, st, mask, fd);
    if (reads_contents(&it))
      digest_contents(&it, nullptr);
    drop_fd(&it);
    digest_target(&it);
    return emit(&it, c);
  }
  dq_item *it = dq_slot(c->q);
  if (it == nullptr) {
    if (fd >= 0)
      close(fd);
    return dq_result(c->q);
  }
  item_fill(it, path, st, mask, fd);
  bool reads = reads_contents(it);
  if (!reads)
    drop_fd(it);
  digest_target(it);
  return dq_push(c->q, reads);
}

int
capture_sync(void *arg)
{
  capture_ctx *c = static_cast<capture_ctx *>(arg);
  return c->q == nullptr ? 0 : dq_drain(c->q);
}
