#include "ft/ft.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

struct tree_guard {
  explicit tree_guard(ft_tree *t) : t(t) {}
  ~tree_guard() { ft_free(t); }
  ft_tree *t;
};

// Records the path; also checks what a visitor may rely on: its node sits
// in its parent's array at its index, and so do its children.
int
collect(ft_node *node, void *arg)
{
  static_cast<std::vector<std::string> *>(arg)->push_back(node->ftn_path);
  if (node->ftn_parent != nullptr) {
    EXPECT_EQ(node, &node->ftn_parent->ftn_child[node->ftn_index])
        << node->ftn_path;
  }
  for (uint32_t i = 0; i < node->ftn_nchild; i++) {
    EXPECT_EQ(node, node->ftn_child[i].ftn_parent) << node->ftn_path;
  }
  return 0;
}

std::vector<std::string>
order(ft_tree *t)
{
  std::vector<std::string> got;
  EXPECT_EQ(0, ft_traverse(t, collect, &got));
  return got;
}

// Checks every invariant of a settled subtree; the count of nodes in it.
size_t
check_settled(const ft_node *node)
{
  size_t count = 1;
  std::string path(node->ftn_path, node->ftn_pathlen);
  EXPECT_EQ(strlen(node->ftn_path), node->ftn_pathlen);
  for (uint32_t i = 0; i < node->ftn_nchild; i++) {
    const ft_node *c = &node->ftn_child[i];
    std::string name(c->ftn_name, c->ftn_namelen);
    EXPECT_EQ(node, c->ftn_parent) << c->ftn_path;
    EXPECT_EQ(i, c->ftn_index) << c->ftn_path;
    EXPECT_EQ((node->ftn_depth == 0 ? "" : path) + "/" + name, c->ftn_path);
    EXPECT_EQ(node->ftn_depth + 1, c->ftn_depth) << c->ftn_path;
    if (i > 0) {
      const ft_node *p = &node->ftn_child[i - 1];
      EXPECT_LT(std::string(p->ftn_name, p->ftn_namelen), name) << c->ftn_path;
    }
    count += check_settled(c);
  }
  return count;
}

void
check_tree(ft_tree *t)
{
  std::vector<std::string> all = order(t);
  EXPECT_EQ(all.size(), check_settled(t->ftt_root));
}

}  // namespace

TEST(Ft, NewTreeHoldsRoot) {
  tree_guard g(ft_init(nullptr, nullptr));
  ASSERT_NE(nullptr, g.t);
  ft_node *root = g.t->ftt_root;
  EXPECT_STREQ("/", root->ftn_path);
  EXPECT_EQ(0, root->ftn_depth);
  EXPECT_EQ(0, root->ftn_namelen);
  EXPECT_EQ(nullptr, root->ftn_parent);
  EXPECT_EQ(root, ft_lookup(g.t, "/", nullptr));
  ft_node *deepest = nullptr;
  EXPECT_EQ(nullptr, ft_lookup(g.t, "/x", &deepest));
  EXPECT_EQ(root, deepest);
  EXPECT_EQ(std::vector<std::string>{"/"}, order(g.t));
}

TEST(Ft, AddCreatesAncestorsWithoutPayload) {
  tree_guard g(ft_init(nullptr, nullptr));
  int v = 42;
  ft_node *c = ft_add(g.t, "/a/b/c", &v, sizeof v);
  ASSERT_NE(nullptr, c);
  EXPECT_EQ(3, c->ftn_depth);
  EXPECT_STREQ("c", c->ftn_name);
  ASSERT_EQ(sizeof v, c->ftn_datalen);
  EXPECT_EQ(42, *static_cast<int *>(c->ftn_data));
  const struct {
    const char *path;
    int depth;
  } anc[] = {{"/a", 1}, {"/a/b", 2}};
  for (const auto &a : anc) {
    ft_node *n = ft_lookup(g.t, a.path, nullptr);
    ASSERT_NE(nullptr, n) << a.path;
    EXPECT_EQ(a.depth, n->ftn_depth) << a.path;
    EXPECT_EQ(nullptr, n->ftn_data) << a.path;
    EXPECT_EQ(0u, n->ftn_datalen) << a.path;
    EXPECT_EQ(0, n->ftn_kind) << a.path;
  }
  ft_node *deepest = nullptr;
  EXPECT_EQ(nullptr, ft_lookup(g.t, "/a/b/x", &deepest));
  ASSERT_NE(nullptr, deepest);
  EXPECT_STREQ("/a/b", deepest->ftn_path);
  EXPECT_EQ(nullptr, ft_lookup(g.t, "/a/b/c/d", &deepest));
  EXPECT_STREQ("/a/b/c", deepest->ftn_path);
  check_tree(g.t);
}

TEST(Ft, TrailingSlashesNameTheSameNode) {
  tree_guard g(ft_init(nullptr, nullptr));
  ft_node *n = ft_add(g.t, "/a/b/", nullptr, 0);
  ASSERT_NE(nullptr, n);
  EXPECT_STREQ("/a/b", n->ftn_path);
  EXPECT_EQ(n, ft_lookup(g.t, "/a/b", nullptr));
  EXPECT_EQ(n, ft_lookup(g.t, "/a/b//", nullptr));
  EXPECT_EQ(g.t->ftt_root, ft_lookup(g.t, "//", nullptr));
  EXPECT_EQ(g.t->ftt_root, ft_lookup(g.t, "///", nullptr));
  int v = 5;
  EXPECT_EQ(g.t->ftt_root, ft_add(g.t, "//", &v, sizeof v));
  ASSERT_NE(nullptr, g.t->ftt_root->ftn_data);
  EXPECT_EQ(5, *static_cast<int *>(g.t->ftt_root->ftn_data));
  EXPECT_EQ(3u, order(g.t).size());
}

TEST(Ft, RelativeAndEmptyPathsAreRefused) {
  tree_guard g(ft_init(nullptr, nullptr));
  for (const char *p : {"", "a", "a/b"}) {
    errno = 0;
    EXPECT_EQ(nullptr, ft_add(g.t, p, nullptr, 0)) << p;
    EXPECT_EQ(EINVAL, errno) << p;
    ft_node *deepest = nullptr;
    EXPECT_EQ(nullptr, ft_lookup(g.t, p, &deepest)) << p;
    EXPECT_EQ(g.t->ftt_root, deepest) << p;
  }
  EXPECT_EQ(1u, order(g.t).size());
}

namespace {
std::vector<std::string> released;
void
record_free(ft_node *node)
{
  released.push_back(std::string(node->ftn_path) + "=" +
                     static_cast<char *>(node->ftn_data));
  ft_data_free(node);
}
}  // namespace

TEST(Ft, AddReplacesPayloadThroughCallbacks) {
  released.clear();
  ft_tree *t = ft_init(record_free, nullptr);
  ASSERT_NE(nullptr, t);
  ASSERT_NE(nullptr, ft_add(t, "/a", "one", 4));
  ASSERT_NE(nullptr, ft_add(t, "/a/b", "two", 4));
  EXPECT_TRUE(released.empty());
  ft_node *a = ft_add(t, "/a", "three", 6);
  ASSERT_NE(nullptr, a);
  EXPECT_EQ(std::vector<std::string>{"/a=one"}, released);
  EXPECT_STREQ("three", static_cast<char *>(a->ftn_data));
  EXPECT_EQ(6u, a->ftn_datalen);
  a = ft_add(t, "/a", nullptr, 0);
  ASSERT_NE(nullptr, a);
  EXPECT_EQ(nullptr, a->ftn_data);
  EXPECT_EQ(0u, a->ftn_datalen);
  released.clear();
  ft_node *b = ft_lookup(t, "/a/b", nullptr);
  ASSERT_EQ(b, ft_node_set(t, b, "five", 5));
  EXPECT_EQ(std::vector<std::string>{"/a/b=two"}, released);
  EXPECT_STREQ("five", static_cast<char *>(b->ftn_data));
  ASSERT_NE(nullptr, ft_add(t, "/c", "four", 5));
  ASSERT_NE(nullptr, ft_add(t, "/", "root", 5));
  released.clear();
  ft_free(t);
  // Children before their parent, later siblings before earlier ones.
  EXPECT_EQ((std::vector<std::string>{"/c=four", "/a/b=five", "/=root"}),
            released);
}

TEST(Ft, PayloadCopyAndKeep) {
  tree_guard copy(ft_init(nullptr, nullptr));
  char buf[8] = "abc";
  ft_node *n = ft_add(copy.t, "/x", buf, 4);
  ASSERT_NE(nullptr, n);
  strcpy(buf, "zzz");
  EXPECT_STREQ("abc", static_cast<char *>(n->ftn_data));
  EXPECT_NE(static_cast<void *>(buf), n->ftn_data);

  tree_guard keep(ft_init([](ft_node *node) { node->ftn_data = nullptr; },
                          ft_data_keep));
  n = ft_add(keep.t, "/x", buf, 1234);
  ASSERT_NE(nullptr, n);
  EXPECT_EQ(static_cast<void *>(buf), n->ftn_data);
  EXPECT_EQ(1u, n->ftn_datalen);
}

TEST(Ft, TraversalIsPreorderInByteOrder) {
  const struct {
    std::vector<std::string> add;
    std::vector<std::string> want;
  } cases[] = {
      {{"/b", "/a", "/c"}, {"/", "/a", "/b", "/c"}},
      {{"/a-b", "/a/b", "/a"}, {"/", "/a", "/a/b", "/a-b"}},
      {{"/b", "/ab", "/a"}, {"/", "/a", "/ab", "/b"}},
      {{"/\x80x", "/\xff", "/z", "/a"}, {"/", "/a", "/z", "/\x80x", "/\xff"}},
      {{"/x/y/z", "/x-y", "/x/y-z", "/x."},
       {"/", "/x", "/x/y", "/x/y/z", "/x/y-z", "/x-y", "/x."}},
  };
  for (const auto &c : cases) {
    std::vector<std::string> add = c.add;
    std::sort(add.begin(), add.end());
    do {  // every insertion order gives the same tree
      tree_guard g(ft_init(nullptr, nullptr));
      for (const auto &p : add)
        ASSERT_NE(nullptr, ft_add(g.t, p.c_str(), nullptr, 0)) << p;
      EXPECT_EQ(c.want, order(g.t)) << "first added " << add[0];
      check_tree(g.t);
    } while (std::next_permutation(add.begin(), add.end()));
  }
}

TEST(Ft, InsertionsAtTheFrontRepairIndexAndParent) {
  tree_guard g(ft_init(nullptr, nullptr));
  // Children inserted before existing ones with grandchildren, in a small
  // directory (kept in order at once) and past its size (ordered later).
  for (int i = 40; i > 0; i--) {
    char p[32];
    snprintf(p, sizeof p, "/d/n%02d/leaf", i);
    ASSERT_NE(nullptr, ft_add(g.t, p, nullptr, 0));
    ft_node *d = ft_lookup(g.t, "/d", nullptr);
    ASSERT_NE(nullptr, d);
    for (uint32_t k = 0; k < d->ftn_nchild; k++)
      EXPECT_EQ(k, d->ftn_child[k].ftn_index);
  }
  ft_node *d = ft_lookup(g.t, "/d", nullptr);
  ft_node_settle(d);
  for (uint32_t k = 0; k < d->ftn_nchild; k++) {
    ft_node *c = &d->ftn_child[k];
    EXPECT_EQ(k, c->ftn_index);
    EXPECT_EQ(int(k + 1), atoi(c->ftn_name + 1));
    ASSERT_EQ(1u, c->ftn_nchild);
    EXPECT_EQ(c, c->ftn_child[0].ftn_parent) << c->ftn_path;
  }
  check_tree(g.t);
}

namespace {
int
stop_at_a(ft_node *node, void *arg)
{
  static_cast<std::vector<std::string> *>(arg)->push_back(node->ftn_path);
  return strcmp(node->ftn_path, "/a") == 0 ? 7 : 0;
}
}  // namespace

TEST(Ft, VisitorStopsTraversal) {
  tree_guard g(ft_init(nullptr, nullptr));
  for (const char *p : {"/a-b", "/a/b", "/a"})
    ASSERT_NE(nullptr, ft_add(g.t, p, nullptr, 0));
  std::vector<std::string> seen;
  EXPECT_EQ(7, ft_traverse(g.t, stop_at_a, &seen));
  EXPECT_EQ((std::vector<std::string>{"/", "/a"}), seen);
}

TEST(Ft, LongPathsAreCutTo1023Bytes) {
  tree_guard g(ft_init(nullptr, nullptr));
  std::string p;
  while (p.size() < 1500)
    p += "/component";
  ft_node *n = ft_add(g.t, p.c_str(), "x", 2);
  ASSERT_NE(nullptr, n);
  EXPECT_EQ(1023, n->ftn_pathlen);
  EXPECT_EQ(p.substr(0, 1023), n->ftn_path);
  EXPECT_EQ(n, ft_lookup(g.t, p.c_str(), nullptr));
  EXPECT_EQ(n, ft_lookup(g.t, p.substr(0, 1023).c_str(), nullptr));
  EXPECT_EQ(n, ft_lookup(g.t, (p.substr(0, 1023) + "zz").c_str(), nullptr));
  check_tree(g.t);
}

TEST(Ft, DirectoryWithMoreThan65535Children) {
  tree_guard g(ft_init(nullptr, nullptr));
  const uint32_t n = 70000;
  std::vector<uint32_t> ids(n);
  for (uint32_t i = 0; i < n; i++)
    ids[i] = i;
  std::shuffle(ids.begin(), ids.end(), std::mt19937(1));
  char p[64];
  for (uint32_t id : ids) {
    snprintf(p, sizeof p, "/big/f%06u", id);
    ASSERT_NE(nullptr, ft_add(g.t, p, &id, sizeof id));
    if (id % 1000 == 0) {  // some with children of their own
      snprintf(p, sizeof p, "/big/f%06u/sub", id);
      ASSERT_NE(nullptr, ft_add(g.t, p, nullptr, 0));
    }
  }
  for (uint32_t i = 0; i < n; i += 997) {
    snprintf(p, sizeof p, "/big/f%06u", i);
    ft_node *f = ft_lookup(g.t, p, nullptr);
    ASSERT_NE(nullptr, f) << p;
    EXPECT_EQ(i, *static_cast<uint32_t *>(f->ftn_data));
  }
  std::vector<std::string> got = order(g.t);
  ASSERT_EQ(2 + n + n / 1000, got.size());
  ft_node *big = ft_lookup(g.t, "/big", nullptr);
  ASSERT_NE(nullptr, big);
  EXPECT_EQ(n, big->ftn_nchild);
  EXPECT_EQ(n - 1, big->ftn_child[n - 1].ftn_index);
  EXPECT_STREQ("/big/f069999", big->ftn_child[n - 1].ftn_path);
  check_tree(g.t);
}

// Random paths in random order, with lookups and settling in between,
// against the order of component lists.
TEST(Ft, RandomInsertionsMatchReference) {
  std::mt19937 rng(7);
  std::vector<std::string> names;
  for (int i = 0; i < 60; i++)
    names.push_back(std::string(1 + i % 3, char('a' + i % 7)) +
                    (i % 5 == 0   ? "\x90"
                     : i % 4 == 0 ? "-"
                                  : "") +
                    std::to_string(i / 7));
  std::set<std::vector<std::string>> want{{}};
  tree_guard g(ft_init(nullptr, nullptr));
  for (int round = 0; round < 3000; round++) {
    std::vector<std::string> comps;
    std::string path;
    int depth = 1 + int(rng() % 3);
    for (int k = 0; k < depth; k++) {
      comps.push_back(names[rng() % (k == 0 ? 4 : names.size())]);
      path += "/" + comps.back();
      want.insert(comps);
    }
    ft_node *n = ft_add(g.t, path.c_str(), &round, sizeof round);
    ASSERT_NE(nullptr, n) << path;
    EXPECT_EQ(path, n->ftn_path);
    EXPECT_EQ(n, ft_lookup(g.t, path.c_str(), nullptr));
    if (round % 500 == 0) {
      std::string up = path.substr(0, path.rfind('/'));
      ft_node_settle(ft_lookup(g.t, up.empty() ? "/" : up.c_str(), nullptr));
    }
  }
  std::vector<std::string> expect;
  for (const auto &comps : want) {
    std::string p;
    for (const auto &c : comps)
      p += "/" + c;
    expect.push_back(p.empty() ? "/" : p);
  }
  EXPECT_EQ(expect, order(g.t));
  check_tree(g.t);
}

// Names sharing long prefixes, some a prefix of others, arriving shuffled
// into one directory large enough to be settled by sorting.
TEST(Ft, SharedPrefixesSortByBytes) {
  std::vector<std::string> names;
  for (int i = 0; i < 300; i++)
    names.push_back("msg.1700000000" + std::to_string(i % 7 == 0 ? i / 7 : i));
  names.push_back("msg.1700000000");
  names.push_back("msg.17");
  names.push_back("msg.1700000000\xc3");
  std::sort(names.begin(), names.end());
  names.erase(std::unique(names.begin(), names.end()), names.end());
  std::vector<std::string> shuffled = names;
  std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(3));
  tree_guard g(ft_init(nullptr, nullptr));
  for (const auto &n : shuffled)
    ASSERT_NE(nullptr, ft_add(g.t, ("/spool/" + n).c_str(), nullptr, 0));
  std::vector<std::string> want = {"/", "/spool"};
  for (const auto &n : names)
    want.push_back("/spool/" + n);
  EXPECT_EQ(want, order(g.t));
  check_tree(g.t);
  for (const auto &n : names)
    EXPECT_NE(nullptr, ft_lookup(g.t, ("/spool/" + n).c_str(), nullptr)) << n;
}

// The default callbacks keep small copies in the tree's own memory and big
// ones in the heap; replacing and releasing must handle either (the
// sanitizer build checks that nothing is freed wrongly or leaked).
TEST(Ft, DefaultPayloadsReplaceAndRelease) {
  tree_guard g(ft_init(nullptr, nullptr));
  std::string big(5000, 'b');
  const std::vector<std::string> values = {"small", big, "x", big + "c", ""};
  for (const char *p : {"/", "/a", "/a/b"}) {
    for (const auto &v : values) {
      for (bool by_node : {false, true}) {  // ft_add, then ft_node_set
        ft_node *n = by_node ? ft_node_set(g.t, ft_lookup(g.t, p, nullptr),
                                           v.data(), v.size())
                             : ft_add(g.t, p, v.data(), v.size());
        ASSERT_NE(nullptr, n) << p;
        ASSERT_EQ(v.size(), n->ftn_datalen) << p;
        EXPECT_EQ(v, std::string(static_cast<char *>(n->ftn_data), v.size()))
            << p;
      }
    }
  }
  ft_node *n = ft_add(g.t, "/a", nullptr, 0);
  ASSERT_NE(nullptr, n);
  EXPECT_EQ(nullptr, n->ftn_data);
  // A payload replaced through its node, as the comparer does, outlives
  // later insertions.
  ft_node *b = ft_lookup(g.t, "/a/b", nullptr);
  ASSERT_EQ(b, ft_node_set(g.t, b, "yz", 3));
  ASSERT_NE(nullptr, ft_add(g.t, "/a/b/c", "d", 2));
  EXPECT_STREQ("yz",
               static_cast<char *>(ft_lookup(g.t, "/a/b", nullptr)->ftn_data));
  EXPECT_EQ(b, ft_node_set(g.t, b, nullptr, 0));
  EXPECT_EQ(nullptr, b->ftn_data);
}
