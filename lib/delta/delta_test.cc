#include "delta/delta.h"

#include <gtest/gtest.h>
#include <zstd.h>

#include <random>
#include <string>

namespace {

// Something like a snapshot: path after path, each with 56 bytes of record
// that compress badly, so that only the reference can make them small.
std::string
snapshot_like(size_t records, uint64_t seed)
{
  std::mt19937_64 g(seed);
  std::string s;
  for (size_t i = 0; i < records; i++) {
    s += "/usr/share/doc/p" + std::to_string(i) + "/f";
    for (int k = 0; k < 56; k++)
      s += char(g());
  }
  return s;
}

// Every pair rebuilds exactly, and a difference is as small as the change.
TEST(Delta, RoundTrip) {
  const std::string a = snapshot_like(3000, 1);
  std::string one = a;
  one[a.size() / 2] ^= 1;
  std::string inserted = a;
  inserted.insert(a.size() / 3, std::string(90, 'n'));
  const struct {
    const char *what;
    std::string ref, target;
    size_t max;  // the largest difference expected
  } cases[] = {
      {"same bytes", a, a, 200},
      {"one byte changed", a, one, 200},
      {"a record inserted", a, inserted, 300},
      {"a record removed", inserted, a, 300},
      {"empty reference", "", a, a.size() + a.size() / 64 + 64},
      {"empty target", a, "", 64},
      {"both empty", "", "", 64},
      {"unrelated", snapshot_like(100, 2), a, a.size() + a.size() / 64 + 64},
  };
  for (const auto &c : cases) {
    std::string d = "junk", out = "junk", err;
    ASSERT_TRUE(delta_make(c.ref, c.target, &d, &err)) << c.what << ": " << err;
    EXPECT_LE(d.size(), c.max) << c.what;
    ASSERT_TRUE(delta_apply(c.ref, d, c.target.size(), &out, &err))
        << c.what << ": " << err;
    EXPECT_TRUE(out == c.target) << c.what;
  }
}

// A difference that is not what it claims never yields bytes, nor more
// than the size asked.
TEST(Delta, Refused) {
  const std::string a = snapshot_like(500, 3);
  std::string b = a;
  b[100] ^= 1;
  std::string d, err;
  ASSERT_TRUE(delta_make(a, b, &d, &err)) << err;
  std::string unsized(ZSTD_compressBound(b.size()), '\0');
  ZSTD_CCtx *c = ZSTD_createCCtx();
  ZSTD_CCtx_setParameter(c, ZSTD_c_contentSizeFlag, 0);
  // Streamed with no size pledged: the frame cannot state one.
  ZSTD_inBuffer in = {b.data(), b.size(), 0};
  ZSTD_outBuffer outb = {&unsized[0], unsized.size(), 0};
  ASSERT_EQ(0u, ZSTD_compressStream2(c, &outb, &in, ZSTD_e_end));
  ZSTD_freeCCtx(c);
  unsized.resize(outb.pos);
  const uint64_t n = b.size();
  const struct {
    const char *what;
    std::string d;
    uint64_t size;
    std::string err;
  } cases[] = {
      {"one byte fewer asked", d, n - 1,
       "the difference makes " + std::to_string(n) + " bytes, not " +
           std::to_string(n - 1)},
      {"one byte more asked", d, n + 1,
       "the difference makes " + std::to_string(n) + " bytes, not " +
           std::to_string(n + 1)},
      {"a byte after it", d + "x", n, "bytes after the difference's frame"},
      {"two frames", d + d, n, "bytes after the difference's frame"},
      {"not zstd", "kavsend 1\n", n, "not a zstd frame"},
      {"nothing", "", n, "not a zstd frame"},
      {"no size stated", unsized, n, "the difference states no size"},
  };
  for (const auto &k : cases) {
    std::string out = "junk", why;
    EXPECT_FALSE(delta_apply(a, k.d, k.size, &out, &why)) << k.what;
    EXPECT_EQ(k.err, why) << k.what;
    EXPECT_EQ("", out) << k.what;
  }
  // Cut at every length: refused, whatever the place.
  for (size_t len = 0; len < d.size(); len++) {
    std::string out = "junk", why;
    EXPECT_FALSE(delta_apply(a, d.substr(0, len), n, &out, &why)) << len;
    EXPECT_EQ("", out) << len;
  }
}

// Against another reference the bytes rebuilt are not the target: which is
// why the callers check the SHA-256 of what comes out.
TEST(Delta, OtherReference) {
  const std::string a = snapshot_like(500, 4);
  std::string b = a, other = a;
  b[7] ^= 1;
  other[300] ^= 1;
  std::string d, out, err;
  ASSERT_TRUE(delta_make(a, b, &d, &err)) << err;
  if (delta_apply(other, d, b.size(), &out, &err)) {
    EXPECT_FALSE(out == b);
  }
}

}  // namespace
