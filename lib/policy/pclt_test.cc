#include "policy/pclt.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

// The merge's step for one node: pclt.cc's own, not in the header.
int pclt_merge_node(ft_node *node);

namespace {

// One entry per (mask, inheritable) pair; the mask names the entry in checks.
struct ent_def {
  uint16_t mask;
  bool inherit;
};

class PcltFixture : public testing::Test {
 protected:
  void SetUp() override
  {
    t_ = pclt_init();
    ASSERT_NE(nullptr, t_);
  }
  void TearDown() override { pclt_free(t_); }

  pcl *add(const char *path, uint8_t kind, std::initializer_list<ent_def> ents)
  {
    pcl *l = pcl_init();
    pclent *e = pclent_init();
    l->pl_kind = kind;
    for (const auto &s : ents) {
      pclent_clear(e);
      pclent_name_add(e, "n");
      e->pe_mask = s.mask;
      e->pe_flags = PCLENT_RECORD | (s.inherit ? PCLENT_INHERIT : 0);
      EXPECT_NE(nullptr, pcl_add(l, e));
    }
    pclent_free(e);
    EXPECT_EQ(l, pclt_add(t_, path, l));
    return l;
  }

  // The masks of the list at path, in order; "-" when the node has no list.
  std::string masks(const char *path)
  {
    ft_node *n = ft_lookup(t_, path, nullptr);
    if (n == nullptr || n->ftn_data == nullptr)
      return "-";
    const pcl *l = static_cast<const pcl *>(n->ftn_data);
    std::string s;
    for (unsigned i = 0; i < l->pl_count; i++)
      s += (i ? " e" : "e") + std::to_string(l->pl_ents[i].pe_mask);
    return s;
  }

  pclt *t_ = nullptr;
};

}  // namespace

TEST_F(PcltFixture, OneLevel) {
  const struct {
    uint8_t kind;
    const char *want;
  } cases[] = {{PCL_INH_PRE, "e1 e3"},
               {PCL_INH_POST, "e3 e1"},
               {PCL_INH_NO, "e3"},
               {PCL_INH_UNSET, "e3"}};
  for (const auto &c : cases) {
    pclt_free(t_);
    t_ = pclt_init();
    add("/", PCL_INH_NO, {{1, true}, {2, false}});
    add("/usr", c.kind, {{3, false}});
    ASSERT_EQ(0, pclt_merge(t_));
    EXPECT_EQ(c.want, masks("/usr")) << "kind " << int(c.kind);
    EXPECT_EQ("e1 e2", masks("/"));
  }
}

TEST_F(PcltFixture, Chains) {
  // A NO list stops what is above it but passes on its own.
  add("/", PCL_INH_NO, {{1, true}});
  add("/usr", PCL_INH_NO, {{3, true}});
  add("/usr/local", PCL_INH_POST, {{4, false}});
  // PRE below PRE: the inherited copies flow on with their flag.
  add("/var", PCL_INH_PRE, {{3, true}});
  add("/var/db", PCL_INH_PRE, {{4, false}});
  // Nodes without a list are passed over.
  add("/opt/a/b", PCL_INH_POST, {{5, false}, {6, true}});
  add("/opt/a/b/c/d", PCL_INH_PRE, {});
  ASSERT_EQ(0, pclt_merge(t_));
  EXPECT_EQ("e4 e3", masks("/usr/local"));
  EXPECT_EQ("e1 e3", masks("/var"));
  EXPECT_EQ("e1 e3 e4", masks("/var/db"));
  EXPECT_EQ("-", masks("/opt/a"));
  EXPECT_EQ("e5 e6 e1", masks("/opt/a/b"));
  EXPECT_EQ("e6 e1", masks("/opt/a/b/c/d"));
}

TEST_F(PcltFixture, RootNeverReceives) {
  add("/", PCL_INH_PRE, {{1, true}});
  add("/x", PCL_INH_PRE, {{2, true}});
  ASSERT_EQ(0, pclt_merge(t_));
  EXPECT_EQ("e1", masks("/"));
  EXPECT_EQ("e1 e2", masks("/x"));
}

TEST_F(PcltFixture, Lookup) {
  pcl *root = add("/", PCL_INH_NO, {{1, true}});
  pcl *local = add("/usr/local", PCL_INH_NO, {{2, false}});
  pcl *bin = add("/usr/local/bin", PCL_INH_NO, {});
  ASSERT_EQ(0, pclt_merge(t_));
  const struct {
    const char *path;
    pcl *want;
    int inherited;
  } cases[] = {
      {"/", root, 0},
      {"/usr", root, 1},  // a node without a list
      {"/etc", root, 1},  // no node at all
      {"/usr/local", local, 0},
      {"/usr/local/", local, 0},
      {"/usr/local//", local, 0},
      {"/usr/local/share/doc", local, 1},
      {"/usr/local/bin", bin, 0},
      {"/usr/local/bin/x", bin, 1},
      {"/usr/localx", root, 1},
  };
  for (const auto &c : cases) {
    int inh = 7;
    EXPECT_EQ(c.want, pclt_lookup(t_, c.path, &inh)) << c.path;
    EXPECT_EQ(c.inherited, inh) << c.path;
  }
}

TEST_F(PcltFixture, LastListWins) {
  add("/", PCL_INH_NO, {});
  add("/a", PCL_INH_NO, {{1, false}});
  pcl *second = add("/a/", PCL_INH_NO, {{2, false}});  // the first is freed
  int inh;
  EXPECT_EQ(second, pclt_lookup(t_, "/a", &inh));
  EXPECT_EQ("e2", masks("/a"));
}

TEST_F(PcltFixture, MergeFailsWhenAListWouldOverflow) {
  std::initializer_list<ent_def> none = {};
  pcl *root = add("/", PCL_INH_NO, none);
  pcl *l = add("/a", PCL_INH_PRE, none);
  pclent *e = pclent_init();
  e->pe_flags = PCLENT_INHERIT;
  for (int i = 0; i < 200; i++)
    ASSERT_NE(nullptr, pcl_add(root, e));
  e->pe_flags = 0;
  for (int i = 0; i < 55; i++)
    ASSERT_NE(nullptr, pcl_add(l, e));
  // 255 fits exactly.
  ASSERT_EQ(0, pclt_merge(t_));
  EXPECT_EQ(255, l->pl_count);

  pcl *b = add("/b", PCL_INH_POST, {{9, false}});
  for (int i = 0; i < 55; i++)
    ASSERT_NE(nullptr, pcl_add(b, e));
  pclent_free(e);
  errno = 0;
  EXPECT_EQ(-1, pclt_merge_node(ft_lookup(t_, "/b", nullptr)));
  EXPECT_EQ(ENOMEM, errno);
  EXPECT_EQ(56, b->pl_count);  // left as it was, nothing dropped
  EXPECT_EQ(9, b->pl_ents[0].pe_mask);
}
