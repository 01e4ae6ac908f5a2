// cmp_fuzz.cc: kavcmp's engine on two databases, then its printers and
// its difference writer. The first byte of the input chooses its form:
// - even: two arbitrary databases: two bytes giving the length of the
//   older (little-endian), the older, the newer;
// - odd: records to build them from, two bytes each: the database (bit 7),
//   the record's extension (bits 4 to 6) and one of 16 paths (low bits),
//   then the record's values. These reach the classification far more
//   often than random bytes do: repeated paths, ancestors that appear
//   later, records equal but for ctime, digests and extended attributes
//   that differ or not.
//
// Only snapshot frames are loaded: any other kind, a record cut short, or
// an extension that the record's mask does not call for or the record
// codec does not read, names its database as damaged. When every path is
// a plain absolute path, the result is also checked against a model of the
// classification rules: the difference database must hold exactly the
// changed, new and deleted paths, in tree order, each with the records
// and extensions the rules give it.
#include <sys/stat.h>

#include <cerrno>
#include <map>

#include "cmp/cmp.h"
#include "db/le.h"
#include "db/print.h"
#include "fuzz/fuzz_util.h"

namespace {

// Paths whose tree position is obvious: "/" or "/a/b" without empty names.
bool
plain_path(const std::string &p)
{
  if (p.empty() || p[0] != '/')
    return false;
  if (p == "/")
    return true;
  return p.back() != '/' && p.find("//") == std::string::npos;
}

// Tree order (a directory before its contents, names in byte order) is
// the byte order of paths in which '/' sorts before every other byte.
std::string
order_key(const std::string &p)
{
  std::string k = p == "/" ? std::string() : p;
  for (char &ch : k)
    if (ch == '/')
      ch = '\0';
  return k;
}

// The most a frame of a snapshot holds: one record and its extension.
constexpr size_t SNAP_DATA_MAX = DB_REC_LEN + DB_EXT_MAX;

// Whether the compare engine takes frame f: a snapshot frame with one
// stored record, followed by an extension only when the record's mask
// names an attribute of one.
bool
snap_frame_ok(const ref_frame &f)
{
  if (f.kind != DB_KIND_SNAP || f.data.size() < DB_REC_LEN)
    return false;
  if (f.data.size() == DB_REC_LEN)
    return true;
  db_rec r;
  db_ext x;
  return (le_get16(f.data.data() + 54) & DB_EXT_ATTRS) != 0 &&
         db_recs_unpack(f.data.data(), f.data.size(), 1, &r, &x) == 0;
}

ref_rec
rec_of(const ref_frame &f)
{
  return ref_recs(f.data, 1)[0];
}

// Records are equal when no attribute but ctime differs; the masks take
// no part either. A stored record packs back to the same bytes.
bool
same_record(const ref_rec &a, const ref_rec &b)
{
  return ref_diff(a, b) == 0;
}

// The extension written for r: the digest item when its mask names one
// (zeros for a record without extension), then its attribute items.
void
put_ext(const ref_rec &r, std::vector<uint8_t> *out)
{
  std::vector<uint8_t> items;
  if (r.mask & DB_SHA256) {
    uint8_t head[DB_ITEM_HEAD_LEN] = {1};
    le_put32(head + 1, DB_SHA256_LEN);
    items.insert(items.end(), head, head + sizeof head);
    items.insert(items.end(), r.sha256.begin(), r.sha256.end());
  }
  items.insert(items.end(), r.items.begin(), r.items.end());
  uint8_t head[DB_EXT_HEAD_LEN];
  le_put16(head, DB_EXT_VERSION);
  le_put32(head + 2, uint32_t(items.size()));
  out->insert(out->end(), head, head + sizeof head);
  out->insert(out->end(), items.begin(), items.end());
}

struct model_node {
  std::string path;
  int kind;
  std::vector<ref_rec> recs;  // one, or two for kind 2
};

// A difference frame's data: the records, then the extensions of all of
// them when any has one.
std::vector<uint8_t>
diff_data(const model_node &n)
{
  std::vector<uint8_t> d;
  bool ext = false;
  for (const ref_rec &r : n.recs) {
    d.insert(d.end(), r.stored.begin(), r.stored.end());
    ext = ext || r.ext;
  }
  if (ext)
    for (const ref_rec &r : n.recs)
      put_ext(r, &d);
  return d;
}

// The classification rules, on stored records and their extensions.
std::map<std::string, model_node>
model(const std::vector<ref_frame> &older, const std::vector<ref_frame> &newer)
{
  std::map<std::string, model_node> m;
  for (const auto &f : older)
    m[order_key(f.path)] = {f.path, DB_KIND_DELETED, {rec_of(f)}};
  for (const auto &f : newer) {
    ref_rec r = rec_of(f);
    auto it = m.find(order_key(f.path));
    if (it == m.end()) {
      m[order_key(f.path)] = {f.path, DB_KIND_NEW, {r}};
      continue;
    }
    model_node &n = it->second;
    if (n.kind == DB_KIND_NEW) {  // repeated, still only in the newer one
      n.recs = {r};
    } else if (same_record(n.recs[0], r)) {
      n.kind = DB_KIND_UNCHANGED;
    } else {
      n.recs = {n.recs[0], r};
      n.kind = DB_KIND_CHANGED;
    }
  }
  return m;
}

// A snapshot frame for one of 16 paths, with values drawn from v: small
// ranges, so that equal records, records equal but for ctime or mask, and
// records that differ all come often. Bits 4 to 6 of which give its
// extension: a digest (bit 4) and the extended attributes (bit 5) named
// in the mask and stored, bit 6 setting the digest's first byte and
// adding one attribute; bit 6 alone names both in a mask without
// extension.
std::string
built_frame(uint8_t which, uint8_t v)
{
  static const char *const paths[16] = {
      "/",   "/a",     "/a/b",  "/a/b/c",   "/a-b",   "/a/c", "/b",   "/b/a",
      "/ab", "/a\xff", "/\x80", "/a/b/c/d", "/c/d/e", "/c",   "/c/d", "/z"};
  std::string path = paths[which & 15];
  db_rec r;
  memset(&r, 0, sizeof r);
  r.ino = v & 3;
  r.size = (v >> 2) & 3;
  r.ctime = (v >> 4) & 1;
  r.mask = (v >> 5) & 1 ? 0x1ff : 0x043;
  r.csum[0] = uint8_t(v >> 6);
  int ext = (which >> 4) & 7;
  if (ext == 4)
    r.mask |= DB_EXT_ATTRS;
  if (ext & 1)
    r.mask |= DB_SHA256;
  if (ext & 2)
    r.mask |= DB_XATTR;
  uint8_t rec[DB_REC_LEN];
  db_rec_pack(&r, rec);
  std::string data(reinterpret_cast<char *>(rec), sizeof rec);
  if (ext & 3) {
    std::string items;
    if (ext & 1) {
      items += std::string("\x01\x20\0\0\0", DB_ITEM_HEAD_LEN);
      items += char(ext >> 2) + std::string(DB_SHA256_LEN - 1, '\0');
    }
    if ((ext & 6) == 6)  // tag 2, 8 bytes: the name's length and name, "1"
      items += std::string("\x02\x08\0\0\0\x06user.k1", DB_ITEM_HEAD_LEN + 8);
    uint8_t head[DB_EXT_HEAD_LEN];
    le_put16(head, DB_EXT_VERSION);
    le_put32(head + 2, uint32_t(items.size()));
    data += std::string(reinterpret_cast<char *>(head), sizeof head) + items;
  }
  uint8_t head[DB_HEAD_LEN] = {uint8_t(path.size()), 0};
  le_put32(head + 2, uint32_t(data.size()));
  head[6] = DB_KIND_SNAP;
  return std::string(reinterpret_cast<char *>(head), sizeof head) + path + data;
}

struct diff_check {
  std::vector<const model_node *> want;
  size_t seen;
};

int
check_diff_frame(const db_frame *fr, const void *data, void *arg)
{
  diff_check *c = static_cast<diff_check *>(arg);
  FUZZ_CHECK(c->seen < c->want.size());
  const model_node &w = *c->want[c->seen++];
  FUZZ_CHECK(w.path == fr->path && w.kind == fr->kind);
  std::vector<uint8_t> want = diff_data(w);
  FUZZ_CHECK(fr->len == want.size() && memcmp(data, want.data(), fr->len) == 0);
  return 0;
}

// The tree keeps its children sorted and its back links right.
void
check_node(const ft_node *n)
{
  for (uint32_t i = 0; i < n->ftn_nchild; i++) {
    const ft_node *c = &n->ftn_child[i];
    FUZZ_CHECK(c->ftn_parent == n && c->ftn_index == i);
    if (i > 0) {
      const ft_node *p = &n->ftn_child[i - 1];
      std::string a(p->ftn_name, p->ftn_namelen),
          b(c->ftn_name, c->ftn_namelen);
      FUZZ_CHECK(a < b);
    }
    check_node(c);
  }
}

// ft_traverse settles every node (children in order) before its visit.
int
settle(ft_node *, void *)
{
  return 0;
}

int
accept_frame(const db_frame *, const void *, void *)
{
  return 0;
}

}  // namespace

extern "C" int
LLVMFuzzerInitialize(int *, char ***)
{
  fuzz_quiet_stdout();
  return 0;
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  static fuzz_file older, newer;
  static char diffname[64];
  if (diffname[0] == '\0')
    snprintf(diffname, sizeof diffname, "/tmp/cmp_fuzz.%d.db", int(getpid()));
  if (size < 1)
    return 0;
  std::string db1, db2;
  if (data[0] & 1) {
    for (size_t i = 1; i + 1 < size; i += 2)
      (data[i] & 0x80 ? db2 : db1) += built_frame(data[i], data[i + 1]);
  } else {
    if (size < 3)
      return 0;
    size_t n1 = (size_t(data[1]) | size_t(data[2]) << 8) % (size - 2);
    db1.assign(reinterpret_cast<const char *>(data + 3), n1);
    db2.assign(reinterpret_cast<const char *>(data + 3 + n1), size - 3 - n1);
  }
  const uint8_t *b1 = reinterpret_cast<const uint8_t *>(db1.data());
  const uint8_t *b2 = reinterpret_cast<const uint8_t *>(db2.data());
  older.set(b1, db1.size());
  newer.set(b2, db2.size());

  bool bad1, bad2;
  auto f1 = ref_frames(b1, db1.size(), SNAP_DATA_MAX, &bad1);
  auto f2 = ref_frames(b2, db2.size(), SNAP_DATA_MAX, &bad2);
  for (const auto &f : f1)
    bad1 = bad1 || !snap_frame_ok(f);
  for (const auto &f : f2)
    bad2 = bad2 || !snap_frame_ok(f);

  // Paths that are not plain absolute paths are the tree's to accept or
  // refuse (EINVAL); for plain ones the outcome is fixed.
  bool all_plain = true;
  for (const auto *fs : {&f1, &f2})
    for (const auto &f : *fs)
      all_plain = all_plain && plain_path(f.path);

  errno = 0;
  const char *failed;
  ft_tree *tree = cmp_load(older.name, newer.name, &failed);
  if (tree == nullptr)
    FUZZ_CHECK(failed != nullptr && (errno == EBADMSG || errno == EINVAL));
  if (all_plain)
    FUZZ_CHECK(failed == (bad1 ? older.name : bad2 ? newer.name : nullptr));
  if (tree != nullptr) {
    ft_traverse(tree, settle, nullptr);
    check_node(tree->ftt_root);
    // mask, human, plain, narrow, replace, stdout
    rec_view views[] = {{0, false, false, false, false, nullptr},
                        {0, true, false, false, false, nullptr},
                        {0, false, true, false, false, nullptr},
                        {0x1ff, false, true, false, true, nullptr},
                        {0x05a, false, false, true, false, nullptr}};
    for (rec_view &v : views)
      ft_traverse(tree, cmp_print, &v);
    fflush(stdout);

    unlink(diffname);
    db_handle *db = db_open(diffname, O_RDWR | O_CREAT | O_EXCL, 0600);
    FUZZ_CHECK(db != nullptr);
    FUZZ_CHECK(ft_traverse(tree, cmp_put_diff, db) == 0);
    FUZZ_CHECK(db_close(db) == 0);

    diff_check c{{}, 0};
    auto m = model(f1, f2);
    for (const auto &kv : m)
      if (kv.second.kind != DB_KIND_UNCHANGED)
        c.want.push_back(&kv.second);
    static uint8_t dbuf[DB_DATA_MAX];
    if (all_plain) {
      FUZZ_CHECK(db_readall(diffname, check_diff_frame, &c, dbuf,
                            sizeof dbuf) == 0);
      FUZZ_CHECK(c.seen == c.want.size());
    } else {
      // Other paths land where the tree puts them; the file must still
      // read back whole.
      c.want.clear();
      FUZZ_CHECK(db_readall(diffname, accept_frame, nullptr, dbuf,
                            sizeof dbuf) == 0);
    }
    unlink(diffname);
  }
  ft_free(tree);
  return 0;
}
