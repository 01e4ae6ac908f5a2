#include "diag/esc.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "testutil/unesc.h"

namespace {

std::string
esc(const std::string &s, bool utf8)
{
  std::string out(ESC_GROW * s.size() + 1, '\x55');  // junk shows overruns
  size_t n = utf8 ? esc_bytes_utf8(s.data(), s.size(), &out[0])
                  : esc_bytes(s.data(), s.size(), &out[0]);
  EXPECT_LE(n, ESC_GROW * s.size());
  EXPECT_EQ('\x55', out[ESC_GROW * s.size()]);
  out.resize(n);
  return out;
}

}  // namespace

TEST(Esc, EveryByte) {
  for (int c = 0; c < 256; c++) {
    std::string in(1, char(c));
    bool special = c < 0x20 || c == 0x7f || c == '\\';
    char want[8];
    snprintf(want, sizeof want, "\\%03o", c);
    EXPECT_EQ(special ? std::string(want) : in, esc(in, false)) << c;
    // Alone, a byte above 0x7F is never well-formed UTF-8.
    EXPECT_EQ(special || c >= 0x80 ? std::string(want) : in, esc(in, true))
        << c;
  }
}

TEST(Esc, Names) {
  const struct {
    const char *in, *want, *want_utf8;
  } cases[] = {
      {"", "", ""},
      {"/etc/passwd", "/etc/passwd", "/etc/passwd"},
      {"x\n100644 5 0\nD ilugmsftc \xe2\x88\x95"
       "etc",
       "x\\012100644 5 0\\012D ilugmsftc \xe2\x88\x95"
       "etc",
       "x\\012100644 5 0\\012D ilugmsftc \xe2\x88\x95"
       "etc"},
      {"\n\t\\\x7f\x01", "\\012\\011\\134\\177\\001",
       "\\012\\011\\134\\177\\001"},
      {"a\\012", "a\\134012", "a\\134012"},
      // UTF-8 of every length stands as it is.
      {"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80",
       "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80",
       "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"},
      // Cut, stray, overlong, surrogate and too large: escaped byte by byte
      // in the UTF-8 form only.
      {"\xe2\x82", "\xe2\x82", "\\342\\202"},
      {"\x80z", "\x80z", "\\200z"},
      {"\xc0\xaf\xe0\x80\xaf", "\xc0\xaf\xe0\x80\xaf",
       "\\300\\257\\340\\200\\257"},
      {"\xed\xa0\x80", "\xed\xa0\x80", "\\355\\240\\200"},
      {"\xf4\x90\x80\x80\xf5", "\xf4\x90\x80\x80\xf5",
       "\\364\\220\\200\\200\\365"},
      {"\xf4\x8f\xbf\xbf\xed\x9f\xbf", "\xf4\x8f\xbf\xbf\xed\x9f\xbf",
       "\xf4\x8f\xbf\xbf\xed\x9f\xbf"},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(c.want, esc(c.in, false)) << c.in;
    EXPECT_EQ(c.want_utf8, esc(c.in, true)) << c.in;
  }
}

// Random names always read back as they were, in both forms, and the UTF-8
// form holds no byte a reader could take for the end of a line.
TEST(Esc, RoundTrip) {
  std::mt19937 rng(7);
  for (int round = 0; round < 2000; round++) {
    std::string in(rng() % 24, '\0');
    for (char &ch : in)
      ch = char(rng() % 4 == 0 ? "\n\\\x7f\xc3\xa9\xe2\xf0"[rng() % 7] : rng());
    for (bool utf8 : {false, true}) {
      std::string out = esc(in, utf8), back;
      EXPECT_TRUE(unesc_name(out, &back)) << out;
      EXPECT_EQ(in, back);
      for (size_t i = 0; utf8 && i < out.size();) {
        size_t len = esc_utf8_len(
            reinterpret_cast<const unsigned char *>(out.data()) + i,
            out.size() - i);
        ASSERT_NE(0u, len) << out;
        i += len;
      }
    }
  }
}
