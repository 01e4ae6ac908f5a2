#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "db/db.h"
#include "db/le.h"

namespace {

// A record with the SHA-256 and two attributes: a small value and one just
// over the bound, which is stored by its digest.
struct ext_rec {
  db_rec rec;
  db_ext ext;
  uint8_t items[DB_XATTR_ITEMS_MAX];
  ext_rec()
  {
    memset(&rec, 0, sizeof rec);
    memset(&ext, 0, sizeof ext);
    rec.ino = 7;
    rec.mask = uint16_t(DB_INO | DB_SHA256 | DB_XATTR);
    for (size_t i = 0; i < DB_SHA256_LEN; i++)
      ext.sha256[i] = uint8_t(i + 1);
    size_t len = 0;
    std::string big(DB_XATTR_WHOLE_MAX + 1, 'v');
    uint8_t sum[DB_SHA256_LEN];
    memset(sum, 0xab, sizeof sum);
    EXPECT_EQ(0,
              db_xattr_put(items, sizeof items, &len, "user.a", "1", 1, sum));
    EXPECT_EQ(0, db_xattr_put(items, sizeof items, &len, "user.b", big.data(),
                              big.size(), sum));
    ext.xa = items;
    ext.xa_len = uint32_t(len);
    rec.ext = &ext;
  }
};

std::string
packed(const db_rec *recs, int n)
{
  static uint8_t buf[DB_DATA_MAX];
  uint32_t len = db_frame_pack(recs, n, buf);
  return std::string(reinterpret_cast<char *>(buf), len);
}

int
unpack(const std::string &data, int n, db_rec *recs, db_ext *exts)
{
  errno = 0;
  return db_recs_unpack(data.data(), data.size(), n, recs, exts);
}

}  // namespace

// What is written is read back: the records, the digest and each attribute,
// whole or by digest; records without extension stay 56 bytes each.
TEST(DbExt, RoundTrip) {
  ext_rec e;
  db_rec plain;
  memset(&plain, 0, sizeof plain);
  plain.mask = 0xffff;  // bits of the extension, but no extension
  EXPECT_EQ(DB_REC_LEN, packed(&plain, 1).size());
  db_rec two_plain[2] = {plain, plain};
  EXPECT_EQ(2 * DB_REC_LEN, packed(two_plain, 2).size());

  const struct {
    db_rec recs[2];
    int n;
  } cases[] = {{{e.rec, plain}, 1}, {{plain, e.rec}, 2}, {{e.rec, e.rec}, 2}};
  for (const auto &c : cases) {
    std::string data = packed(c.recs, c.n);
    db_rec back[2];
    db_ext exts[2];
    ASSERT_EQ(0, unpack(data, c.n, back, exts)) << c.n;
    for (int i = 0; i < c.n; i++) {
      // Either side of a pair gets an extension, empty for the one without.
      ASSERT_NE(nullptr, back[i].ext);
      EXPECT_EQ(c.recs[i].mask, back[i].mask);
      EXPECT_EQ(0u, db_rec_diff(&c.recs[i], &back[i])) << i;
    }
  }

  std::string data = packed(&e.rec, 1);
  db_rec back;
  db_ext ext;
  ASSERT_EQ(0, unpack(data, 1, &back, &ext));
  db_xattr a;
  size_t pos = 0;
  ASSERT_EQ(1, db_xattr_next(&ext, &pos, &a));
  EXPECT_EQ("user.a", std::string(a.name, a.name_len));
  EXPECT_FALSE(a.by_sum);
  EXPECT_EQ("1",
            std::string(reinterpret_cast<const char *>(a.value), a.value_len));
  ASSERT_EQ(1, db_xattr_next(&ext, &pos, &a));
  EXPECT_EQ("user.b", std::string(a.name, a.name_len));
  EXPECT_TRUE(a.by_sum);
  EXPECT_EQ(DB_XATTR_WHOLE_MAX + 1, a.value_len);
  EXPECT_EQ(0xab, a.value[0]);
  EXPECT_EQ(0, db_xattr_next(&ext, &pos, &a));
}

// The longest value kept whole, the first one kept by its digest, and the
// names and sizes a writer refuses.
TEST(DbExt, ValueBounds) {
  static uint8_t items[DB_XATTR_ITEMS_MAX];
  std::string v(DB_XATTR_WHOLE_MAX + 1, 'x');
  uint8_t sum[DB_SHA256_LEN] = {};
  const struct {
    std::string name;
    size_t value_len;
    size_t cap;
    int ret;
    int err;
    bool by_sum;
  } cases[] = {
      {"user.x", 0, sizeof items, 0, 0, false},
      {"user.x", DB_XATTR_WHOLE_MAX, sizeof items, 0, 0, false},
      {"user.x", DB_XATTR_WHOLE_MAX + 1, sizeof items, 0, 0, true},
      {std::string(255, 'n'), 1, sizeof items, 0, 0, false},
      {std::string(256, 'n'), 1, sizeof items, -1, EINVAL, false},
      {"", 1, sizeof items, -1, EINVAL, false},
      {"user.x", 10, DB_ITEM_HEAD_LEN + 1 + 6 + 9, -1, E2BIG, false},
      {"user.x", 10, DB_ITEM_HEAD_LEN + 1 + 6 + 10, 0, 0, false},
  };
  for (const auto &c : cases) {
    size_t len = 0;
    errno = 0;
    EXPECT_EQ(c.ret, db_xattr_put(items, c.cap, &len, c.name.c_str(), v.data(),
                                  c.value_len, sum))
        << c.name.size() << " " << c.value_len;
    EXPECT_EQ(c.err, errno) << c.name.size() << " " << c.value_len;
    if (c.ret != 0)
      continue;
    db_ext ext = {{}, items, uint32_t(len)};
    db_xattr a;
    size_t pos = 0;
    ASSERT_EQ(1, db_xattr_next(&ext, &pos, &a));
    EXPECT_EQ(c.by_sum, a.by_sum) << c.value_len;
    EXPECT_EQ(c.value_len, a.value_len);
  }
}

// An extension this reader does not know, or one that does not add up, is
// refused rather than misread; so is every cut of a good one.
TEST(DbExt, Refusals) {
  ext_rec e;
  const std::string good = packed(&e.rec, 1);
  const size_t ext_at = DB_REC_LEN;
  const size_t item1 = ext_at + DB_EXT_HEAD_LEN + DB_ITEM_HEAD_LEN +
                       DB_SHA256_LEN;
  const size_t item2 = item1 + DB_ITEM_HEAD_LEN + 1 + 6 + 1;
  auto with = [&](size_t at, std::string bytes) {
    std::string d = good;
    d.replace(at, bytes.size(), bytes);
    return d;
  };
  auto le32 = [](uint32_t v) {
    uint8_t b[4];
    le_put32(b, v);
    return std::string(reinterpret_cast<char *>(b), 4);
  };
  const struct {
    const char *what;
    std::string data;
  } cases[] = {
      {"version 0", with(ext_at, std::string("\0\0", 2))},
      {"version 2", with(ext_at, std::string("\2\0", 2))},
      {"body longer",
       with(ext_at + 2, le32(uint32_t(good.size() - ext_at - 5)))},
      {"body shorter",
       with(ext_at + 2, le32(uint32_t(good.size() - ext_at - 7)))},
      {"unknown tag", with(ext_at + DB_EXT_HEAD_LEN, "\x09")},
      {"attribute tag first", with(ext_at + DB_EXT_HEAD_LEN, "\x02")},
      {"digest after attributes", with(item1, "\x01")},
      {"empty name", with(item1 + DB_ITEM_HEAD_LEN, std::string("\0", 1))},
      {"by digest but short",
       with(item2 + DB_ITEM_HEAD_LEN + 1 + 6, le32(DB_XATTR_WHOLE_MAX))},
      {"trailing byte", good + "x"},
  };
  for (const auto &c : cases) {
    db_rec r;
    db_ext x;
    EXPECT_EQ(-1, unpack(c.data, 1, &r, &x)) << c.what;
    EXPECT_EQ(EBADMSG, errno) << c.what;
  }
  for (size_t n = DB_REC_LEN + 1; n < good.size(); n++) {
    db_rec r;
    db_ext x;
    EXPECT_EQ(-1, unpack(good.substr(0, n), 1, &r, &x)) << n;
  }
  db_rec r;
  db_ext x;
  EXPECT_EQ(0, unpack(good, 1, &r, &x));
}
