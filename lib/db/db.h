// db.h: snapshot and difference databases. A database is a sequence of
// frames (7-byte head, path, data) with no header; an empty file is an
// empty database. Nothing here prints: failures return -1 or null with
// errno set.
#pragma once
#include <cstddef>
#include <cstdint>

// Attribute mask bits: what a record carries and what a printer shows.
constexpr uint32_t DB_INO = 0x001;
constexpr uint32_t DB_MODE = 0x002;
constexpr uint32_t DB_LINKS = 0x004;
constexpr uint32_t DB_UID = 0x008;
constexpr uint32_t DB_GID = 0x010;
constexpr uint32_t DB_CTIME = 0x020;
constexpr uint32_t DB_SIZE = 0x040;
constexpr uint32_t DB_FLAGS = 0x080;
constexpr uint32_t DB_CSUM = 0x100;
constexpr uint32_t DB_ALL = 0x1ff;  // the nine of the stored record
// Attributes stored in a record's extension (see db_ext), never in the
// 56 bytes themselves: a record that has none of them has no extension.
constexpr uint32_t DB_SHA256 = 0x200;
constexpr uint32_t DB_XATTR = 0x400;
constexpr uint32_t DB_EXT_ATTRS = DB_SHA256 | DB_XATTR;
constexpr uint32_t DB_EVERY = DB_ALL | DB_EXT_ATTRS;

// A letter of the command lines' and the policy's masks, and its bits.
struct db_attr {
  char letter;
  uint32_t bit;
  const char *name;  // as the long layout labels it and kavjson keys it
};
// The attributes in the order every mask text and every printed layout
// shows them, which is not the order of their bits: the nine of the stored
// record first, then those of the extension.
constexpr db_attr DB_ATTRS[] = {
    {'i', DB_INO, "ino"},      {'l', DB_LINKS, "links"},
    {'u', DB_UID, "uid"},      {'g', DB_GID, "gid"},
    {'m', DB_MODE, "mode"},    {'s', DB_SIZE, "size"},
    {'f', DB_FLAGS, "flags"},  {'t', DB_CTIME, "ctime"},
    {'c', DB_CSUM, "csum"},    {'h', DB_SHA256, "sha256"},
    {'x', DB_XATTR, "xattrs"},
};
constexpr size_t DB_NATTRS = sizeof DB_ATTRS / sizeof DB_ATTRS[0];
// How many of them a record without extension carries: its mask text is
// that long.
constexpr size_t DB_NBASE = 9;
// Letters that name several attributes at once. mask_parse lets them
// replace the mask read so far; the policy language adds them to it.
constexpr db_attr DB_ATTR_SETS[] = {
    {'C', DB_INO | DB_MODE | DB_LINKS | DB_UID | DB_GID | DB_FLAGS, "C"},
    {'F', DB_ALL, "F"},
    {'A', DB_EVERY, "A"},
};

// The bits of letter c in DB_ATTRS or DB_ATTR_SETS; 0 for a letter that
// the table lacks.
template <size_t N>
constexpr uint32_t
db_attr_find(const db_attr (&table)[N], char c)
{
  for (const db_attr &a : table)
    if (a.letter == c)
      return a.bit;
  return 0;
}

// Frame kinds. A snapshot database holds kind 0 only, a difference
// database the change kinds 2, 4 and 8. The compare engine marks the paths
// of its tree with the same values, and with two that are never stored:
// unchanged, and none for a path that has no record of its own.
constexpr uint8_t DB_KIND_SNAP = 0;
constexpr uint8_t DB_KIND_NONE = DB_KIND_SNAP;
constexpr uint8_t DB_KIND_UNCHANGED = 1;
constexpr uint8_t DB_KIND_CHANGED = 2;
constexpr uint8_t DB_KIND_NEW = 4;
constexpr uint8_t DB_KIND_DELETED = 8;

constexpr size_t DB_REC_LEN = 56;  // one stored record
constexpr size_t DB_HEAD_LEN = 7;  // path length 2, data length 4, kind 1
// The longest path a frame may carry, and so the longest path the walk,
// the policy and the programs' options handle.
constexpr size_t DB_PATH_MAX = 1023;
constexpr size_t DB_SUM_LEN = 20;     // SHA-1 digest
constexpr size_t DB_SHA256_LEN = 32;  // SHA-256 digest

// The extension of a record, which follows it in a frame (kavdb(5)): a
// version (2 bytes), the length of what follows (4), then items, each a
// tag (1), a length (4) and the value. The SHA-256 comes first when the
// mask has DB_SHA256, then one item per extended attribute in ascending
// order of name: the name's length (1), the name, and either the value
// itself or, for a value over DB_XATTR_WHOLE_MAX bytes, its length (4)
// and its SHA-256.
constexpr uint16_t DB_EXT_VERSION = 1;
constexpr size_t DB_EXT_HEAD_LEN = 6;
constexpr size_t DB_ITEM_HEAD_LEN = 5;
constexpr size_t DB_XATTR_WHOLE_MAX = 4096;
// The longest extension a writer makes; an object whose attributes need
// more is not recorded (E2BIG).
constexpr size_t DB_EXT_MAX = 64 * 1024;
// What of it the extended attributes may take: the rest is the head and
// the SHA-256.
constexpr size_t DB_XATTR_ITEMS_MAX = DB_EXT_MAX - DB_EXT_HEAD_LEN -
                                      DB_ITEM_HEAD_LEN - DB_SHA256_LEN;

// What a record's extension holds, as read or to be written.
struct db_ext {
  uint8_t sha256[DB_SHA256_LEN];
  const uint8_t *xa;  // the extended attribute items, xa_len bytes; not owned
  uint32_t xa_len;
};

// The record of one object. Fields the mask does not name are zero.
struct db_rec {
  uint64_t ino;
  uint16_t mode;
  int32_t links;
  uint32_t uid;
  uint32_t gid;
  int64_t ctime;
  int64_t size;
  uint32_t flags;
  uint8_t csum[DB_SUM_LEN];
  uint16_t mask;
  // Null for a record without extension, whatever its mask says; not owned.
  const db_ext *ext;
};

// The head of one frame as read or to be written; path is terminated.
struct db_frame {
  // Room for 1024 bytes and the terminator: one byte more than a frame may
  // carry, so that a path one byte too long is still seen whole by
  // db_put, and refused, instead of being cut to a path that fits.
  char path[DB_PATH_MAX + 2];
  uint32_t len;
  uint8_t kind;
};

struct db_handle;  // an open database; owns one descriptor

// links, flags (16 bits) and ctime (32 bits) are stored narrower than held;
// they read back as their low bits, widened without sign.
void db_rec_pack(const db_rec *rec, uint8_t out[DB_REC_LEN]);
void db_rec_unpack(const uint8_t in[DB_REC_LEN], db_rec *rec);

// Null on failure, errno from the call that failed.
db_handle *db_open(const char *name, int flags, uint16_t mode);
// -1 if close() failed, or writing out waiting frames did (errno from
// write()); db is freed either way.
int db_close(db_handle *db);
// The descriptor db owns, for calls on the open file itself (fsync(),
// futimens()); it stays db's to close.
int db_fd(const db_handle *db);

// Gathers the frames written from now on into large writes. They wait in
// the handle until the buffer fills, db_flush or db_close; a write error
// shows at whichever call writes. 0, or -1 with ENOMEM.
int db_wbuffer(db_handle *db);
// Writes out the frames that wait. 0, or -1 with errno from write(); those
// frames are then given up. A no-op for an unbuffered handle.
int db_flush(db_handle *db);

// Append one whole frame with one writev(), or into the buffer of a handle
// that gathers them (a partial write is continued, EINTR retried). -1 on a
// write error, errno from the write; a frame the reader would refuse is not
// written: EINVAL for an empty path or no data, ENAMETOOLONG for a path
// over DB_PATH_MAX bytes.
int db_put(db_handle *db, const db_frame *fr, const void *data);
int db_argput(db_handle *db, const char *path, uint32_t len, int kind,
              const void *data);

// Read the next frame into fr and data (cap bytes of room). 1 for a frame,
// 0 at the clean end of the file, -1 on a read error or a damaged frame:
// EBADMSG for a frame cut short, an empty path or data, a path longer than
// DB_PATH_MAX or holding a zero byte, or data longer than cap.
int db_get(db_handle *db, db_frame *fr, void *data, size_t cap);

// Called once per frame; any non-zero result stops the reading.
// The frame and data are reused for the next frame.
typedef int (*db_visit_fn)(const db_frame *fr, const void *data, void *arg);

// Read the whole file front to back. 0 when all of it was read, -1 when it
// cannot be opened or a frame cannot be read, else the visitor's non-zero
// result. Every frame before a bad one reaches the visitor.
int db_readall(const char *name, db_visit_fn fn, void *arg, void *data,
               size_t cap);

// What the reading programs share about the frames they are handed.

// The largest data a writer of the suite puts in a frame: a changed pair
// with both extensions.
constexpr size_t DB_DATA_MAX = 2 * (DB_REC_LEN + DB_EXT_MAX);

// 0 when the frame's data holds the records its kind promises: two for a
// changed pair, one for any other kind. Shorter data cannot come from a
// writer of the suite: -1, EBADMSG, so that no record is decoded from
// bytes the frame did not supply.
int db_frame_check(const db_frame *fr);

// The attributes rec carries: those of its mask, the extension's only
// when it has one.
inline uint32_t
db_rec_attrs(const db_rec *rec)
{
  return rec->mask & (rec->ext != nullptr ? DB_EVERY : DB_ALL);
}

// Writes the records of one frame (two for a changed pair) to out, which
// has room for DB_DATA_MAX bytes: the records, then their extensions when
// either record has one. The data length.
uint32_t db_frame_pack(const db_rec *recs, int n, uint8_t *out);
// Decodes a frame's records into recs (two for a changed pair) and their
// extensions into exts, which then point into data. -1 with EBADMSG when
// the data does not hold exactly the records and the extensions their
// kind promises, or an extension has a version, a tag or a layout this
// reader does not know.
int db_frame_unpack(const db_frame *fr, const void *data, db_rec recs[2],
                    db_ext exts[2]);
// The same for n records (1 or 2) in len bytes of data, whatever the kind.
int db_recs_unpack(const void *data, size_t len, int n, db_rec *recs,
                   db_ext *exts);

// One extended attribute of an extension. A value over DB_XATTR_WHOLE_MAX
// bytes is held by its SHA-256: by_sum set, value the digest.
struct db_xattr {
  const char *name;  // not terminated
  size_t name_len;
  const uint8_t *value;
  size_t value_len;  // the length of the value itself, also when by_sum
  bool by_sum;
};
// Appends an attribute's item to the len bytes of items in buf (cap bytes
// of room): the value whole when value_len <= DB_XATTR_WHOLE_MAX, else
// sum (its SHA-256). -1 with E2BIG when it does not fit, EINVAL for an
// empty name or one over 255 bytes.
int db_xattr_put(uint8_t *buf, size_t cap, size_t *len, const char *name,
                 const void *value, size_t value_len,
                 const uint8_t sum[DB_SHA256_LEN]);
// The attribute at *pos of ext's items, *pos moved past it; 0 at the end.
// The items must come from db_frame_unpack or db_xattr_put.
int db_xattr_next(const db_ext *ext, size_t *pos, db_xattr *out);

// The path filters of the -d and -D options: with prefix, path must begin
// with the bytes of want; with exact, it must equal want. Both apply when
// both are set; with neither every path is admitted.
bool db_path_admits(const char *path, const char *want, bool exact,
                    bool prefix);

// The per-frame step of the programs that print a database, before the
// printing: 1 with the frame's records in recs (two for a changed pair)
// and their extensions in exts when the path filters (as db_path_admits)
// admit it, 0 when they leave it out. A frame that does not hold what its
// kind promises is a damaged file, whether or not the filters would have
// shown it: -1, EBADMSG (db_frame_unpack).
int db_frame_recs(const db_frame *fr, const void *data, const char *want,
                  bool exact, bool prefix, db_rec recs[2], db_ext exts[2]);

// The attributes whose stored values differ between a and b, among those
// a comparison of two snapshots looks at: ctime and the masks never count.
// An extension's attributes a record lacks count as a zero digest and no
// extended attributes.
uint32_t db_rec_diff(const db_rec *a, const db_rec *b);
