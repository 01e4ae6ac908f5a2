#include "cmp/cmp.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "testutil/dbfile.h"

namespace {

db_rec
make_rec(uint64_t ino, int64_t size = 100)
{
  db_rec r = test_rec(ino, 0100644, uint16_t(DB_ALL));
  r.size = size;
  return r;
}

// Feeds one record as db_readall would: a frame and its stored bytes.
int
feed(int (*load)(const db_frame *, const void *, void *), ft_tree *t,
     const char *path, const db_rec &rec)
{
  db_frame fr;
  memset(&fr, 0x55, sizeof fr);
  snprintf(fr.path, sizeof fr.path, "%s", path);
  fr.len = DB_REC_LEN;
  fr.kind = 0;
  return load(&fr, rec_bytes(rec).data(), t);
}

struct loaded {
  loaded() : t(ft_init(nullptr, nullptr)) {}
  ~loaded() { ft_free(t); }
  void old(const char *p, const db_rec &r)
  {
    ASSERT_EQ(0, feed(cmp_load_old, t, p, r)) << p;
  }
  void add(const char *p, const db_rec &r)
  {
    ASSERT_EQ(0, feed(cmp_load_new, t, p, r)) << p;
  }
  ft_node *node(const char *p) { return ft_lookup(t, p, nullptr); }
  const db_rec *recs(const char *p)
  {
    return static_cast<const db_rec *>(node(p)->ftn_data);
  }
  ft_tree *t;
};

int
collect_kinds(ft_node *node, void *arg)
{
  auto *out = static_cast<std::vector<std::string> *>(arg);
  out->push_back(std::string(node->ftn_path) + ":" +
                 std::to_string(node->ftn_kind));
  return 0;
}

}  // namespace

TEST(Cmp, EveryChangeKind) {
  loaded l;
  l.old("/etc", make_rec(1));
  l.old("/etc/same", make_rec(2));
  l.old("/etc/changed", make_rec(3, 100));
  l.old("/etc/gone", make_rec(4));
  l.add("/etc", make_rec(1));
  l.add("/etc/same", make_rec(2));
  l.add("/etc/changed", make_rec(3, 200));
  l.add("/etc/added", make_rec(5));
  std::vector<std::string> got;
  ft_traverse(l.t, collect_kinds, &got);
  EXPECT_EQ((std::vector<std::string>{"/:0", "/etc:1", "/etc/added:4",
                                      "/etc/changed:2", "/etc/gone:8",
                                      "/etc/same:1"}),
            got);
  ASSERT_EQ(2 * sizeof(db_rec), l.node("/etc/changed")->ftn_datalen);
  EXPECT_EQ(100, l.recs("/etc/changed")[0].size);  // older first
  EXPECT_EQ(200, l.recs("/etc/changed")[1].size);
  EXPECT_EQ(5u, l.recs("/etc/added")->ino);
  EXPECT_EQ(4u, l.recs("/etc/gone")->ino);
  EXPECT_EQ(sizeof(db_rec), l.node("/etc/same")->ftn_datalen);
}

TEST(Cmp, EqualityIgnoresOnlyCtimeAndMask) {
  const struct {
    const char *what;
    void (*change)(db_rec *);
    bool equal;
  } cases[] = {
      {"ino", [](db_rec *r) { r->ino++; }, false},
      {"mode", [](db_rec *r) { r->mode = 0100600; }, false},
      {"links", [](db_rec *r) { r->links = 2; }, false},
      {"uid", [](db_rec *r) { r->uid = 0; }, false},
      {"gid", [](db_rec *r) { r->gid = 0; }, false},
      {"size", [](db_rec *r) { r->size = 0; }, false},
      {"flags", [](db_rec *r) { r->flags = 3; }, false},
      {"csum last byte", [](db_rec *r) { r->csum[DB_SUM_LEN - 1] ^= 1; },
       false},
      {"ctime", [](db_rec *r) { r->ctime = 99999; }, true},
      {"mask", [](db_rec *r) { r->mask = DB_MODE; }, true},
      {"ctime and mask",
       [](db_rec *r) {
         r->ctime = 1;
         r->mask = 0;
       },
       true},
  };
  for (const auto &c : cases) {
    db_rec a = make_rec(7), b = a;
    c.change(&b);
    EXPECT_EQ(c.equal, cmp_rec_equal(&a, &b)) << c.what;
    loaded l;
    l.old("/f", a);
    l.add("/f", b);
    EXPECT_EQ(c.equal ? DB_KIND_UNCHANGED : DB_KIND_CHANGED,
              l.node("/f")->ftn_kind)
        << c.what;
  }
}

TEST(Cmp, EmptySideMakesAllNewOrDeleted) {
  loaded only_new;
  only_new.add("/a", make_rec(1));
  only_new.add("/a/b", make_rec(2));
  EXPECT_EQ(DB_KIND_NEW, only_new.node("/a")->ftn_kind);
  EXPECT_EQ(DB_KIND_NEW, only_new.node("/a/b")->ftn_kind);
  loaded only_old;
  only_old.old("/a", make_rec(1));
  only_old.old("/a/b", make_rec(2));
  EXPECT_EQ(DB_KIND_DELETED, only_old.node("/a")->ftn_kind);
  EXPECT_EQ(DB_KIND_DELETED, only_old.node("/a/b")->ftn_kind);
}

TEST(Cmp, RepeatedPaths) {
  loaded l;
  l.old("/r", make_rec(1));
  l.old("/r", make_rec(2));  // the last one wins
  EXPECT_EQ(2u, l.recs("/r")->ino);
  EXPECT_EQ(DB_KIND_DELETED, l.node("/r")->ftn_kind);
  l.add("/r", make_rec(2));
  EXPECT_EQ(DB_KIND_UNCHANGED, l.node("/r")->ftn_kind);
  l.add("/r", make_rec(3));  // against the older record
  EXPECT_EQ(DB_KIND_CHANGED, l.node("/r")->ftn_kind);
  l.add("/r", make_rec(4));
  EXPECT_EQ(2u, l.recs("/r")[0].ino);
  EXPECT_EQ(4u, l.recs("/r")[1].ino);
  l.add("/r", make_rec(2));
  EXPECT_EQ(DB_KIND_UNCHANGED, l.node("/r")->ftn_kind);
  // A path only the newer database holds stays new however often it is
  // repeated, equal or not; its last record wins.
  l.add("/n", make_rec(5));
  l.add("/n", make_rec(5));
  EXPECT_EQ(DB_KIND_NEW, l.node("/n")->ftn_kind);
  l.add("/n", make_rec(6));
  EXPECT_EQ(DB_KIND_NEW, l.node("/n")->ftn_kind);
  EXPECT_EQ(6u, l.recs("/n")->ino);
}

TEST(Cmp, AncestorOnlyNodes) {
  loaded l;
  l.old("/a/b", make_rec(1));
  l.add("/x/y", make_rec(2));  // /x made as an ancestor first
  l.add("/x", make_rec(3));
  l.add("/a", make_rec(4));
  l.add("/a/b", make_rec(1));
  l.add("/p/q/r", make_rec(5));
  EXPECT_EQ(DB_KIND_NEW, l.node("/x")->ftn_kind);
  EXPECT_EQ(3u, l.recs("/x")->ino);
  EXPECT_EQ(DB_KIND_NEW, l.node("/a")->ftn_kind);
  EXPECT_EQ(DB_KIND_UNCHANGED, l.node("/a/b")->ftn_kind);
  for (const char *p : {"/p", "/p/q", "/"}) {  // never recorded: not reported
    EXPECT_EQ(0, l.node(p)->ftn_kind) << p;
    EXPECT_EQ(nullptr, l.node(p)->ftn_data) << p;
  }
  l.old("/", make_rec(9));
  EXPECT_EQ(DB_KIND_DELETED, l.node("/")->ftn_kind);
}

TEST(Cmp, FrameWithoutExactlyOneRecordIsRefused) {
  ft_tree *t = ft_init(nullptr, nullptr);
  db_frame fr;
  memset(&fr, 0, sizeof fr);
  strcpy(fr.path, "/short");
  uint8_t data[DB_REC_LEN] = {};
  for (uint32_t len :
       {1u, uint32_t(DB_REC_LEN - 1), uint32_t(2 * DB_REC_LEN)}) {
    fr.len = len;
    for (auto load : {cmp_load_old, cmp_load_new}) {
      errno = 0;
      EXPECT_EQ(-1, load(&fr, data, t)) << len;
      EXPECT_EQ(EBADMSG, errno) << len;
    }
  }
  EXPECT_EQ(nullptr, ft_lookup(t, "/short", nullptr));
  ft_free(t);
}
