// The parts of the path tree on their own: the size classes of the child
// arrays and the step of the settle-sort that moves the nodes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <numeric>
#include <random>
#include <vector>

#include "ft/ft_internal.h"

namespace {

// A node's array grows through every class, keeps its children as they
// were at each move, and leaves the classes by half again: 256 -> 384.
TEST(FtAlloc, ChildArraysGrowThroughTheClasses) {
  ft_tree *t = ft_init(nullptr, nullptr);
  ASSERT_NE(nullptr, t);
  ft_node node = {};
  std::vector<uint32_t> caps;
  for (uint32_t i = 0; i < 600; i++) {
    ASSERT_EQ(0, ft_child_reserve(t, &node)) << i;
    if (caps.empty() || caps.back() != node.ftn_cap)
      caps.push_back(node.ftn_cap);
    node.ftn_child[i] = ft_node{};
    node.ftn_child[i].ftn_key = i;
    node.ftn_nchild = i + 1;
  }
  std::vector<uint32_t> want(std::begin(FT_CLASS_CAP), std::end(FT_CLASS_CAP));
  want.push_back(384);
  want.push_back(576);
  want.push_back(864);
  EXPECT_EQ(want, caps);
  for (uint32_t i = 0; i < node.ftn_nchild; i++)
    ASSERT_EQ(i, node.ftn_child[i].ftn_key) << i;
  EXPECT_TRUE(node.ftn_flags & FT_MOVED);
  ft_array_release(t, &node);
  ft_free(t);
}

// The array a node outgrows waits on its class's spare list for the next
// node that grows to that size, at the first class and at the last.
TEST(FtAlloc, OutgrownArraysAreReusedByClass) {
  ft_tree *t = ft_init(nullptr, nullptr);
  ASSERT_NE(nullptr, t);
  for (uint32_t edge : {FT_CLASS_CAP[0], FT_CLASS_MAX}) {
    ft_node a = {}, b = {};
    ft_node *outgrown = nullptr;
    for (uint32_t i = 0; i <= edge; i++) {
      if (a.ftn_cap == edge)
        outgrown = a.ftn_child;
      ASSERT_EQ(0, ft_child_reserve(t, &a));
      a.ftn_nchild = i + 1;
    }
    EXPECT_GT(a.ftn_cap, edge);
    ft_node *got = nullptr;
    for (uint32_t i = 0; i < edge; i++) {
      ASSERT_EQ(0, ft_child_reserve(t, &b));
      got = b.ftn_child;
      b.ftn_nchild = i + 1;
    }
    EXPECT_EQ(edge, b.ftn_cap) << edge;
    EXPECT_EQ(outgrown, got) << edge;
    ft_array_release(t, &a);
    ft_array_release(t, &b);
  }
  ft_free(t);
}

// Permutations of every shape, on directories below and above the size
// from which the step fetches ahead along each cycle: every node lands
// where perm sends it, once, and perm ends as the identity.
TEST(FtSort, PermutationStepMovesEveryNodeToItsPlace) {
  std::mt19937 rng(3);
  for (uint32_t n : {0u, 1u, 2u, 17u, FT_CLASS_MAX, FT_CLASS_MAX + 1, 5000u}) {
    for (int shape = 0; shape < 5; shape++) {
      std::vector<uint32_t> perm(n);
      std::iota(perm.begin(), perm.end(), 0u);
      if (shape == 1)
        std::reverse(perm.begin(), perm.end());  // cycles of two
      else if (shape == 2 && n > 0)
        std::rotate(perm.begin(), perm.begin() + 1, perm.end());  // one cycle
      else if (shape == 3)
        std::shuffle(perm.begin(), perm.end(), rng);
      else if (shape == 4)  // short cycles, fewer than the look-ahead
        for (uint32_t i = 0; i + 3 <= n; i += 3)
          std::rotate(perm.begin() + i, perm.begin() + i + 1,
                      perm.begin() + i + 3);
      std::vector<ft_node> ch(n);
      for (uint32_t i = 0; i < n; i++)
        ch[i].ftn_key = i;
      std::vector<uint32_t> p = perm;
      ft_perm_apply(ch.data(), n, p.data());
      for (uint32_t i = 0; i < n; i++) {
        ASSERT_EQ(perm[i], ch[i].ftn_key) << n << " " << shape << " " << i;
        ASSERT_EQ(i, p[i]) << n << " " << shape << " " << i;
      }
    }
  }
}

}  // namespace
