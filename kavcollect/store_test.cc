// The collector's checks of what a host sends: the members' bounds, a
// snapshot read whole before it enters the history, and the bookkeeping of
// the snapshots set aside.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "kavcollect/store.h"
#include "testutil/dbfile.h"
#include "testutil/testutil.h"

namespace {

const char SNAP[] = "kavdb-000003-20261204T031500Z";

snap_entry
entry(const char *name, uint64_t size, char sha)
{
  snap_entry e;
  e.se_name = name;
  EXPECT_TRUE(collect_snap_name(e.se_name, &e.se_num)) << name;
  e.se_size = size;
  e.se_sha = std::string(64, sha);
  return e;
}

TEST(CollectMember, Bounds) {
  const std::string s = SNAP;
  const uint64_t sig = COLLECT_SIG_MAX, pkg = COLLECT_PKG_MAX;
  const struct {
    const char *what;
    int before;  // the place of the member before
    std::string line;
    collect_member want;
    int index;
    const char *err;  // its beginning, for all but OK
  } cases[] = {
      {"snapshot as listed", -1, "member " + s + " 1000", COLLECT_MEMBER_OK, 0,
       ""},
      {"snapshot longer than listed", -1, "member " + s + " 1001",
       COLLECT_MEMBER_BAD, 0, "send: kavdb-000003-"},
      {"snapshot shorter than listed", -1, "member " + s + " 999",
       COLLECT_MEMBER_BAD, 0, "send: kavdb-000003-"},
      {"signature at its bound", 0,
       "member " + s + ".sig " + std::to_string(sig), COLLECT_MEMBER_OK, 1, ""},
      {"signature over it", 0,
       "member " + s + ".sig " + std::to_string(sig + 1), COLLECT_MEMBER_BIG, 1,
       "member kavdb-000003-20261204T031500Z.sig of 65537 bytes, over its "
       "bound of 65536"},
      {"a 20 MB signature", 0, "member " + s + ".sig 20000000",
       COLLECT_MEMBER_BIG, 1, "member kavdb-"},
      {"records at their bound", 1,
       "member " + s + ".pkg " + std::to_string(pkg), COLLECT_MEMBER_OK, 2, ""},
      {"records over it, no signature before", 0,
       "member " + s + ".pkg " + std::to_string(pkg + 1), COLLECT_MEMBER_BIG, 2,
       "member kavdb-000003-20261204T031500Z.pkg of 33554433"},
      {"2^40 records", 1, "member " + s + ".pkg 1099511627776",
       COLLECT_MEMBER_BIG, 2, "member kavdb-"},
      {"companion first", -1, "member " + s + ".sig 10", COLLECT_MEMBER_BAD, -1,
       "send: member out of place"},
      {"snapshot twice", 0, "member " + s + " 1000", COLLECT_MEMBER_BAD, 0,
       "send: member out of place"},
      {"another snapshot", -1, "member kavdb-000004-20261205T031500Z 1000",
       COLLECT_MEMBER_BAD, -1, "send: member out of place"},
      {"16 digits", 0, "member " + s + ".sig 0000000000000010",
       COLLECT_MEMBER_BAD, 0, "send: not a member line"},
      {"no size", 0, "member " + s + ".sig", COLLECT_MEMBER_BAD, 0,
       "send: not a member line"},
      {"signed size", 0, "member " + s + ".sig -1", COLLECT_MEMBER_BAD, 0,
       "send: not a member line"},
  };
  snap_entry want = entry(SNAP, 1000, 'a');
  for (const auto &c : cases) {
    int index = c.before;
    uint64_t size = 77;
    std::string err = "junk";
    collect_member got =
        collect_parse_member(c.line, want, &index, &size, &err);
    EXPECT_EQ(c.want, got) << c.what;
    EXPECT_EQ(c.index, index) << c.what;
    if (c.want != COLLECT_MEMBER_OK) {
      EXPECT_EQ(0u, err.find(c.err)) << c.what << ": " << err;
    }
  }
}

// Package records as a difference from the base's: a head in place of
// their member line, bounded by what it states it makes.
TEST(CollectMember, RecordsDelta) {
  const std::string s = SNAP, b = "kavdb-000002-20261203T031500Z";
  const std::string head = "delta " + s + ".pkg " + b + ".pkg ";
  const std::string sha(64, 'e'), pkg = std::to_string(COLLECT_PKG_MAX);
  const struct {
    const char *what;
    int before;
    std::string line;
    collect_member want;
    const char *err;  // its beginning, for all but OK
  } cases[] = {
      {"after the snapshot", 0, head + "30 5000 " + sha, COLLECT_MEMBER_OK, ""},
      {"after the signature", 1, head + "30 5000 " + sha, COLLECT_MEMBER_OK,
       ""},
      {"records at their bound", 0, head + "30 " + pkg + " " + sha,
       COLLECT_MEMBER_OK, ""},
      {"records over it", 0,
       head + "30 " + std::to_string(COLLECT_PKG_MAX + 1) + " " + sha,
       COLLECT_MEMBER_BIG, "member kavdb-000003-20261204T031500Z.pkg of "},
      {"a difference larger than it makes", 0, head + "5001 5000 " + sha,
       COLLECT_MEMBER_BAD, "send: a difference of "},
      {"records twice", 2, head + "30 5000 " + sha, COLLECT_MEMBER_BAD,
       "send: not the difference"},
      {"from another base", 0,
       "delta " + s + ".pkg kavdb-000001-20261202T031500Z.pkg 30 5000 " + sha,
       COLLECT_MEMBER_BAD, "send: not the difference"},
      {"of the signature", 0,
       "delta " + s + ".sig " + b + ".sig 30 5000 " + sha, COLLECT_MEMBER_BAD,
       "send: not the difference"},
      {"no SHA-256", 0, head + "30 5000", COLLECT_MEMBER_BAD,
       "send: not the difference"},
      {"a short SHA-256", 0, head + "30 5000 " + sha.substr(1),
       COLLECT_MEMBER_BAD, "send: not the difference"},
      {"capital hex", 0, head + "30 5000 " + std::string(64, 'E'),
       COLLECT_MEMBER_BAD, "send: not the difference"},
      {"bytes after it", 0, head + "30 5000 " + sha + " ", COLLECT_MEMBER_BAD,
       "send: not the difference"},
      {"16 digits", 0, head + "30 0000000000005000 " + sha, COLLECT_MEMBER_BAD,
       "send: not the difference"},
      {"a signed size", 0, head + "-30 5000 " + sha, COLLECT_MEMBER_BAD,
       "send: not the difference"},
      {"two spaces", 0, head + "30  5000 " + sha, COLLECT_MEMBER_BAD,
       "send: not the difference"},
  };
  snap_entry want = entry(SNAP, 1000, 'a');
  for (const auto &c : cases) {
    int index = c.before;
    uint64_t size = 77, length = 77;
    std::string got_sha, err = "junk";
    collect_member got = collect_parse_records_delta(c.line, want, b, &index,
                                                     &size, &length, &got_sha,
                                                     &err);
    EXPECT_EQ(c.want, got) << c.what;
    if (got == COLLECT_MEMBER_OK) {
      EXPECT_EQ(2, index) << c.what;
      EXPECT_EQ(30u, size) << c.what;
      EXPECT_EQ(sha, got_sha) << c.what;
    } else {
      EXPECT_EQ(0u, err.find(c.err)) << c.what << ": " << err;
    }
  }
}

class CollectCheck : public TmpDirTest {};

// A snapshot that would not load is found before it enters the history,
// with the frame that is damaged; the good frames before it load.
TEST_F(CollectCheck, Frames) {
  db_rec r = test_rec(7, 0100644, DB_ALL);
  const std::string good = frame_bytes("/etc/a", 0, rec_bytes(r));
  const struct {
    const char *what;
    std::string bytes;
    const char *err;  // empty when it loads
  } cases[] = {
      {"empty", "", ""},
      {"two frames", good + good, ""},
      {"cut in the second", good + good.substr(0, good.size() - 1),
       "Bad message (frame 2)"},
      {"cut in the head", good.substr(0, 3), "Bad message (frame 1)"},
      {"zero byte in a path",
       good + frame_bytes(std::string("/etc/\0b", 7), 0, rec_bytes(r)),
       "Bad message (frame 2)"},
      {"a difference's frame", frame_bytes("/etc/a", 4, rec_bytes(r)),
       "Bad message (frame 1)"},
      {"bytes after the record without extension",
       frame_bytes("/etc/a", 0, rec_bytes(r) + "x"), "Bad message (frame 1)"},
  };
  for (const auto &c : cases) {
    write_file(path("snap"), c.bytes);
    std::string err = "junk";
    bool ok = collect_check(path("snap"), &err);
    EXPECT_EQ(*c.err == '\0', ok) << c.what;
    if (!ok) {
      EXPECT_EQ(c.err, err) << c.what;
    }
  }
  std::string err;
  EXPECT_FALSE(collect_check(path("missing"), &err));
  EXPECT_EQ("No such file or directory", err);
}

class StoreAside : public TmpDirTest {};

std::string
names(const std::vector<snap_entry> &v)
{
  std::string s;
  for (const snap_entry &e : v)
    s += e.se_name.substr(6, 6) + " ";
  return s;
}

// A snapshot set aside leaves the history and is remembered with the
// size and SHA-256 listed; the next opening of the host knows it.
TEST_F(StoreAside, Remembered) {
  std::string dir = path("h1");
  std::vector<snap_entry> held, aside;
  std::string err;
  ASSERT_TRUE(store_open_host(dir, &held, &aside, &err)) << err;
  EXPECT_TRUE(held.empty());
  EXPECT_TRUE(aside.empty());
  const char *const snaps[] = {"kavdb-000000-20261201T031500Z",
                               "kavdb-000001-20261202T031500Z"};
  for (const char *s : snaps)
    write_file(dir + "/" + s, "");
  // As a fetch leaves them: the snapshot and its signature under
  // temporary names, no package records.
  write_file(dir + "/tmp.a", "damaged");
  write_file(dir + "/tmp.b", "sig");
  snap_entry bad = entry(SNAP, 7, 'c');
  ASSERT_TRUE(store_set_aside(dir, bad, {dir + "/tmp.a", dir + "/tmp.b", ""},
                              {"", ".sig", ".pkg"}, "cannot be loaded: why",
                              &aside, &err))
      << err;
  EXPECT_EQ("000003 ", names(aside));
  EXPECT_EQ("damaged", read_file(dir + "/bad/" + SNAP));
  EXPECT_EQ("sig", read_file(dir + "/bad/" + SNAP + ".sig"));
  EXPECT_EQ("cannot be loaded: why\n",
            read_file(dir + "/bad/" + SNAP + ".why"));
  EXPECT_NE(0, access((dir + "/bad/" + SNAP + ".pkg").c_str(), F_OK));
  EXPECT_EQ(std::string(SNAP) + " 7 " + std::string(64, 'c') + "\n",
            read_file(dir + "/bad/sums"));
  struct stat st;
  ASSERT_EQ(0, stat((dir + "/bad").c_str(), &st));
  EXPECT_EQ(0700u, st.st_mode & 07777);

  // One set aside before it, kept in order.
  snap_entry older = entry("kavdb-000002-20261203T031500Z", 5, 'b');
  ASSERT_TRUE(store_set_aside(dir, older, {}, {}, "NO SIGNATURE", &aside, &err))
      << err;
  EXPECT_EQ("000002 000003 ", names(aside));

  held.clear();
  aside.clear();
  ASSERT_TRUE(store_open_host(dir, &held, &aside, &err)) << err;
  EXPECT_EQ("000000 000001 ", names(held));
  ASSERT_EQ("000002 000003 ", names(aside));
  EXPECT_EQ(std::string(64, 'c'), aside[1].se_sha);
  EXPECT_EQ(7u, aside[1].se_size);
}

// A held snapshot that the sums of bad/ name was being set aside when the
// run stopped: opening the host finishes the move, companions and all.
TEST_F(StoreAside, MoveFinished) {
  std::string dir = path("h1");
  std::vector<snap_entry> held, aside;
  std::string err;
  ASSERT_TRUE(store_open_host(dir, &held, &aside, &err)) << err;
  const std::string a = "kavdb-000000-20261201T031500Z";
  write_file(dir + "/" + a, "");
  write_file(dir + "/" + SNAP, "x");
  write_file(dir + "/" + SNAP + ".sig", "s");
  ASSERT_EQ(0, mkdir((dir + "/bad").c_str(), 0700));
  write_file(dir + "/bad/sums",
             std::string(SNAP) + " 1 " + std::string(64, 'd') + "\n");
  ASSERT_TRUE(store_open_host(dir, &held, &aside, &err)) << err;
  EXPECT_EQ("000000 ", names(held));
  EXPECT_EQ("000003 ", names(aside));
  EXPECT_EQ("x", read_file(dir + "/bad/" + SNAP));
  EXPECT_EQ("s", read_file(dir + "/bad/" + SNAP + ".sig"));
  EXPECT_NE(0, access((dir + "/" + SNAP).c_str(), F_OK));
  EXPECT_EQ(std::string::npos, read_file(dir + "/sums").find(SNAP));

  // Damaged sums of bad/ stop the host: they are the only record.
  write_file(dir + "/bad/sums", "kavdb-000003-x 1 z\n");
  EXPECT_FALSE(store_open_host(dir, &held, &aside, &err));
  EXPECT_EQ(dir + "/bad/sums: list: not a snapshot line: line 1", err);
}

}  // namespace
