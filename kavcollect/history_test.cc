// The history checks of the collector: what the host lists against what
// the store holds, and the list's own form.
#include <gtest/gtest.h>

#include "kavcollect/collect.h"

namespace {

const char A[] = "kavdb-000000-20261201T031500Z";
const char B[] = "kavdb-000001-20261202T031500Z";
const char C[] = "kavdb-000002-20261203T031500Z";
const char D[] = "kavdb-000003-20261204T031500Z";
const char A2[] = "kavdb-000000-20261209T031500Z";  // a new baseline

// "NAME:S" entries, S a one-character stand-in for the SHA-256.
std::vector<snap_entry>
snaps(std::initializer_list<const char *> items)
{
  std::vector<snap_entry> v;
  for (const char *it : items) {
    std::string s = it;
    snap_entry e;
    e.se_name = s.substr(0, s.find(':'));
    EXPECT_TRUE(collect_snap_name(e.se_name, &e.se_num)) << s;
    e.se_size = 100;
    e.se_sha = std::string(64, s.back());
    v.push_back(e);
  }
  return v;
}

std::string
cat(const char *a, const char *b)
{
  return std::string(a) + b;
}

TEST(CollectHistory, Cases) {
  const struct {
    const char *what;
    std::vector<snap_entry> held, listed;
    const char *want_fetch;  // names joined by " ", or null for a refusal
    const char *err;         // the refusal's first words
  } cases[] = {
      {"first collection",
       {},
       snaps({cat(A, ":a").c_str(), cat(B, ":b").c_str()}),
       "kavdb-000000-20261201T031500Z kavdb-000001-20261202T031500Z",
       ""},
      {"quiet", snaps({cat(A, ":a").c_str(), cat(B, ":b").c_str()}),
       snaps({cat(A, ":a").c_str(), cat(B, ":b").c_str()}), "", ""},
      {"one new, one rotated away",
       snaps({cat(A, ":a").c_str(), cat(B, ":b").c_str()}),
       snaps({cat(A, ":a").c_str(), cat(C, ":c").c_str()}),
       "kavdb-000002-20261203T031500Z", ""},
      {"gap after the newest is rotation",
       snaps({cat(A, ":a").c_str(), cat(B, ":b").c_str()}),
       snaps({cat(A, ":a").c_str(), cat(D, ":d").c_str()}),
       "kavdb-000003-20261204T031500Z", ""},
      {"held one rewritten",
       snaps({cat(A, ":a").c_str(), cat(B, ":b").c_str()}),
       snaps({cat(A, ":a").c_str(), cat(B, ":x").c_str()}), nullptr,
       "HISTORY REWRITTEN: kavdb-000001"},
      {"baseline reset", snaps({cat(A, ":a").c_str(), cat(B, ":b").c_str()}),
       snaps({cat(A2, ":z").c_str()}), nullptr,
       "HISTORY RESET: the host's baseline"},
      {"emptied",
       snaps({cat(A, ":a").c_str()}),
       {},
       nullptr,
       "HISTORY RESET: the host lists no snapshot"},
      {"baseline gone", snaps({cat(A, ":a").c_str(), cat(B, ":b").c_str()}),
       snaps({cat(B, ":b").c_str(), cat(C, ":c").c_str()}), nullptr,
       "HISTORY RESET: the host no longer lists"},
      {"unseen below the newest",
       snaps({cat(A, ":a").c_str(), cat(C, ":c").c_str()}),
       snaps({cat(A, ":a").c_str(), cat(B, ":b").c_str(),
              cat(C, ":c").c_str()}),
       nullptr, "HISTORY REWRITTEN: the host lists kavdb-000001"},
      {"newest taken back", snaps({cat(A, ":a").c_str(), cat(C, ":c").c_str()}),
       snaps({cat(A, ":a").c_str()}), nullptr,
       "HISTORY REWRITTEN: the host's newest"},
  };
  for (const auto &c : cases) {
    std::vector<snap_entry> fetch = snaps({cat(D, ":j").c_str()});  // junk
    std::string err = "junk";
    bool ok = collect_history(c.held, c.listed, &fetch, &err);
    EXPECT_EQ(c.want_fetch != nullptr, ok) << c.what << ": " << err;
    if (ok) {
      std::string got;
      for (const snap_entry &e : fetch)
        got += (got.empty() ? "" : " ") + e.se_name;
      EXPECT_EQ(c.want_fetch, got) << c.what;
    } else {
      EXPECT_EQ(0u, err.find(c.err)) << c.what << ": " << err;
    }
  }
}

// A list reads back as its entries, each line's name, number, size and
// digest; anything else is refused, naming what is wrong.
TEST(CollectHistory, ListForm) {
  const std::string sum(64, 'a'), other(64, '0');
  const struct {
    std::string text;
    const char *want;  // "NAME:SIZE:S" entries joined by " ", S the digest's
                       // first digit; or null for a refusal
    const char *why;   // the refusal's words
  } cases[] = {
      {"", "", ""},
      {cat(A, " 5 ") + sum + "\n" + B + " 0 " + other + "\n",
       "kavdb-000000-20261201T031500Z:5:a kavdb-000001-20261202T031500Z:0:0",
       ""},
      {cat(A, " 123456789012345 ") + sum + "\n",
       "kavdb-000000-20261201T031500Z:123456789012345:a", ""},
      {cat(A, " 5 ") + sum, nullptr, "list: the last line is cut short"},
      {cat(B, " 5 ") + sum + "\n" + A + " 5 " + sum + "\n", nullptr,
       "list: kavdb-000000-20261201T031500Z does not come after "
       "kavdb-000001-20261202T031500Z"},
      {cat(A, " 5 ") + sum + "\n" + A + " 5 " + sum + "\n", nullptr,
       "list: kavdb-000000-20261201T031500Z does not come after "
       "kavdb-000000-20261201T031500Z"},
      {cat(A, " 5 ") + sum + "\n" + B + " 5 " + sum.substr(1) + "\n", nullptr,
       "list: not a snapshot line: line 2"},
      {cat(A, " 5 ") + sum.substr(1) + "\n", nullptr,
       "list: not a snapshot line: line 1"},
      {cat(A, " -5 ") + sum + "\n", nullptr,
       "list: not a snapshot line: line 1"},
      {cat(A, "  5 ") + sum + "\n", nullptr,
       "list: not a snapshot line: line 1"},
      {cat(A, " 1234567890123456 ") + sum + "\n", nullptr,
       "list: not a snapshot line: line 1"},
      {"../" + cat(A, " 5 ") + sum + "\n", nullptr,
       "list: not a snapshot line: line 1"},
      {"kavdb-00000x-20261201T031500Z 5 " + sum + "\n", nullptr,
       "list: not a snapshot line: line 1"},
      {"kavdb-000000-2026/1201T031500Z 5 " + sum + "\n", nullptr,
       "list: not a snapshot line: line 1"},
      {cat(A, " 5 ") + std::string(64, 'A') + "\n", nullptr,
       "list: not a snapshot line: line 1"},
  };
  for (const auto &c : cases) {
    std::vector<snap_entry> out = snaps({cat(D, ":j").c_str()});  // junk
    std::string err = "junk";
    bool ok = collect_parse_list(c.text, &out, &err);
    EXPECT_EQ(c.want != nullptr, ok) << c.text << ": " << err;
    if (ok) {
      std::string got;
      for (const snap_entry &e : out) {
        EXPECT_EQ(std::string(64, e.se_sha[0]), e.se_sha) << c.text;
        uint32_t num;
        EXPECT_TRUE(collect_snap_name(e.se_name, &num) && num == e.se_num)
            << e.se_name;
        got += (got.empty() ? "" : " ") + e.se_name + ":" +
               std::to_string(e.se_size) + ":" + e.se_sha[0];
      }
      EXPECT_EQ(c.want, got) << c.text;
    } else {
      EXPECT_EQ(c.why, err) << c.text;
    }
  }
}

}  // namespace
