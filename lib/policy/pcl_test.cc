#include "policy/pcl.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace {

// A status with only the fields pcl_match reads.
struct stat
make_st(mode_t type, uid_t uid = 0, gid_t gid = 0)
{
  struct stat st;
  memset(&st, 0, sizeof st);
  st.st_mode = type | 0644;
  st.st_uid = uid;
  st.st_gid = gid;
  return st;
}

// Owns one list for a test.
struct list_holder {
  pcl *l = pcl_init();
  ~list_holder() { pcl_free(l); }
};

struct ent_holder {
  pclent *e = pclent_init();
  ~ent_holder() { pclent_free(e); }
};

}  // namespace

TEST(GlobMatch, Table) {
  const struct {
    const char *pattern, *name;
    int want;
  } cases[] = {
      // Empty pattern or name.
      {"", "", 1},
      {"*", "", 1},
      {"**", "", 0},
      {"?", "", 0},
      {"", "a", 0},
      // Trailing stars.
      {"a*", "a", 1},
      {"a**", "a", 0},
      {"a*", "abc", 1},
      {"*", "abc", 1},
      // Stars inside.
      {"*.c", ".c", 1},
      {"*.c", "a.c.c", 1},
      {"*.c", "x.cc", 0},
      {"a*c", "abcc", 1},
      {"a*c", "ac", 1},
      {"a*b*c", "aXbYc", 1},
      {"a*b*c", "aXbY", 0},
      {"*conf", "kavrel.conf", 1},
      // Question marks and plain text.
      {"a?c", "ac", 0},
      {"a?c", "abc", 1},
      {"abc", "ab", 0},
      {"ab", "abc", 0},
      {"abc", "abc", 1},
      {"ABC", "abc", 0},
      {"???", "abc", 1},
      // The byte after a star is taken literally.
      {"*?", "ab", 0},
      {"*?", "a?", 1},
      {"**", "abc", 0},
      {"**", "a*b", 1},
      {"*?x", "a?x", 1},
      {"*?x", "abx", 0},
      // Bytes above 0x7f compare as themselves.
      {"*\xe9", "caf\xe9", 1},
      {"?", "\xff", 1},
  };
  for (const auto &c : cases)
    EXPECT_EQ(c.want, glob_match(c.pattern, c.name))
        << "pattern \"" << c.pattern << "\" name \"" << c.name << "\"";
}

TEST(PclMatch, Ranges) {
  const struct {
    uint8_t kind;
    uint32_t low, high, id;
    bool want;
  } cases[] = {
      {PCLENT_R_EXACT, 5, 0, 5, true},
      {PCLENT_R_EXACT, 5, 0, 6, false},
      {PCLENT_R_FROM, 100, 0, 100, true},
      {PCLENT_R_FROM, 100, 0, 4294967295u, true},
      {PCLENT_R_FROM, 100, 0, 99, false},
      {PCLENT_R_UPTO, 0, 100, 0, true},
      {PCLENT_R_UPTO, 0, 100, 100, true},
      {PCLENT_R_UPTO, 0, 100, 101, false},
      {PCLENT_R_BETWEEN, 5, 9, 5, true},
      {PCLENT_R_BETWEEN, 5, 9, 9, true},
      {PCLENT_R_BETWEEN, 5, 9, 10, false},
      {PCLENT_R_BETWEEN, 10, 5, 7, false},
      {PCLENT_R_BETWEEN, 10, 5, 10, false},
      {0, 0, 0, 0, false},
      {9, 0, 4294967295u, 1, false},
  };
  for (const auto &c : cases) {
    const pclent_range r = {c.low, c.high, c.kind};
    for (int uid = 0; uid < 2; uid++) {
      list_holder l;
      ent_holder e;
      ASSERT_NE(nullptr,
                uid ? pclent_euid_add(e.e, &r) : pclent_egid_add(e.e, &r));
      ASSERT_NE(nullptr, pcl_add(l.l, e.e));
      struct stat st = uid ? make_st(S_IFREG, c.id, 12345)
                           : make_st(S_IFREG, 12345, c.id);
      EXPECT_EQ(c.want, pcl_match(l.l, "x", &st, 0) != nullptr)
          << (uid ? "uid" : "gid") << " kind " << int(c.kind) << " low "
          << c.low << " high " << c.high << " id " << c.id;
    }
  }
}

TEST(PclMatch, Types) {
  const mode_t types[] = {S_IFIFO, S_IFCHR, S_IFDIR, S_IFBLK,
                          S_IFREG, S_IFLNK, S_IFSOCK};
  const uint8_t bits[] = {PCL_T_FIFO, PCL_T_CHR, PCL_T_DIR, PCL_T_BLK,
                          PCL_T_REG,  PCL_T_LNK, PCL_T_SOCK};
  const uint8_t sets[] = {0, PCL_T_BLK, PCL_T_LNK, PCL_T_DIR | PCL_T_REG, 0x7f};
  for (uint8_t set : sets) {
    list_holder l;
    ent_holder e;
    pclent_type_set(e.e, set);
    ASSERT_NE(nullptr, pcl_add(l.l, e.e));
    for (size_t i = 0; i < 7; i++) {
      struct stat st = make_st(types[i]);
      bool want = set == 0 || (set & bits[i]);
      EXPECT_EQ(want, pcl_match(l.l, "x", &st, 0) != nullptr)
          << "set " << int(set) << " type " << std::oct << types[i];
    }
    // A type outside the table passes only an empty set.
    struct stat odd = make_st(0);
    EXPECT_EQ(set == 0, pcl_match(l.l, "x", &odd, 0) != nullptr)
        << "set " << int(set);
  }
}

TEST(PclMatch, Names) {
  list_holder l;
  ent_holder e;
  struct stat st = make_st(S_IFREG);
  // An entry without selectors takes everything.
  ASSERT_NE(nullptr, pcl_add(l.l, e.e));
  EXPECT_EQ(&l.l->pl_ents[0], pcl_match(l.l, "anything", &st, 0));
  EXPECT_EQ(&l.l->pl_ents[0], pcl_match(l.l, "", &st, 0));

  list_holder m;
  int code = -1;
  ASSERT_NE(nullptr, pclent_name_add(e.e, "*.c"));
  ASSERT_NE(nullptr, pclent_addename(e.e, "^lib", &code));
  EXPECT_EQ(0, code);
  ASSERT_NE(nullptr, pclent_addename(e.e, "conf", &code));
  ASSERT_NE(nullptr, pcl_add(m.l, e.e));
  const struct {
    const char *name;
    bool want;
  } cases[] = {{"a.c", true},         {"libc.so", true}, {"mylib", false},
               {"kavrel.conf", true}, {"a.h", false},    {"", false}};
  for (const auto &c : cases)
    EXPECT_EQ(c.want, pcl_match(m.l, c.name, &st, 0) != nullptr) << c.name;
}

TEST(PclMatch, FirstMatchWinsAndInheritedOnly) {
  list_holder l;
  ent_holder e;
  struct stat st = make_st(S_IFREG);
  pclent_name_add(e.e, "a*");
  e.e->pe_mask = 1;
  ASSERT_NE(nullptr, pcl_add(l.l, e.e));  // plain, matches "ab"
  pclent_clear(e.e);
  pclent_name_add(e.e, "b*");
  e.e->pe_flags = PCLENT_INHERIT;
  e.e->pe_mask = 2;
  ASSERT_NE(nullptr, pcl_add(l.l, e.e));  // inheritable, not "ab"
  pclent_clear(e.e);
  e.e->pe_flags = PCLENT_INHERIT;
  e.e->pe_mask = 3;
  ASSERT_NE(nullptr, pcl_add(l.l, e.e));  // inheritable, matches all

  const struct {
    const char *name;
    int inherited;
    int want_mask;  // 0: no match
  } cases[] = {{"ab", 0, 1}, {"ab", 1, 3}, {"bc", 0, 2},
               {"bc", 1, 2}, {"zz", 0, 3}, {"zz", 1, 3}};
  for (const auto &c : cases) {
    const pclent *got = pcl_match(l.l, c.name, &st, c.inherited);
    ASSERT_NE(nullptr, got) << c.name;
    EXPECT_EQ(c.want_mask, got->pe_mask)
        << c.name << " inherited " << c.inherited;
  }

  // Without any inheritable entry, the inherited view is empty.
  list_holder n;
  pclent_clear(e.e);
  ASSERT_NE(nullptr, pcl_add(n.l, e.e));
  EXPECT_NE(nullptr, pcl_match(n.l, "x", &st, 0));
  EXPECT_EQ(nullptr, pcl_match(n.l, "x", &st, 1));
  list_holder empty;
  EXPECT_EQ(nullptr, pcl_match(empty.l, "x", &st, 0));
}

TEST(Pclent, BadRegexLeavesEntryAlone) {
  ent_holder e;
  int code = 0;
  ASSERT_NE(nullptr, pclent_addename(e.e, "a+", &code));
  code = 0;
  EXPECT_EQ(nullptr, pclent_addename(e.e, "(", &code));
  EXPECT_NE(0, code);
  EXPECT_NE(REG_ESPACE, code);
  EXPECT_EQ(1, e.e->pe_nres);
  EXPECT_STREQ("a+", e.e->pe_resrc[0]);
  // Extended syntax: '+' is an operator.
  EXPECT_EQ(0, regexec(&e.e->pe_res[0], "xaaay", 0, nullptr, 0));
  EXPECT_NE(0, regexec(&e.e->pe_res[0], "x+", 0, nullptr, 0));
}

TEST(Pclent, CopyIsDeep) {
  ent_holder src;
  int code;
  const pclent_range r = {1, 2, PCLENT_R_BETWEEN};
  pclent_name_add(src.e, "n1");
  pclent_name_add(src.e, "n2");
  pclent_name_add(src.e, "n3");  // count 3: the copy must still grow right
  pclent_addename(src.e, "^x$", &code);
  pclent_egid_add(src.e, &r);
  pclent_euid_add(src.e, &r);
  pclent_type_set(src.e, PCL_T_DIR);
  src.e->pe_flags = PCLENT_RECORD | PCLENT_INHERIT;
  src.e->pe_mask = 0x1ff;

  pclent dst;
  memset(&dst, 0xa5, sizeof dst);  // junk: the copy reads none of it
  ASSERT_EQ(&dst, pclent_copy(&dst, src.e));
  pclent_clear(src.e);
  ASSERT_EQ(3, dst.pe_nnames);
  EXPECT_STREQ("n3", dst.pe_names[2]);
  ASSERT_EQ(1, dst.pe_nres);
  EXPECT_STREQ("^x$", dst.pe_resrc[0]);
  EXPECT_EQ(0, regexec(&dst.pe_res[0], "x", 0, nullptr, 0));
  EXPECT_EQ(1, dst.pe_ngids);
  EXPECT_EQ(1, dst.pe_nuids);
  EXPECT_EQ(2u, dst.pe_uids[0].pr_high);
  EXPECT_EQ(PCL_T_DIR, dst.pe_types);
  EXPECT_EQ(PCLENT_RECORD | PCLENT_INHERIT, dst.pe_flags);
  EXPECT_EQ(0x1ff, dst.pe_mask);
  ASSERT_NE(nullptr, pclent_name_add(&dst, "n4"));  // grows past the copy
  ASSERT_NE(nullptr, pclent_name_add(&dst, "n5"));
  EXPECT_STREQ("n5", dst.pe_names[4]);
  pclent_clear(&dst);
}

TEST(Pclent, ItemLimit) {
  ent_holder e;
  const pclent_range r = {7, 0, PCLENT_R_EXACT};
  char text[16];
  for (unsigned i = 0; i < PCLENT_MAX_ITEMS; i++) {
    snprintf(text, sizeof text, "g%u", i);
    ASSERT_NE(nullptr, pclent_name_add(e.e, text)) << i;
    ASSERT_NE(nullptr, pclent_euid_add(e.e, &r)) << i;
  }
  errno = 0;
  EXPECT_EQ(nullptr, pclent_name_add(e.e, "over"));
  EXPECT_EQ(ENOMEM, errno);
  errno = 0;
  EXPECT_EQ(nullptr, pclent_euid_add(e.e, &r));
  EXPECT_EQ(ENOMEM, errno);
  EXPECT_EQ(PCLENT_MAX_ITEMS, e.e->pe_nnames);
  EXPECT_EQ(PCLENT_MAX_ITEMS, e.e->pe_nuids);
  EXPECT_STREQ("g65534", e.e->pe_names[65534]);

  list_holder l;
  ASSERT_NE(nullptr, pcl_add(l.l, e.e));
  struct stat st = make_st(S_IFREG, 7);
  EXPECT_NE(nullptr, pcl_match(l.l, "g65534", &st, 0));
  EXPECT_EQ(nullptr, pcl_match(l.l, "over", &st, 0));
}

TEST(Pcl, ListLimit) {
  list_holder l;
  ent_holder e;
  pclent_name_add(e.e, "x");
  for (int i = 0; i < PCL_MAX_ENTRIES; i++) {
    e.e->pe_mask = uint16_t(i);
    ASSERT_NE(nullptr, pcl_add(l.l, e.e)) << i;
  }
  errno = 0;
  EXPECT_EQ(nullptr, pcl_add(l.l, e.e));
  EXPECT_EQ(ENOMEM, errno);
  EXPECT_EQ(PCL_MAX_ENTRIES, l.l->pl_count);
  EXPECT_EQ(254, l.l->pl_ents[254].pe_mask);
  // The list's copy is its own: the caller may clear its entry.
  pclent_clear(e.e);
  EXPECT_STREQ("x", l.l->pl_ents[0].pe_names[0]);
  pcl_clear(l.l);
  EXPECT_EQ(0, l.l->pl_count);
  ASSERT_NE(nullptr, pcl_add(l.l, e.e));
  EXPECT_EQ(1, l.l->pl_count);
}
