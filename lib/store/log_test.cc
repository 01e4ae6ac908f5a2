#include "store/log.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "diag/esc.h"
#include "testutil/unesc.h"

namespace {

const std::string OLD(64, 'a');
const std::string NEW =
    "0123456789abcdef0123456789abcdef"
    "0123456789abcdef0123456789abcdef";
const char BASE[] = "kavdb-000000-20261209T101500Z";

st_accept
sample()
{
  st_accept a;
  a.sa_time = 1796811300;  // 2026-12-09T10:15:00Z
  a.sa_user = "ann";
  a.sa_mode = "path";
  a.sa_text = "new \"motd\"";
  a.sa_paths = {"/etc/a\nb", "/etc/motd"};
  a.sa_baseline = BASE;
  a.sa_older_sha256 = OLD;
  a.sa_newer_sha256 = NEW;
  return a;
}

// The printed form of s, valid UTF-8, as the line holds it.
std::string
printed(const std::string &s)
{
  std::string out(ESC_GROW * s.size(), '\0');
  out.resize(esc_bytes_utf8(s.data(), s.size(), &out[0]));
  return out;
}

// The line kavaccept has always written, byte for byte.
TEST(StoreLog, Line) {
  EXPECT_EQ(
      "{\"time\":\"2026-12-09T10:15:00Z\",\"user\":\"ann\",\"mode\":"
      "\"path\",\"text\":\"new \\\"motd\\\"\",\"paths\":[\"/etc/"
      "a\\\\012b\",\"/etc/motd\"],\"baseline\":\"" +
          std::string(BASE) + "\",\"older_sha256\":\"" + OLD +
          "\",\"newer_sha256\":\"" + NEW + "\"}\n",
      st_log_line(sample()));
  st_accept a = sample();
  a.sa_paths.clear();
  std::string line = st_log_line(a);
  EXPECT_NE(std::string::npos, line.find(",\"paths\":[],"));
}

TEST(StoreLog, RoundTrip) {
  const std::string hostile[] = {
      "",
      "plain",
      "\"quoted\" \\ back\\slash \\012",
      std::string("nul\0byte", 8),
      "\n\t\r\x1b\x7f",
      "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80",
      "\xff\xfe bad \xc3 cut \xed\xa0\x80 surrogate \xc0\xaf overlong",
      "{\"time\":\"x\"},[]:",
      std::string(4096, '\\'),
  };
  for (const std::string &h : hostile) {
    st_accept a = sample();
    a.sa_user = h;
    a.sa_text = h + "!";
    a.sa_paths = {"/" + h, "/x/" + h + "/y"};
    std::string line = st_log_line(a);
    ASSERT_EQ('\n', line.back());
    line.pop_back();
    EXPECT_EQ(std::string::npos, line.find('\n'));
    st_accept got;
    got.sa_user = "junk";
    std::string err;
    ASSERT_TRUE(st_log_parse(line, &got, &err)) << err << "\n" << line;
    EXPECT_EQ(a.sa_time, got.sa_time);
    EXPECT_EQ(printed(a.sa_user), got.sa_user);
    EXPECT_EQ(printed(a.sa_text), got.sa_text);
    EXPECT_EQ("path", got.sa_mode);
    ASSERT_EQ(2u, got.sa_paths.size());
    for (size_t i = 0; i < 2; i++)
      EXPECT_EQ(printed(a.sa_paths[i]), got.sa_paths[i]);
    EXPECT_EQ(BASE, got.sa_baseline);
    EXPECT_EQ(OLD, got.sa_older_sha256);
    EXPECT_EQ(NEW, got.sa_newer_sha256);
    // Whatever the bytes, the printed form gives them back.
    std::string bytes;
    ASSERT_TRUE(unesc_name(got.sa_paths[1], &bytes)) << got.sa_paths[1];
    EXPECT_EQ(a.sa_paths[1], bytes);
  }
}

TEST(StoreLog, ParseTakes) {
  const std::string tail = "\"baseline\":\"" + std::string(BASE) +
                           "\",\"older_sha256\":\"" + OLD +
                           "\",\"newer_sha256\":\"" + NEW + "\"";
  const std::string head =
      "\"time\":\"2026-12-09T10:15:00Z\",\"user\":\"u\",\"mode\":\"all\","
      "\"text\":\"t\",\"paths\":[\"/a\"]";
  const std::string cases[] = {
      "{" + head + "," + tail + "}",
      // Any order, unknown members of either kind ignored.
      "{" + tail + ",\"later\":\"x\",\"more\":[\"y\",\"z\"]," + head + "}",
      // Space between the tokens, and \/ for a slash.
      " { " + head + " , " + tail + " ,\"x\" : [ ] } \t",
      "{" + head + "," + tail + ",\"p\":\"\\/\"}",
  };
  for (const std::string &line : cases) {
    st_accept a;
    std::string err;
    EXPECT_TRUE(st_log_parse(line, &a, &err)) << err << "\n" << line;
    EXPECT_EQ(1796811300, a.sa_time) << line;
    EXPECT_EQ("all", a.sa_mode) << line;
    EXPECT_EQ(std::vector<std::string>{"/a"}, a.sa_paths) << line;
  }
}

TEST(StoreLog, ParseRefuses) {
  const std::string good =
      st_log_line(sample()).substr(0, st_log_line(sample()).size() - 1);
  // good with the first from replaced by to.
  auto with = [&](const std::string &from, const std::string &to) {
    std::string s = good;
    size_t at = s.find(from);
    EXPECT_NE(std::string::npos, at) << from;
    return at == std::string::npos ? s : s.replace(at, from.size(), to);
  };
  const struct {
    std::string line, want;
  } cases[] = {
      {"", "byte 1: not a JSON object"},
      {"[]", "byte 1: not a JSON object"},
      {"{", "byte 2: want a string"},
      {"{}", "no member \"time\""},
      {good + "\n", "bytes after the object"},
      {good + "x", "bytes after the object"},
      {good + "}", "bytes after the object"},
      {good.substr(0, good.size() - 1), "want \",\" or \"}\""},
      {good.substr(0, 40), "the line ends in a string"},
      {with("{", "{\"user\":\"x\","), "a second member \"user\""},
      {with("\"mode\":\"path\",", ""), "no member \"mode\""},
      {with("\"paths\":[\"/etc/a\\\\012b\",\"/etc/motd\"],", ""),
       "no member \"paths\""},
      {with("\"paths\":[", "\"paths\":\"/x\",\"y\":["), "paths: want an array"},
      {with("\"user\":\"ann\"", "\"user\":[\"ann\"]"), "user: want a string"},
      {with("\"user\":\"ann\"", "\"user\":1"), "want a string"},
      {with("\"user\":\"ann\"", "\"user\":null"), "want a string"},
      {with("\"user\":\"ann\"", "\"user\":{}"), "want a string"},
      {with("\"user\":\"ann\"", "\"x\":{\"a\":\"b\"}"), "want a string"},
      {with("\"paths\":[", "\"paths\":[["), "want a string"},
      {with("\"/etc/motd\"]", "\"/etc/motd\",]"), "want a string"},
      {with("\"/etc/motd\"]", "\"/etc/motd\""), "want \",\" or \"]\""},
      {with("ann", "a\\nn"), "an escape other than"},
      {with("ann", "a\\u0041"), "an escape other than"},
      {good.substr(0, good.find("ann") + 1) + "\\", "an escape other than"},
      {with("ann", "a\tn"), "a control byte in a string"},
      {with("ann", "a\x7fn"), "user: not a printed form"},
      {with("ann", "a\xffn"), "user: not a printed form"},
      {with("ann", "a\\\\9"), "user: not a printed form"},
      {with("ann", "a\\\\400"), "user: not a printed form"},
      {with("ann", "a\\\\01"), "user: not a printed form"},
      {with("/etc/motd", "/etc/\\\\"), "paths: not a printed form"},
      {with("new", "\\\\ne"), "text: not a printed form"},
      {with("path", "some"), "mode: not all, explained or path"},
      {with("10:15:00Z", "10:15:00"), "time: not a time as written"},
      {with("2026-12-09T", "2026-02-30T"), "time: not a time as written"},
      {with("2026-12-09T", "2026-12-09 "), "time: not a time as written"},
      {with("T10:15", "T24:15"), "time: not a time as written"},
      {with("kavdb-000000-", "kavdb-000001-"), "baseline: not a baseline"},
      {with(OLD, std::string(64, 'A')), "older_sha256: not 64 lowercase"},
      {with(NEW, NEW.substr(1)), "newer_sha256: not 64 lowercase"},
      {with(NEW, NEW + "0"), "newer_sha256: not 64 lowercase"},
  };
  for (const auto &c : cases) {
    st_accept a;
    std::string err;
    EXPECT_FALSE(st_log_parse(c.line, &a, &err)) << c.line;
    EXPECT_NE(std::string::npos, err.find(c.want))
        << "line " << c.line << "\nerr " << err << "\nwant " << c.want;
  }
}

TEST(StoreLog, Last) {
  const struct {
    std::string log;
    bool ok;
    std::string want;
  } cases[] = {
      {"", true, ""},          {"\n", true, ""},    {"a\n", true, "a"},
      {"a\nbc\n", true, "bc"}, {"a\n\n", true, ""}, {"a", false, ""},
      {"a\nb", false, ""},
  };
  for (const auto &c : cases) {
    std::string_view line = "junk";
    EXPECT_EQ(c.ok, st_log_last(c.log, &line)) << c.log;
    EXPECT_EQ(c.want, line) << c.log;
  }
  // The last line of a log of two acceptances reads back.
  st_accept a = sample(), b = sample(), got;
  b.sa_baseline = "kavdb-000000-20270101T000000Z";
  std::string log = st_log_line(a) + st_log_line(b), err;
  std::string_view last;
  ASSERT_TRUE(st_log_last(log, &last));
  ASSERT_TRUE(st_log_parse(last, &got, &err)) << err;
  EXPECT_EQ(b.sa_baseline, got.sa_baseline);
}

}  // namespace
