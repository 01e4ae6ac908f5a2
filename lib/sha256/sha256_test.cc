#include "sha256/sha256.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "testutil/testutil.h"

namespace {

// The state words as the digest's bytes.
std::string
hex_state(const uint32_t st[8])
{
  uint8_t d[SHA256_LEN];
  for (int i = 0; i < 8; i++)
    for (int j = 0; j < 4; j++)
      d[4 * i + j] = uint8_t(st[i] >> (24 - 8 * j));
  return hex_bytes(d, sizeof d);
}

// The crypto library's digest through the EVP interface, the reference.
std::string
evp(const std::string &m)
{
  uint8_t d[SHA256_LEN];
  if (sha256_buf(m.data(), m.size(), d) == nullptr)
    return "sha256_buf failed";
  return hex_bytes(d, sizeof d);
}

std::string
lane(const std::string &m)
{
  sha256_lane c;
  memset(&c, 0x5a, sizeof c);
  sha256_lane_init(&c);
  sha256_lane_update(&c, m.data(), m.size());
  uint8_t d[SHA256_LEN];
  sha256_lane_final(&c, d);
  return hex_bytes(d, sizeof d);
}

std::string
random_bytes(size_t n, std::mt19937 &rng)
{
  std::string s(n, '\0');
  for (char &ch : s)
    ch = char(rng());
  return s;
}

// m and its padding: the blocks whose compression from the initial state
// leaves the digest of m.
std::string
padded(const std::string &m)
{
  std::string p = m;
  p += char(0x80);
  while (p.size() % 64 != 56)
    p += '\0';
  uint64_t bits = uint64_t(m.size()) * 8;
  for (int i = 7; i >= 0; i--)
    p += char(bits >> (8 * i));
  return p;
}

constexpr uint32_t h0[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                            0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

// Bytes at an offset from the start of an allocation that ends right after
// them, so that a block function reading past the end or before the start
// trips the address sanitizer, and a misaligned load shows.
class placed {
 public:
  placed(const std::string &bytes, size_t off) : mem_(off + bytes.size())
  {
    if (!bytes.empty())
      memcpy(mem_.data() + off, bytes.data(), bytes.size());
    p_ = mem_.data() + off;
  }
  const uint8_t *get() const { return p_; }

 private:
  std::vector<uint8_t> mem_;
  const uint8_t *p_;
};

// Runs the body with the lanes on the system library's block function one
// stream at a time, and again on the fastest with the interleaved one,
// where the processor has it.
class Sha256Lane : public testing::TestWithParam<int> {
 protected:
  void SetUp() override
  {
    if (sha256_lane_select(GetParam()) != GetParam())
      GTEST_SKIP() << "no SHA extensions on this processor: the lanes have "
                      "no interleaved block function";
  }
  void TearDown() override { sha256_lane_select(1); }
};

INSTANTIATE_TEST_SUITE_P(Blocks, Sha256Lane, testing::Values(0, 1),
                         [](const testing::TestParamInfo<int> &i) {
                           return std::string(i.param ? "Accel" : "System");
                         });

const struct {
  const char *name;
  std::string m;
  const char *want;
} fips[] = {
    {"empty", "",
     "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {"abc", "abc",
     "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {"448 bits", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
     "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    {"896 bits",
     "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnop"
     "jklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
     "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
    {"a million a", std::string(1000000, 'a'),
     "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
};

}  // namespace

// The library's digest, which the other tests take as the reference, and
// the lanes, alone and two at once, on the published vectors.
TEST_P(Sha256Lane, StandardVectors) {
  for (const auto &c : fips) {
    EXPECT_EQ(c.want, evp(c.m)) << c.name;
    EXPECT_EQ(c.want, lane(c.m)) << c.name;
    sha256_lane a, b;
    sha256_lane_init(&a);
    sha256_lane_init(&b);
    sha256_lane_update2(&a, c.m.data(), &b, c.m.data(), c.m.size());
    uint8_t da[SHA256_LEN], db[SHA256_LEN];
    sha256_lane_final(&a, da);
    sha256_lane_final(&b, db);
    EXPECT_EQ(c.want, hex_bytes(da, sizeof da)) << c.name << ", lane 0 of two";
    EXPECT_EQ(c.want, hex_bytes(db, sizeof db)) << c.name << ", lane 1 of two";
  }
}

// Every length over the padding boundaries (55, 56, 63, 64, 119, 120 ...)
// and a few large ones, on random bytes.
TEST_P(Sha256Lane, EveryLengthMatchesLibrary) {
  std::mt19937 rng(7);
  const std::string m = random_bytes((1 << 20) + 3, rng);
  for (size_t n = 0; n <= 300; n++)
    ASSERT_EQ(evp(m.substr(0, n)), lane(m.substr(0, n))) << "length " << n;
  for (size_t n : {4095, 4096, 4097, 65600, (1 << 20) + 3})
    EXPECT_EQ(evp(m.substr(0, n)), lane(m.substr(0, n))) << "length " << n;
}

// Every way of cutting a message into two or three pieces gives the digest
// of the whole, whether the pieces fill the partial block or pass whole
// blocks straight through; and so do single bytes.
TEST_P(Sha256Lane, SplitUpdates) {
  std::mt19937 rng(11);
  const std::string m = random_bytes(300, rng);
  const std::string want = evp(m);
  for (size_t i = 0; i <= m.size(); i++) {
    for (size_t j = i; j <= m.size(); j += 37) {
      sha256_lane c;
      sha256_lane_init(&c);
      sha256_lane_update(&c, m.data(), i);
      sha256_lane_update(&c, m.data() + i, j - i);
      sha256_lane_update(&c, m.data() + j, m.size() - j);
      EXPECT_EQ(uint64_t(m.size()), c.count);
      uint8_t out[SHA256_LEN];
      sha256_lane_final(&c, out);
      ASSERT_EQ(want, hex_bytes(out, sizeof out))
          << "cut at " << i << " and " << j;
    }
  }
  sha256_lane c;
  sha256_lane_init(&c);
  for (char ch : m)
    sha256_lane_update(&c, &ch, 1);
  uint8_t out[SHA256_LEN];
  sha256_lane_final(&c, out);
  EXPECT_EQ(want, hex_bytes(out, sizeof out));
}

namespace {

struct two_lanes {
  size_t fill0, fill1;  // bytes each lane has before the joint update
  size_t n;             // bytes of the joint update
  bool same_data;       // both lanes read the same bytes
};

// Brings each lane to its fill with a prefix of its own, updates both at
// once, and then once more alone, and holds each to the library's digest
// of its whole message.
void
check_two_lanes(const two_lanes &c, std::mt19937 &rng)
{
  std::string pre[2] = {random_bytes(c.fill0, rng), random_bytes(c.fill1, rng)};
  std::string body[2] = {random_bytes(c.n, rng), random_bytes(c.n, rng)};
  std::string tail[2] = {random_bytes(rng() % 70, rng),
                         random_bytes(rng() % 70, rng)};
  if (c.same_data)
    body[1] = body[0];
  placed d0(body[0], rng() % 16), d1(body[1], rng() % 16);
  const uint8_t *p1 = c.same_data ? d0.get() : d1.get();
  sha256_lane l[2];
  for (int k = 0; k < 2; k++) {
    sha256_lane_init(&l[k]);
    sha256_lane_update(&l[k], pre[k].data(), pre[k].size());
  }
  sha256_lane_update2(&l[0], d0.get(), &l[1], p1, c.n);
  for (int k = 0; k < 2; k++) {
    EXPECT_EQ(uint64_t(pre[k].size() + c.n), l[k].count) << "lane " << k;
    EXPECT_EQ((pre[k].size() + c.n) % 64, l[k].fill) << "lane " << k;
    sha256_lane_update(&l[k], tail[k].data(), tail[k].size());
    uint8_t out[SHA256_LEN];
    sha256_lane_final(&l[k], out);
    EXPECT_EQ(evp(pre[k] + body[k] + tail[k]), hex_bytes(out, sizeof out))
        << "lane " << k;
  }
}

}  // namespace

// The lanes' partial blocks at every pairing that matters: both empty,
// equal, one empty, one a byte short of a block, with joint updates that
// do not reach a block boundary, reach it exactly, or leave one lane a
// block more than the other to do alone; then random ones.
TEST_P(Sha256Lane, TwoLanesAnyFill) {
  const two_lanes rows[] = {
      {0, 0, 0, false},    {0, 0, 1, false},     {0, 0, 64, false},
      {0, 0, 65, false},   {0, 0, 6400, false},  {0, 0, 6401, true},
      {10, 10, 54, false}, {10, 10, 300, true},  {0, 1, 63, false},
      {1, 0, 63, false},   {0, 1, 64, false},    {0, 63, 127, false},
      {63, 0, 128, false}, {63, 1, 1, false},    {32, 33, 1000, false},
      {5, 60, 4096, true}, {60, 5, 4097, false}, {1, 63, 62, false},
      {55, 56, 9, false},  {56, 55, 200, false},
  };
  std::mt19937 rng(21);
  for (const two_lanes &c : rows) {
    SCOPED_TRACE("fills " + std::to_string(c.fill0) + " and " +
                 std::to_string(c.fill1) + ", " + std::to_string(c.n) +
                 " bytes" + (c.same_data ? ", same data" : ""));
    check_two_lanes(c, rng);
  }
  for (int i = 0; i < 300; i++) {
    two_lanes c = {rng() % 64, rng() % 64,
                   rng() % 4 == 0 ? rng() % 130 : rng() % 3000, rng() % 8 == 0};
    SCOPED_TRACE("case " + std::to_string(i) + ": fills " +
                 std::to_string(c.fill0) + " and " + std::to_string(c.fill1) +
                 ", " + std::to_string(c.n) + " bytes");
    check_two_lanes(c, rng);
    if (testing::Test::HasFailure())
      return;
  }
}

// No bytes: nothing read, so null data will do, and nothing changed.
TEST_P(Sha256Lane, TwoLanesNothing) {
  sha256_lane a, b;
  sha256_lane_init(&a);
  sha256_lane_init(&b);
  sha256_lane_update(&b, "xyz", 3);
  sha256_lane_update2(&a, nullptr, &b, nullptr, 0);
  EXPECT_EQ(0u, a.count);
  EXPECT_EQ(0u, a.fill);
  EXPECT_EQ(3u, b.count);
  EXPECT_EQ(3u, b.fill);
}

namespace {

struct named_fn {
  const char *name;
  sha256_blocks_fn fn;
};

}  // namespace

// Each block function is the bare compression function: "abc" padded by
// hand, from the initial state, gives the digest's words.
TEST(Sha256Blocks, OneBlockFromInitialState) {
  const named_fn fns[] = {{"portable", sha256_blocks_portable},
                          {"system", sha256_blocks_system},
                          {"accel", sha256_blocks_accel()}};
  uint8_t block[64] = {'a', 'b', 'c', 0x80};
  block[63] = 24;
  for (const named_fn &f : fns) {
    if (f.fn == nullptr)
      continue;
    uint32_t st[8];
    memcpy(st, h0, sizeof st);
    f.fn(st, block, 1);
    EXPECT_EQ(fips[1].want, hex_state(st)) << f.name;
  }
}

// The system library's and this module's SHA-extension block functions
// against the portable one, from random states over random blocks at
// every alignment, runs of 0 to 300 blocks.
TEST(Sha256Blocks, SingleStreamMatchesPortable) {
  std::mt19937 rng(5);
  const named_fn fns[] = {{"system", sha256_blocks_system},
                          {"accel", sha256_blocks_accel()}};
  for (const named_fn &f : fns) {
    if (f.fn == nullptr)
      continue;
    for (int i = 0; i < 200; i++) {
      size_t blocks = i < 4 ? size_t(i) : rng() % 300;
      std::string m = random_bytes(blocks * 64, rng);
      placed d(m, rng() % 64);
      std::vector<uint32_t> got(8), want(8);  // heap: a ninth word trips
      for (int w = 0; w < 8; w++)
        got[w] = want[w] = uint32_t(rng());
      sha256_blocks_portable(want.data(), d.get(), blocks);
      f.fn(got.data(), d.get(), blocks);
      ASSERT_EQ(hex_state(want.data()), hex_state(got.data()))
          << f.name << ", " << blocks << " blocks, case " << i;
    }
  }
  if (sha256_blocks_accel() == nullptr)
    GTEST_SKIP() << "no SHA extensions on this processor: only the system "
                    "library's block function was checked";
}

namespace {

struct two_streams {
  size_t blocks;
  size_t off0, off1;  // of each stream's first byte from an allocation
  bool same_data;     // both streams read the same bytes at off0
  bool same_state;    // and start from the same state
};

// Two messages padded to c.blocks blocks each, hashed with fn from the
// initial state and held to the library's digests; then the same blocks
// from random states, held to the portable block function.
void
check_two_streams(sha256_blocks2_fn fn, const two_streams &c, std::mt19937 &rng)
{
  std::string m[2], blocks[2];
  for (int k = 0; k < 2; k++) {
    size_t lo = c.blocks * 64 > 72 ? c.blocks * 64 - 72 : 0;
    size_t len = c.blocks == 0 ? 0 : lo + rng() % (c.blocks * 64 - 8 - lo);
    m[k] = random_bytes(len, rng);
    blocks[k] = c.blocks == 0 ? std::string() : padded(m[k]);
    ASSERT_EQ(c.blocks * 64, blocks[k].size());
  }
  if (c.same_data) {
    m[1] = m[0];
    blocks[1] = blocks[0];
  }
  placed d0(blocks[0], c.off0), d1(blocks[1], c.off1);
  const uint8_t *p0 = d0.get();
  const uint8_t *p1 = c.same_data ? p0 : d1.get();
  // Heap states, so that a store past the eighth word trips the sanitizer.
  std::vector<uint32_t> s0(h0, h0 + 8), s1(h0, h0 + 8);
  fn(s0.data(), p0, s1.data(), p1, c.blocks);
  if (c.blocks > 0) {
    EXPECT_EQ(evp(m[0]), hex_state(s0.data())) << "stream 0";
    EXPECT_EQ(evp(m[1]), hex_state(s1.data())) << "stream 1";
  } else {
    EXPECT_EQ(hex_state(h0), hex_state(s0.data())) << "stream 0";
    EXPECT_EQ(hex_state(h0), hex_state(s1.data())) << "stream 1";
  }
  // From random states, distinct unless asked otherwise: a lane that took
  // the other's state or bytes shows.
  for (int i = 0; i < 8; i++) {
    s0[i] = uint32_t(rng());
    s1[i] = c.same_state ? s0[i] : uint32_t(rng());
  }
  uint32_t want0[8], want1[8];
  memcpy(want0, s0.data(), sizeof want0);
  memcpy(want1, s1.data(), sizeof want1);
  sha256_blocks_portable(want0, p0, c.blocks);
  sha256_blocks_portable(want1, p1, c.blocks);
  fn(s0.data(), p0, s1.data(), p1, c.blocks);
  EXPECT_EQ(hex_state(want0), hex_state(s0.data())) << "stream 0";
  EXPECT_EQ(hex_state(want1), hex_state(s1.data())) << "stream 1";
}

std::string
describe(const two_streams &c)
{
  return std::to_string(c.blocks) + " blocks at offsets " +
         std::to_string(c.off0) + " and " + std::to_string(c.off1) +
         (c.same_data ? ", same data" : "") +
         (c.same_state ? ", same state" : "");
}

}  // namespace

// Edge cases first: no blocks at all (nothing read, null pointers taken),
// one and two blocks, misalignments, both streams reading the same bytes
// from the same or from distinct states; then random ones.
TEST(Sha256Blocks, TwoStreamsMatchOneStream) {
  sha256_blocks2_fn fn = sha256_blocks2_accel();
  if (fn == nullptr)
    GTEST_SKIP() << "no SHA extensions on this processor: no two-stream "
                    "block function to check";
  const two_streams rows[] = {
      {0, 0, 0, false, false},   {0, 63, 1, false, false},
      {1, 0, 0, false, false},   {1, 1, 63, false, false},
      {2, 63, 63, false, false}, {2, 0, 32, false, false},
      {1, 5, 5, true, false},    {17, 3, 3, true, true},
      {3, 0, 0, false, true},    {1000, 7, 9, false, false},
  };
  std::mt19937 rng(33);
  for (const two_streams &c : rows) {
    SCOPED_TRACE(describe(c));
    check_two_streams(fn, c, rng);
  }
  uint32_t s0[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  uint32_t s1[8] = {9, 10, 11, 12, 13, 14, 15, 16};
  fn(s0, nullptr, s1, nullptr, 0);
  EXPECT_EQ(1u, s0[0]);
  EXPECT_EQ(16u, s1[7]);
  for (int i = 0; i < 300; i++) {
    size_t pick = rng() % 4;
    two_streams c = {pick < 3 ? pick : 3 + rng() % 200, rng() % 64, rng() % 64,
                     rng() % 8 == 0, rng() % 8 == 0};
    SCOPED_TRACE(describe(c) + ", case " + std::to_string(i));
    check_two_streams(fn, c, rng);
    if (testing::Test::HasFailure())
      return;
  }
}
