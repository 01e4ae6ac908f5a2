#include "db/print.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <string>

namespace {

typedef int (*printer)(uint32_t, const db_rec *, const char *, uint32_t);

std::string
capture(printer p, uint32_t kind, const db_rec *recs, const char *path,
        uint32_t sel)
{
  testing::internal::CaptureStdout();
  EXPECT_EQ(0, p(kind, recs, path, sel));
  return testing::internal::GetCapturedStdout();
}

db_rec
zero_rec()
{
  db_rec r;
  memset(&r, 0, sizeof r);
  return r;
}

db_rec
full_rec()
{
  db_rec r = zero_rec();
  r.ino = 12;
  r.links = 1;
  r.uid = 4294967294u;
  r.gid = 5;
  r.mode = 0100644;
  r.size = 1234;
  r.flags = 0x3;
  r.ctime = 86400 + 3661;
  for (size_t i = 0; i < DB_SUM_LEN; i++)
    r.csum[i] = uint8_t(i * 17);
  r.mask = 0x1ff;
  return r;
}

const char FULL_SUM[] = "00112233445566778899aabbccddeeff10213243";

// The line a record gives in each layout, built with the printf formats
// that the layouts are defined by.
std::string
ref_block(const db_rec &r, uint32_t sel, bool plain)
{
  char buf[128];
  std::string s;
  char when[80];  // years up to 2106 here, so never more than 19
  struct tm tm;
  time_t t = time_t(r.ctime);
  localtime_r(&t, &tm);
  snprintf(when, sizeof when, "%d-%.2d-%.2d %.2d:%.2d:%.2d", tm.tm_year + 1900,
           tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  char sum[41];
  hex_encode(r.csum, sum, 40);
  auto add = [&](uint32_t bit, const char *pfmt, const char *lfmt, auto v) {
    if (sel & bit) {
      snprintf(buf, sizeof buf, plain ? pfmt : lfmt, v);
      s += buf;
    }
  };
  add(0x001, "%lld ", "ino:\t%lld\n", (long long)r.ino);
  add(0x004, "%d ", "links:\t%d\n", r.links);
  add(0x008, "%ld ", "uid:\t%ld\n", (long)r.uid);
  add(0x010, "%ld ", "gid:\t%ld\n", (long)r.gid);
  add(0x002, "%.6o ", "mode:\t%.6o\n", (unsigned)r.mode);
  add(0x040, "%lld ", "size:\t%lld\n", (long long)r.size);
  add(0x080, "%.8x ", "flags:\t%.8x\n", r.flags);
  add(0x020, "%s ", "ctime:\t%s\n", when);
  add(0x100, "%s ", "csum:\t%s\n", sum);
  return s + "\n";
}

}  // namespace

TEST(RecPrint, PlainLayout) {
  db_rec r = full_rec();
  EXPECT_EQ(
      "? ilugmsftc /etc/passwd\n"
      "12 1 4294967294 5 100644 1234 00000003 1970-01-02 01:01:01 " +
          std::string(FULL_SUM) + " \n",
      capture(rec_print_plain, 0, &r, "/etc/passwd", 0x1ff));
  EXPECT_EQ("? ilugmsftc /a\n12 1 \n",
            capture(rec_print_plain, 0, &r, "/a", 0x005));
}

TEST(RecPrint, LongAndHumanLayouts) {
  db_rec r = full_rec();
  const std::string common_head =
      "? ilugmsftc /etc/passwd\n"
      "ino:\t12\nlinks:\t1\nuid:\t4294967294\ngid:\t5\n";
  const std::string tail = "ctime:\t1970-01-02 01:01:01\ncsum:\t" +
                           std::string(FULL_SUM) + "\n\n";
  EXPECT_EQ(common_head + "mode:\t100644\nsize:\t1234\nflags:\t00000003\n" +
                tail,
            capture(rec_print_long, 0, &r, "/etc/passwd", 0x1ff));
  EXPECT_EQ(common_head +
                "mode:\t100644 (-rw-r--r--)\nsize:\t1234\n"
                "flags:\t00000003 (nodump,uchg)\n" +
                tail,
            capture(rec_print_human, 0, &r, "/etc/passwd", 0x1ff));
}

// The header shows the first record's own mask and the kind's letter; the
// second record is printed only for kind 2.
TEST(RecPrint, KindsAndPairs) {
  db_rec pair[2] = {zero_rec(), zero_rec()};
  pair[0].mask = 0x102;
  pair[0].mode = 0100600;
  pair[1].mask = 0x1ff;
  pair[1].mode = 0100644;
  const struct {
    printer p;
    uint32_t kind;
    uint32_t sel;
    const char *want;
  } cases[] = {
      {rec_print_plain, 2, 0x002, "C ----m---c /p\n100600 \n100644 \n"},
      {rec_print_plain, 4, 0x002, "N ----m---c /p\n100600 \n"},
      {rec_print_plain, 8, 0x002, "D ----m---c /p\n100600 \n"},
      {rec_print_plain, 2, 0, "C ----m---c /p\n\n\n"},
      {rec_print_long, 2, 0, "C ----m---c /p\n\n\n"},
      {rec_print_long, 2, 0x002,
       "C ----m---c /p\nmode:\t100600\n\nmode:\t100644\n\n"},
      {rec_print_human, 2, 0x002,
       "C ----m---c /p\nmode:\t100600 (-rw-------)\n\nmode:\t100644 (-rw-r--r--)\n\n"},
      {rec_print_long, 8, 0x002, "D ----m---c /p\nmode:\t100600\n\n"},
      {rec_print_plain, 0, 0x002, "? ----m---c /p\n100600 \n"},
      {rec_print_plain, 1, 0x002, "? ----m---c /p\n100600 \n"},
      {rec_print_plain, 3, 0x002, "? ----m---c /p\n100600 \n"},
      {rec_print_plain, 5, 0x002, "? ----m---c /p\n100600 \n"},
      {rec_print_plain, 6, 0x002, "? ----m---c /p\n100600 \n"},
      {rec_print_plain, 7, 0x002, "? ----m---c /p\n100600 \n"},
      {rec_print_plain, 9, 0x002, "? ----m---c /p\n100600 \n"},
      {rec_print_plain, 0x102, 0x002, "? ----m---c /p\n100600 \n"},
      {rec_print_plain, UINT32_MAX, 0x002, "? ----m---c /p\n100600 \n"},
  };
  for (const auto &c : cases)
    EXPECT_EQ(c.want, capture(c.p, c.kind, pair, "/p", c.sel))
        << "kind " << c.kind << " sel " << c.sel;
}

TEST(RecPrint, MaskTextIgnoresSelection) {
  const struct {
    uint16_t mask;
    const char *want;
  } cases[] = {
      {0, "---------"},     {0x1ff, "ilugmsftc"}, {0x102, "----m---c"},
      {0x001, "i--------"}, {0x020, "-------t-"}, {0xfe00, "---------"},
  };
  for (const auto &c : cases) {
    db_rec r = zero_rec();
    r.mask = c.mask;
    EXPECT_EQ(std::string("? ") + c.want + " /x\n\n",
              capture(rec_print_plain, 0, &r, "/x", 0))
        << c.mask;
  }
}

TEST(RecPrint, UnrecordedFieldsPrintAsZero) {
  db_rec r = zero_rec();
  r.mask = 0x002;
  r.mode = 0644;
  EXPECT_EQ("? ----m---- /x\n0 0 0 0 000644 0 00000000 1970-01-01 00:00:00 " +
                std::string(40, '0') + " \n",
            capture(rec_print_plain, 0, &r, "/x", 0xffffffff));
}

TEST(RecPrint, ModeText) {
  const struct {
    uint16_t mode;
    const char *want;
  } cases[] = {
      {0104755, "-rwSr-xr-x"}, {0104644, "-rwsr--r--"}, {0102745, "-rwxr-sr-x"},
      {0101777, "-rwxrwxrwx"}, {0120777, "lrwxrwxrwx"}, {0010644, "frw-r--r--"},
      {0160644, "-rw-r--r--"}, {0040755, "drwxr-xr-x"}, {0020600, "crw-------"},
      {0060640, "brw-r-----"}, {0140777, "srwxrwxrwx"}, {0000000, "----------"},
      {0102010, "------S---"}, {0106000, "---s--s---"},
  };
  for (const auto &c : cases) {
    db_rec r = zero_rec();
    r.mode = c.mode;
    char line[64];
    snprintf(line, sizeof line, "? --------- /x\nmode:\t%.6o (%s)\n\n", c.mode,
             c.want);
    EXPECT_EQ(line, capture(rec_print_human, 0, &r, "/x", 0x002));
  }
}

TEST(RecPrint, FlagNames) {
  const struct {
    uint32_t flags;
    const char *want;
  } cases[] = {
      {0x3, "nodump,uchg"},
      {0x20, ""},
      {0x0, ""},
      {0x14, "append,uunlink"},
      {0x8, "opaque"},
      {0x20004, "append,schg"},
      {0x17011f, "nodump,uchg,append,opaque,uunlink,arch,schg,sappend,sunlink"},
      {0xffffffff,
       "nodump,uchg,append,opaque,uunlink,arch,schg,sappend,sunlink"},
  };
  for (const auto &c : cases) {
    db_rec r = zero_rec();
    r.flags = c.flags;
    char line[128];
    snprintf(line, sizeof line, "? --------- /x\nflags:\t%.8x (%s)\n\n",
             c.flags, c.want);
    EXPECT_EQ(line, capture(rec_print_human, 0, &r, "/x", 0x080));
  }
}

TEST(RecPrint, TimeText) {
  const struct {
    int64_t t;
    const char *want;
  } cases[] = {
      {0, "1970-01-01 00:00:00"},
      {4294967295ll, "2106-02-07 06:28:15"},
      {-1, "1969-12-31 23:59:59"},
      // Beyond what localtime_r can convert.
      {INT64_MAX, "(time out of range)"},
      {INT64_MIN, "(time out of range)"},
  };
  for (const auto &c : cases) {
    db_rec r = zero_rec();
    r.ctime = c.t;
    EXPECT_EQ(std::string("? --------- /x\nctime:\t") + c.want + "\n\n",
              capture(rec_print_long, 0, &r, "/x", 0x020))
        << c.t;
  }
  // A year of more than four digits is cut to the 19 characters of the text.
  db_rec r = zero_rec();
  r.ctime = 253402300800ll;  // 10000-01-01 00:00:00
  EXPECT_EQ("? --------- /x\n10000-01-01 00:00:0 \n",
            capture(rec_print_plain, 0, &r, "/x", 0x020));
  // Years around zero and far out, against the format itself.
  const int64_t far[] = {-62167219200ll,   -62167219201ll,  -62198755201ll,
                         -9000000000000ll, 9000000000000ll, 2000000000000ll};
  for (int64_t t : far) {
    time_t tt = time_t(t);
    struct tm tm;
    ASSERT_NE(nullptr, localtime_r(&tt, &tm)) << t;
    char wide[80], want[20];
    snprintf(wide, sizeof wide, "%d-%.2d-%.2d %.2d:%.2d:%.2d",
             tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
             tm.tm_min, tm.tm_sec);
    snprintf(want, sizeof want, "%.19s", wide);
    r.ctime = t;
    EXPECT_EQ(std::string("? --------- /x\n") + want + " \n",
              capture(rec_print_plain, 0, &r, "/x", 0x020))
        << t;
  }
}

// The hand-made formatting gives the same bytes as the printf formats, for
// values across every field's range, signs included.
TEST(RecPrint, MatchesPrintfFormats) {
  std::mt19937_64 rng(42);
  for (int i = 0; i < 2000; i++) {
    db_rec r = zero_rec();
    int shift = i % 64;
    r.ino = rng() >> shift;
    r.links = int32_t(uint32_t(rng() >> (i % 32)));
    r.uid = uint32_t(rng() >> (i % 32));
    r.gid = uint32_t(rng());
    r.mode = uint16_t(rng());
    r.size = int64_t(rng() >> shift) * (i % 2 ? -1 : 1);
    r.flags = uint32_t(rng());
    r.ctime = int64_t(rng() % 4294967296ull);
    for (auto &b : r.csum)
      b = uint8_t(rng());
    r.mask = uint16_t(rng());
    uint32_t sel = uint32_t(rng());
    db_rec pair[2] = {r, r};
    pair[1].ino = ~r.ino;
    pair[1].size = -r.size;
    std::string got = capture(rec_print_plain, 2, pair, "/p", sel);
    std::string want_tail = ref_block(pair[0], sel, true) +
                            ref_block(pair[1], sel, true);
    ASSERT_EQ(want_tail, got.substr(got.find('\n') + 1)) << "case " << i;
    got = capture(rec_print_long, 2, pair, "/p", sel);
    want_tail = ref_block(pair[0], sel, false) + ref_block(pair[1], sel, false);
    ASSERT_EQ(want_tail, got.substr(got.find('\n') + 1)) << "case " << i;
  }
}

// Paths longer than the printer's buffer, plain and escaped across its
// chunks: the header is still the whole path, on one line.
TEST(RecPrint, LongPathGoesOutWhole) {
  std::string plain(10000, 'x'), odd, odd_esc;
  for (int i = 0; i < 3000; i++) {
    odd += i % 3 ? "x" : "\n\\";
    odd_esc += i % 3 ? "x" : "\\012\\134";
  }
  const struct {
    std::string path, want;
  } cases[] = {{plain, plain}, {odd, odd_esc}};
  db_rec r = zero_rec();
  for (const auto &c : cases)
    EXPECT_EQ("? --------- " + c.want + "\n\n",
              capture(rec_print_long, 0, &r, c.path.c_str(), 0));
}

// A view with a stream of its own gets on it exactly what the layout's
// printer gives standard output, and standard output gets nothing: each
// layout, a pair, and a path longer than the printer's buffer.
TEST(RecViewPrint, OwnStream) {
  db_rec pair[2] = {full_rec(), full_rec()};
  pair[1].mode = 0100600;
  std::string long_path = "/" + std::string(9000, 'y');
  const struct {
    bool human, plain;
    printer p;
  } layouts[] = {{false, false, rec_print_long},
                 {true, false, rec_print_human},
                 {false, true, rec_print_plain}};
  for (const auto &l : layouts) {
    for (const std::string &path : {std::string("/etc/p\n"), long_path}) {
      std::string want =
          capture(l.p, DB_KIND_CHANGED, pair, path.c_str(), pair[0].mask);
      rec_view v;
      memset(&v, 0, sizeof v);
      v.rv_human = l.human;
      v.rv_plain = l.plain;
      char *buf = nullptr;
      size_t len = 0;
      v.rv_out = open_memstream(&buf, &len);
      ASSERT_NE(nullptr, v.rv_out);
      testing::internal::CaptureStdout();
      EXPECT_EQ(0, rec_view_print(&v, DB_KIND_CHANGED, pair, path.c_str()));
      EXPECT_EQ("", testing::internal::GetCapturedStdout());
      ASSERT_EQ(0, fclose(v.rv_out));
      EXPECT_EQ(want, std::string(buf, len))
          << "human " << l.human << " plain " << l.plain << " path of "
          << path.size();
      free(buf);
    }
  }
}

// A stream that refuses the output is the printer's failure, with errno.
TEST(RecViewPrint, RefusedStream) {
  FILE *full = fopen("/dev/full", "w");
  if (full == nullptr)
    GTEST_SKIP() << "no /dev/full here";
  setvbuf(full, nullptr, _IONBF, 0);
  rec_view v;
  memset(&v, 0, sizeof v);
  v.rv_out = full;
  db_rec r = full_rec();
  errno = 0;
  EXPECT_EQ(-1, rec_view_print(&v, DB_KIND_NEW, &r, "/a"));
  EXPECT_EQ(ENOSPC, errno);
  fclose(full);
}

TEST(MaskParse, Letters) {
  const struct {
    const char *text;
    uint32_t want;
  } cases[] = {
      {"", 0},       {"ug", 0x018}, {"z9u", 0x008},
      {"Fc", 0x1ff}, {"cF", 0x1ff}, {"tC", 0x09f},
      {"Ct", 0x0bf}, {"C", 0x09f},  {"imlugtsfc", 0x1ff},
      {"I M", 0},    {"ii", 0x001}, {"c", 0x100},
  };
  for (const auto &c : cases) {
    uint32_t got = 0xdead;
    mask_parse(c.text, &got);
    EXPECT_EQ(c.want, got) << "text \"" << c.text << "\"";
  }
}

TEST(Hex, Encode) {
  const uint8_t bytes[] = {0x01, 0xab};
  const struct {
    int n;
    const char *want;
  } cases[] = {{4, "01ab"}, {3, "01a"}, {1, "0"}, {0, ""}};
  for (const auto &c : cases) {
    char text[8];
    memset(text, '#', sizeof text);
    EXPECT_EQ(text, hex_encode(bytes, text, c.n));
    EXPECT_STREQ(c.want, text) << c.n;
  }
}

TEST(Hex, Decode) {
  const struct {
    const char *text;
    int n;
    bool ok;
    uint8_t want0, want1;
  } cases[] = {
      {"01ab", 4, true, 0x01, 0xab},  {"abc", 3, true, 0xab, 0xc0},
      {"01AB", 4, false, 0x01, 0x00}, {"zz", 0, true, 0, 0},
      {"zz", -3, true, 0, 0},         {"f", 1, true, 0xf0, 0},
      {"0g", 2, false, 0x00, 0},
  };
  for (const auto &c : cases) {
    uint8_t bytes[2] = {0, 0};
    uint8_t *r = hex_decode(c.text, bytes, c.n);
    EXPECT_EQ(c.ok ? bytes : nullptr, r) << c.text;
    EXPECT_EQ(c.want0, bytes[0]) << c.text;
    EXPECT_EQ(c.want1, bytes[1]) << c.text;
  }
  // Round trip of a digest.
  uint8_t sum[20], back[20] = {};
  for (int i = 0; i < 20; i++)
    sum[i] = uint8_t(i * 13 + 7);
  char text[41];
  ASSERT_EQ(back, hex_decode(hex_encode(sum, text, 40), back, 40));
  EXPECT_EQ(0, memcmp(sum, back, sizeof sum));
}
