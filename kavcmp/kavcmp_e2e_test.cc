// End-to-end tests of kavcmp: snapshots written here, the program run on them.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "db/db.h"
#include "testutil/dbfile.h"
#include "testutil/testutil.h"

namespace {

struct entry {
  const char *path;
  uint16_t mask;
  uint16_t mode;
  uint32_t uid;
  int64_t size;
  int64_t ctime;
};

void
write_db(const std::string &name, const std::vector<entry> &entries)
{
  db_handle *db = db_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  ASSERT_NE(nullptr, db) << name;
  for (const entry &e : entries) {
    db_rec r;
    memset(&r, 0, sizeof r);
    r.mask = e.mask;
    r.mode = e.mode;
    r.uid = e.uid;
    r.size = e.size;
    r.ctime = e.ctime;
    ASSERT_EQ(0, db_argput(db, e.path, DB_REC_LEN, DB_KIND_SNAP,
                           rec_bytes(r).data()));
  }
  ASSERT_EQ(0, db_close(db));
}

constexpr uint16_t MUS = DB_MODE | DB_UID | DB_SIZE;

// Written out of tree order on purpose.
const std::vector<entry> OLDER = {
    {"/etc", DB_MODE, 040755, 0, 0, 10},
    {"/etc/same", DB_SIZE, 0, 0, 7, 10},
    {"/etc/passwd", MUS, 0100644, 0, 100, 10},
    {"/etc/gone", DB_SIZE, 0, 0, 5, 10},
};
const std::vector<entry> NEWER = {
    {"/etc-x", DB_SIZE, 0, 0, 1, 20},
    {"/etc/new", DB_SIZE, 0, 0, 9, 20},
    {"/etc", DB_MODE, 040755, 0, 0, 20},
    {"/etc/same", DB_SIZE, 0, 0, 7, 20},  // only ctime differs
    {"/etc/passwd", MUS, 0100644, 0, 120, 20},
};

const char LONG_OUT[] =
    "D -----s--- /etc/gone\nsize:\t5\n\n"
    "N -----s--- /etc/new\nsize:\t9\n\n"
    "C --u-ms--- /etc/passwd\nuid:\t0\nmode:\t100644\nsize:\t100\n\n"
    "uid:\t0\nmode:\t100644\nsize:\t120\n\n"
    "N -----s--- /etc-x\nsize:\t1\n\n";
const char PLAIN_OUT[] =
    "D -----s--- /etc/gone\n5 \n"
    "N -----s--- /etc/new\n9 \n"
    "C --u-ms--- /etc/passwd\n0 100644 100 \n0 100644 120 \n"
    "N -----s--- /etc-x\n1 \n";
const char USAGE[] =
    "usage: kavcmp [-h [-x] | -p | -d file] [-m mask | -M mask] file1 file2\n";

class KavcmpE2e : public TmpDirTest {
 protected:
  void SetUp() override
  {
    TmpDirTest::SetUp();
    write_db(path("old"), OLDER);
    write_db(path("new"), NEWER);
  }
  prog_result run(std::vector<std::string> args)
  {
    args.insert(args.begin(), KAVCMP_PATH);
    return run_prog(args, dir_);
  }
};

}  // namespace

TEST_F(KavcmpE2e, Layouts) {
  const struct {
    std::vector<std::string> opts;
    std::string out;
  } cases[] = {
      {{}, LONG_OUT},
      {{"-h"}, LONG_OUT},
      {{"-p"}, PLAIN_OUT},
      {{"-x", "-p"}, PLAIN_OUT},
      {{"-p", "-h", "-x"}, PLAIN_OUT},
      {{"-x"},
       "D -----s--- /etc/gone\nsize:\t5\n\n"
       "N -----s--- /etc/new\nsize:\t9\n\n"
       "C --u-ms--- /etc/passwd\nuid:\t0\nmode:\t100644 (-rw-r--r--)\n"
       "size:\t100\n\nuid:\t0\nmode:\t100644 (-rw-r--r--)\nsize:\t120\n\n"
       "N -----s--- /etc-x\nsize:\t1\n\n"},
      // -m narrows each record's own mask; a mask sharing nothing leaves
      // empty blocks.
      {{"-p", "-m", "sl"},
       "D -----s--- /etc/gone\n5 \nN -----s--- /etc/new\n9 \n"
       "C --u-ms--- /etc/passwd\n100 \n120 \nN -----s--- /etc-x\n1 \n"},
      {{"-p", "-m", "f"},
       "D -----s--- /etc/gone\n\nN -----s--- /etc/new\n\n"
       "C --u-ms--- /etc/passwd\n\n\nN -----s--- /etc-x\n\n"},
      // -M prints what it names, recorded or not.
      {{"-p", "-M", "iu"},
       "D -----s--- /etc/gone\n0 0 \nN -----s--- /etc/new\n0 0 \n"
       "C --u-ms--- /etc/passwd\n0 0 \n0 0 \nN -----s--- /etc-x\n0 0 \n"},
      // The last mask text counts, replacing as -M does once -M was given.
      {{"-p", "-M", "iu", "-m", "m"},
       "D -----s--- /etc/gone\n000000 \nN -----s--- /etc/new\n000000 \n"
       "C --u-ms--- /etc/passwd\n100644 \n100644 \nN -----s--- /etc-x\n000000 \n"},
  };
  for (const auto &c : cases) {
    std::vector<std::string> args = c.opts;
    args.push_back("old");
    args.push_back("new");
    prog_result r = run(args);
    std::string what = testing::PrintToString(c.opts);
    EXPECT_EQ(0, r.status) << what;
    EXPECT_EQ(c.out, r.out) << what;
    EXPECT_EQ("", r.err) << what;
  }
}

TEST_F(KavcmpE2e, IdenticalDatabasesReportNothing) {
  prog_result r = run({"-p", "new", "new"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("", r.out);
  r = run({"-d", "diff", "old", "old"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("", r.out + r.err);
  EXPECT_EQ("", read_file(path("diff")));
}

// Differences that cannot be written end with the one message and status
// 1, in every layout; none to write, or a difference database, is no
// failure.
TEST_F(KavcmpE2e, WriteFailureOnStdout) {
  if (access("/dev/full", W_OK) != 0)
    GTEST_SKIP() << "no /dev/full";
  const struct {
    std::vector<std::string> args;
    bool fails;
  } cases[] = {
      {{"old", "new"}, true},
      {{"-p", "old", "new"}, true},
      {{"-x", "old", "new"}, true},
      {{"new", "new"}, false},
      {{"-d", "diff", "old", "new"}, false},
  };
  for (const auto &c : cases) {
    std::vector<std::string> argv = {KAVCMP_PATH};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    expect_full_stdout(argv, dir_, c.fails);
  }
}

namespace {
int
collect_frame(const db_frame *fr, const void *, void *arg)
{
  auto *out = static_cast<std::vector<std::string> *>(arg);
  out->push_back(std::string(fr->path) + " " + std::to_string(fr->kind) + " " +
                 std::to_string(fr->len));
  return 0;
}
}  // namespace

TEST_F(KavcmpE2e, DifferenceDatabase) {
  prog_result r = run({"-d", "diff", "old", "new"});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("", r.out + r.err);
  std::vector<std::string> frames;
  uint8_t data[2 * DB_REC_LEN];
  ASSERT_EQ(0, db_readall(path("diff").c_str(), collect_frame, &frames, data,
                          sizeof data));
  EXPECT_EQ((std::vector<std::string>{"/etc/gone 8 56", "/etc/new 4 56",
                                      "/etc/passwd 2 112", "/etc-x 4 56"}),
            frames);
  std::string diff = read_file(path("diff"));
  // The changed frame's head, then the older record before the newer.
  size_t at =
      diff.find(std::string("\x0b\x00\x70\x00\x00\x00\x02/etc/passwd", 18));
  ASSERT_NE(std::string::npos, at);
  EXPECT_EQ(100, diff[at + 18 + 24]);
  EXPECT_EQ(120, diff[at + 18 + DB_REC_LEN + 24]);

  // The output options change nothing in what is stored.
  r = run({"-p", "-m", "s", "-d", "diff2", "old", "new"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("", r.out);
  EXPECT_EQ(diff, read_file(path("diff2")));

  r = run_prog({KAVSHOW_PATH, "-p", "diff"}, dir_);
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ(PLAIN_OUT, r.out);
  r = run_prog({KAVSHOW_PATH, "diff"}, dir_);
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ(LONG_OUT, r.out);
}

TEST_F(KavcmpE2e, Usage) {
  const std::vector<std::vector<std::string>> cases = {
      {},     {"old"}, {"old", "new", "new"}, {"old", "new", "-p"},
      {"-d"}, {"-m"},  {"-p", "old"}};
  for (const auto &args : cases) {
    prog_result r = run(args);
    std::string what = testing::PrintToString(args);
    EXPECT_EQ(1, r.status) << what;
    EXPECT_EQ("", r.out) << what;
    ASSERT_GE(r.err.size(), sizeof USAGE - 1) << what;
    EXPECT_EQ(USAGE, r.err.substr(r.err.size() - (sizeof USAGE - 1))) << what;
  }
  prog_result r = run({"old", "new", "new"});
  EXPECT_EQ(USAGE, r.err);
  r = run({"-z", "old", "new"});
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("-- 'z'\n" + std::string(USAGE)));
}

TEST_F(KavcmpE2e, UnreadableDatabases) {
  // file1 is reported before file2 is opened.
  prog_result r = run({"missing1", "missing2"});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("db_readall(): missing1: No such file or directory\n", r.err);
  r = run({"old", "missing2"});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("", r.out);
  EXPECT_EQ("db_readall(): missing2: No such file or directory\n", r.err);

  // A difference database carries a frame of two records: not a snapshot.
  ASSERT_EQ(0, run({"-d", "diff", "old", "new"}).status);
  r = run({"-p", "old", "diff"});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("", r.out);
  EXPECT_EQ("db_readall(): diff: Bad message\n", r.err);
  // Nor one of new and deleted paths alone, whose frames hold one record
  // each, on either side: read as a snapshot it invents deletions.
  write_db(path("a"), {{"/a", DB_SIZE, 0, 0, 1, 1}});
  write_db(path("b"), {{"/b", DB_SIZE, 0, 0, 1, 1}});
  ASSERT_EQ(0, run({"-d", "nd", "a", "b"}).status);
  for (const auto &args : std::vector<std::vector<std::string>>{
           {"-p", "a", "nd"}, {"-p", "nd", "a"}}) {
    r = run(args);
    EXPECT_EQ(1, r.status) << args[1];
    EXPECT_EQ("", r.out) << args[1];
    EXPECT_EQ("db_readall(): nd: Bad message\n", r.err) << args[1];
  }

  // Nor is a frame with less than one record; no file is left behind.
  std::string shortframe = std::string("\x02\x00\x0a\x00\x00\x00\x00/x", 9) +
                           std::string(10, 'z');
  write_file(path("short"), shortframe);
  r = run({"-d", "out", "short", "new"});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("db_readall(): short: Bad message\n", r.err);
  EXPECT_EQ(-1, access(path("out").c_str(), F_OK));
}

TEST_F(KavcmpE2e, EmptyDatabases) {
  write_file(path("empty"), "");
  prog_result r = run({"-p", "empty", "new"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ(
      "N ----m---- /etc\n040755 \nN -----s--- /etc/new\n9 \n"
      "N --u-ms--- /etc/passwd\n0 100644 120 \nN -----s--- /etc/same\n7 \n"
      "N -----s--- /etc-x\n1 \n",
      r.out);
  r = run({"-p", "old", "empty"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ(
      "D ----m---- /etc\n040755 \nD -----s--- /etc/gone\n5 \n"
      "D --u-ms--- /etc/passwd\n0 100644 100 \nD -----s--- /etc/same\n7 \n",
      r.out);
}
