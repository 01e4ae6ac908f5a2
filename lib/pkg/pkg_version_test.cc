// pkg_version_test.cc: the order of versions, which decides what is a
// downgrade: each row a pair and its order, checked both ways round.
#include <gtest/gtest.h>

#include "pkg/pkg.h"

namespace {

struct version_row {
  const char *a, *b;
  int order;  // -1: a before b; 0: the same version; 1: a after b
};

constexpr version_row VERSION_ROWS[] = {
    {"1.0", "1.0", 0},
    {"1.0", "1.1", -1},
    {"1.9", "1.10", -1},     // numbers, not characters
    {"1.01", "1.1", 0},      // leading zeros do not count
    {"1.0~rc1", "1.0", -1},  // a tilde sorts before the end
    {"1.0~~", "1.0~", -1},
    {"1.0", "1.0a", -1},
    {"1.0a", "1.0+", -1},  // letters before other characters
    {"1.0-1", "1.0-2", -1},
    {"1.0-1", "1.0", 1},  // a revision after none
    {"1.0-10", "1.0-9", 1},
    {"2.5.0-1+deb12u1", "2.5.0-1", 1},  // a security update
    {"2.5.0-1", "2.5.0-1+deb12u1", -1},
    {"1:1.0", "2.0", 1},  // the epoch first
    {"0:1.0", "1.0", 0},
    {"1:9.2p1-2", "1:9.2p1-2+deb12u3", -1},
    {"1.2-3-4", "1.2-3-5", -1},  // the revision follows the last hyphen
    {"10", "9", 1},
    {"", "0", 0},
    {"a", "", 1},
    {"~", "", -1},
    {"999999999999999999999", "999999999999999999998", 1},  // past 64 bits
};

int
sign(int v)
{
  return (v > 0) - (v < 0);
}

TEST(PkgVersion, Order) {
  for (const version_row &r : VERSION_ROWS) {
    EXPECT_EQ(r.order, sign(pkg_version_cmp(r.a, r.b))) << r.a << " : " << r.b;
    EXPECT_EQ(-r.order, sign(pkg_version_cmp(r.b, r.a))) << r.b << " : " << r.a;
  }
}

}  // namespace
