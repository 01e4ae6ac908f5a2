// Fault injection for kavcmp: a difference database that cannot grow, too
// little memory, -d naming something that exists, and the umask.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "db/db.h"
#include "testutil/dbfile.h"
#include "testutil/exists.h"
#include "testutil/memlimit.h"
#include "testutil/testutil.h"

namespace {

std::string
frame(const std::string &path, uint64_t ino, int64_t size)
{
  db_rec r = test_rec(ino, 0100644, uint16_t(DB_ALL));
  r.size = size;
  return frame_bytes(path, DB_KIND_SNAP, rec_bytes(r));
}

// n files in directories of 100; the newer database changes every third
// file, drops every fifth and adds one in ten.
void
write_pair(const std::string &older, const std::string &newer, int n)
{
  std::string a, b;
  for (int i = 0; i < n; i++) {
    char path[64];
    snprintf(path, sizeof path, "/d%03d/file%06d", i / 100, i);
    a += frame(path, uint64_t(i), 10);
    if (i % 5 != 4)
      b += frame(path, uint64_t(i), i % 3 == 0 ? 11 : 10);
    if (i % 10 == 0)
      b += frame(std::string(path) + ".new", uint64_t(n + i), 1);
  }
  write_file(older, a);
  write_file(newer, b);
}

off_t
file_size(const std::string &name)
{
  struct stat st;
  return lstat(name.c_str(), &st) == 0 ? st.st_size : -1;
}

class KavcmpFault : public TmpDirTest {};

// With the file size limited, the difference database ends at the limit:
// every frame before the failed write is there whole, byte for byte as an
// unlimited run writes it, and the run says which write failed.
TEST_F(KavcmpFault, DifferenceThatCannotGrowKeepsEveryFrameBefore) {
  write_pair(path("old"), path("new"), 3000);
  prog_result full = run_prog({KAVCMP_PATH, "-d", "full", "old", "new"}, dir_);
  ASSERT_EQ(0, full.status) << full.err;
  std::string want = read_file(path("full"));
  ASSERT_GT(want.size(), 65536u);
  for (rlim_t limit : {rlim_t(0), rlim_t(1), rlim_t(6), rlim_t(7), rlim_t(100),
                       rlim_t(4096), rlim_t(65536), rlim_t(want.size() - 1)}) {
    std::string name = "cut" + std::to_string(limit);
    prog_opts o;
    o.fsize = limit;
    prog_result r = run_prog({KAVCMP_PATH, "-d", name, "old", "new"}, dir_, o);
    EXPECT_EQ(1, r.status) << "limit " << limit;
    EXPECT_TRUE(r.err == "db_argput()\nft_traverse(): File too large\n" ||
                r.err == "db_close(): " + name + ": File too large\n")
        << "limit " << limit << ": " << r.err;
    EXPECT_EQ("", r.out);
    std::string got = read_file(path(name));
    EXPECT_EQ(size_t(limit), got.size()) << "limit " << limit;
    EXPECT_EQ(0, want.compare(0, got.size(), got)) << "limit " << limit;
  }
  // What was kept reads back up to the frame the limit cut.
  size_t whole = 0;
  for (size_t at = 0; at + DB_HEAD_LEN <= 4096;) {
    const uint8_t *h = reinterpret_cast<const uint8_t *>(want.data() + at);
    size_t end = at + DB_HEAD_LEN + (h[0] | h[1] << 8) + (h[2] | h[3] << 8);
    if (end > 4096)
      break;
    whole++;
    at = end;
  }
  prog_result show = run_prog({KAVSHOW_PATH, "-p", "cut4096"}, dir_);
  EXPECT_EQ(1, show.status);
  EXPECT_EQ("db_readall: cut4096: Bad message\n", show.err);
  size_t headers = 0;
  for (size_t at = 0; at < show.out.size(); at = show.out.find('\n', at) + 1)
    headers += show.out.compare(at, 2, "C ") == 0 ||
               show.out.compare(at, 2, "N ") == 0 ||
               show.out.compare(at, 2, "D ") == 0;
  EXPECT_EQ(whole, headers);
}

// Too little memory for the tree: the program's message and status 1 at
// every limit from the least it starts with to the least it succeeds with,
// and the same result as without a limit from there on; never a crash.
// These runs use the uninstrumented build: the sanitizers cannot start
// under a small address-space limit.
TEST_F(KavcmpFault, OutOfMemoryEndsWithItsMessage) {
  write_pair(path("old"), path("new"), 30000);
  prog_result full =
      run_prog({KAVCMP_PLAIN_PATH, "-d", "full", "old", "new"}, dir_);
  ASSERT_EQ(0, full.status) << full.err;
  std::string want = read_file(path("full"));
  auto run = [&](rlim_t limit, bool refused) {
    std::vector<std::string> argv{KAVCMP_PLAIN_PATH, "-d", "diff", "old",
                                  "new"};
    if (refused)
      argv.push_back("new");
    prog_opts o;
    o.as = limit;
    prog_result r = run_prog(argv, dir_, o);
    if (!refused && r.status == 0)
      EXPECT_EQ(want, read_file(path("diff"))) << limit << " bytes";
    else
      EXPECT_EQ(-1, file_size(path("diff"))) << "created before both were read";
    unlink(path("diff").c_str());
    return r;
  };
  int failed = 0;
  for (const limited_run &l : runs_near_memory_need(run, 8)) {
    if (l.r.status == 0) {
      EXPECT_EQ("", l.r.err);
      continue;
    }
    failed++;
    EXPECT_EQ(1, l.r.status) << l.limit << " bytes: " << l.r.err;
    EXPECT_TRUE(l.r.err == "db_readall(): old: Cannot allocate memory\n" ||
                l.r.err == "db_readall(): new: Cannot allocate memory\n" ||
                l.r.err == "ft_init(): Cannot allocate memory\n")
        << l.limit << " bytes: " << l.r.err;
  }
  EXPECT_GT(failed, 0) << "the program never ran short of memory";
}

// -d never opens what is already there, and what it makes is private
// whatever the umask.
TEST_F(KavcmpFault, DifferenceOnlyNewAndPrivate) {
  write_pair(path("old"), path("new"), 10);
  expect_only_new_private_databases(dir_, [](const std::string &name) {
    return std::vector<std::string>{KAVCMP_PATH, "-d", name, "old", "new"};
  });
}

}  // namespace
