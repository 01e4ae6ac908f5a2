#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "db/db.h"
#include "testutil/dbfile.h"
#include "testutil/testutil.h"

namespace {

const char USAGE[] =
    "usage: kavshow [[-x] -h | -p] [-m mask | -M mask] [-d path | -D path] file\n";

struct entry {
  std::string path;
  uint8_t kind;
  std::vector<db_rec> recs;
};

// The frames a writer of the suite would store for these entries.
std::string
encode(const std::vector<entry> &entries)
{
  std::string out;
  for (const auto &e : entries) {
    std::string data;
    for (const auto &r : e.recs)
      data += rec_bytes(r);
    out += frame_bytes(e.path, e.kind, data);
  }
  return out;
}

const uint16_t MODE_ONLY = 0x002;
const uint16_t ALL = 0x1ff;

class KavshowE2e : public TmpDirTest {
 protected:
  std::string db(const std::vector<entry> &entries)
  {
    std::string name = path("db");
    write_file(name, encode(entries));
    return name;
  }
  prog_result show(std::vector<std::string> args)
  {
    args.insert(args.begin(), KAVSHOW_PATH);
    return run_prog(args, dir_);
  }
  std::vector<entry> snapshot()
  {
    return {{"/etc", 0, {test_rec(2, 040755, MODE_ONLY)}},
            {"/etc/passwd", 0, {test_rec(12, 0100644, ALL)}},
            {"/etcetera", 0, {test_rec(13, 0100600, MODE_ONLY)}},
            {"/usr", 0, {test_rec(14, 040755, MODE_ONLY)}}};
  }
};

const char PASSWD_LONG[] =
    "? ilugmsftc /etc/passwd\n"
    "ino:\t12\nlinks:\t1\nuid:\t1001\ngid:\t20\nmode:\t100644\nsize:\t4096\n"
    "flags:\t00000002\nctime:\t2001-09-09 01:46:40\n"
    "csum:\tde00000000000000000000000000000000000001\n\n";

}  // namespace

TEST_F(KavshowE2e, SnapshotLongLayoutByDefault) {
  std::string name = db(snapshot());
  prog_result r = show({"db"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("", r.err);
  EXPECT_EQ(std::string("? ----m---- /etc\nmode:\t040755\n\n") + PASSWD_LONG +
                "? ----m---- /etcetera\nmode:\t100600\n\n"
                "? ----m---- /usr\nmode:\t040755\n\n",
            r.out);
  // -h says the same.
  EXPECT_EQ(r.out, show({"-h", "db"}).out);
}

TEST_F(KavshowE2e, Layouts) {
  db({{"/etc/passwd", 0, {test_rec(12, 0100644, ALL)}}});
  const std::string plain =
      "? ilugmsftc /etc/passwd\n"
      "12 1 1001 20 100644 4096 00000002 2001-09-09 01:46:40 "
      "de00000000000000000000000000000000000001 \n";
  const std::string human =
      "? ilugmsftc /etc/passwd\n"
      "ino:\t12\nlinks:\t1\nuid:\t1001\ngid:\t20\nmode:\t100644 (-rw-r--r--)\n"
      "size:\t4096\nflags:\t00000002 (uchg)\nctime:\t2001-09-09 01:46:40\n"
      "csum:\tde00000000000000000000000000000000000001\n\n";
  const struct {
    std::vector<std::string> args;
    std::string want;
  } cases[] = {
      {{"-p", "db"}, plain},       {{"-p", "-x", "db"}, plain},
      {{"-x", "-p", "db"}, plain}, {{"-h", "-p", "db"}, plain},
      {{"-x", "db"}, human},       {{"-x", "-h", "db"}, human},
      {{"-h", "db"}, PASSWD_LONG},
  };
  for (const auto &c : cases) {
    std::vector<std::string> args = c.args;
    prog_result r = show(args);
    EXPECT_EQ(0, r.status) << args[0];
    EXPECT_EQ(c.want, r.out) << args[0] << " " << args[1];
  }
}

TEST_F(KavshowE2e, Masks) {
  db({{"/a", 0, {test_rec(5, 0100644, MODE_ONLY)}}});
  const struct {
    std::vector<std::string> args;
    std::string want;
  } cases[] = {
      {{"-p", "-m", "u", "db"}, "? ----m---- /a\n\n"},
      {{"-p", "-M", "u", "db"}, "? ----m---- /a\n1001 \n"},
      {{"-p", "-M", "c", "-m", "u", "db"}, "? ----m---- /a\n1001 \n"},
      {{"-p", "-m", "u", "-M", "c", "db"},
       "? ----m---- /a\nde00000000000000000000000000000000000001 \n"},
      {{"-p", "-m", "F", "db"}, "? ----m---- /a\n100644 \n"},
      {{"-p", "-M", "C", "db"},
       "? ----m---- /a\n5 1 1001 20 100644 00000002 \n"},
      {{"-p", "-M", "", "db"}, "? ----m---- /a\n\n"},
      {{"-M", "u", "db"}, "? ----m---- /a\nuid:\t1001\n\n"},
  };
  for (const auto &c : cases) {
    prog_result r = show(c.args);
    std::string joined;
    for (const auto &a : c.args)
      joined += a + " ";
    EXPECT_EQ(0, r.status) << joined;
    EXPECT_EQ(c.want, r.out) << joined;
  }
}

TEST_F(KavshowE2e, PathFilters) {
  db(snapshot());
  const struct {
    std::vector<std::string> args;
    std::string want;
  } cases[] = {
      {{"-d", "/etc"}, "/etc /etc/passwd /etcetera "},
      {{"-d", "/etc/"}, "/etc/passwd "},
      {{"-d", ""}, "/etc /etc/passwd /etcetera /usr "},
      {{"-D", "/etc"}, "/etc "},
      {{"-D", "/etc/passwd"}, "/etc/passwd "},
      {{"-D", "/nothere"}, ""},
      {{"-D", "/et"}, ""},
      {{"-d", "/usr", "-D", "/etc"}, "/etc "},  // the last path is kept
      {{"-D", "/etc", "-d", "/et"}, ""},
  };
  for (const auto &c : cases) {
    std::vector<std::string> args = {"-p", "-M", ""};
    args.insert(args.end(), c.args.begin(), c.args.end());
    args.push_back("db");
    prog_result r = show(args);
    std::string joined;
    for (const auto &a : c.args)
      joined += a + " ";
    EXPECT_EQ(0, r.status) << joined;
    // Each record is its header and an empty line; keep just the paths.
    std::string paths;
    size_t pos = 0;
    while (pos < r.out.size()) {
      size_t nl = r.out.find('\n', pos);
      std::string line = r.out.substr(pos, nl - pos);
      if (!line.empty())
        paths += line.substr(12) + " ";
      pos = nl + 1;
    }
    EXPECT_EQ(c.want, paths) << joined;
  }
}

TEST_F(KavshowE2e, DifferenceDatabase) {
  db_rec older = test_rec(20, 0100644, ALL);
  db_rec newer = test_rec(20, 0100600, MODE_ONLY);
  db({{"/c", 2, {older, newer}},
      {"/n", 4, {test_rec(21, 0100644, MODE_ONLY)}},
      {"/d", 8, {test_rec(22, 040700, MODE_ONLY)}}});
  prog_result r = show({"-p", "-M", "m", "db"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ(
      "C ilugmsftc /c\n100644 \n100600 \n"
      "N ----m---- /n\n100644 \n"
      "D ----m---- /d\n040700 \n",
      r.out);
  r = show({"-x", "-m", "mf", "-D", "/c", "db"});
  EXPECT_EQ(
      "C ilugmsftc /c\n"
      "mode:\t100644 (-rw-r--r--)\nflags:\t00000002 (uchg)\n\n"
      "mode:\t100600 (-rw-------)\nflags:\t00000002 (uchg)\n\n",
      r.out);
}

TEST_F(KavshowE2e, EmptyAndMissingFiles) {
  write_file(path("empty"), "");
  prog_result r = show({"empty"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("", r.out);
  EXPECT_EQ("", r.err);

  r = show({"missing"});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("", r.out);
  EXPECT_EQ(std::string("db_readall: missing: ") + strerror(ENOENT) + "\n",
            r.err);
}

// The second frame cut at every point: the first is printed, then the one
// message; a cut after a whole frame is a good file.
TEST_F(KavshowE2e, CutFiles) {
  std::string first = encode({{"/a", 0, {test_rec(1, 0100644, MODE_ONLY)}}});
  std::string second = encode({{"/b", 0, {test_rec(2, 0100644, MODE_ONLY)}}});
  const std::string first_out = "? ----m---- /a\n100644 \n";
  const std::string bad = std::string("db_readall: db: ") + strerror(EBADMSG) +
                          "\n";
  for (size_t cut = 0; cut <= second.size(); cut++) {
    write_file(path("db"), first + second.substr(0, cut));
    prog_result r = show({"-p", "db"});
    if (cut == 0 || cut == second.size()) {
      EXPECT_EQ(0, r.status) << "cut " << cut;
      EXPECT_EQ("", r.err) << "cut " << cut;
    } else {
      EXPECT_EQ(1, r.status) << "cut " << cut;
      EXPECT_EQ(first_out, r.out) << "cut " << cut;
      EXPECT_EQ(bad, r.err) << "cut " << cut;
    }
  }
}

// Frames no writer of the suite makes: data that does not hold the records
// its kind promises, or more than a changed pair.
TEST_F(KavshowE2e, FramesThatDoNotFit) {
  std::string good = encode({{"/a", 0, {test_rec(1, 0100644, MODE_ONLY)}}});
  auto frame = [](const std::string &p, uint8_t kind, size_t len) {
    return frame_bytes(p, kind, std::string(len, '\0'));
  };
  const std::string first_out = "? ----m---- /a\n100644 \n";
  const std::string bad = std::string("db_readall: db: ") + strerror(EBADMSG) +
                          "\n";
  const struct {
    uint8_t kind;
    size_t len;
  } cases[] = {{0, 55}, {0, 113}, {2, 56}, {2, 111}, {4, 1}, {8, 200}};
  for (const auto &c : cases) {
    write_file(path("db"), good + frame("/x", c.kind, c.len) + good);
    prog_result r = show({"-p", "db"});
    EXPECT_EQ(1, r.status) << int(c.kind) << " " << c.len;
    EXPECT_EQ(first_out, r.out) << int(c.kind) << " " << c.len;
    EXPECT_EQ(bad, r.err) << int(c.kind) << " " << c.len;
  }
  // A damaged frame is reported even when the path filter would hide it.
  write_file(path("db"), good + frame("/x", 2, 56));
  prog_result r = show({"-p", "-D", "/a", "db"});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ(first_out, r.out);
  EXPECT_EQ(bad, r.err);
}

TEST_F(KavshowE2e, Usage) {
  write_file(path("db"), "");
  const std::vector<std::string> cases[] = {
      {},     {"db", "db"}, {"db", "-p"},  // options end at the first operand
      {"-m"}, {"-z", "db"}, {"-d", "/x"},
  };
  for (const auto &args : cases) {
    prog_result r = show(args);
    std::string joined;
    for (const auto &a : args)
      joined += a + " ";
    EXPECT_EQ(1, r.status) << joined;
    EXPECT_EQ("", r.out) << joined;
    ASSERT_GE(r.err.size(), sizeof USAGE - 1) << joined;
    EXPECT_EQ(USAGE, r.err.substr(r.err.size() - (sizeof USAGE - 1))) << joined;
  }
  EXPECT_EQ(USAGE, show({}).err);
  // getopt speaks first for a bad option.
  EXPECT_NE(USAGE, show({"-z", "db"}).err);
}

// A report that cannot be written ends with the one message and status 1:
// output that fits the stream's buffer fails only at the last flush, more
// fails on the way and stops the reading there. Nothing to write is no
// failure.
TEST_F(KavshowE2e, WriteFailureOnStdout) {
  if (access("/dev/full", W_OK) != 0)
    GTEST_SKIP() << "no /dev/full";
  std::vector<entry> many;
  for (int i = 0; i < 5000; i++)
    many.push_back(
        {"/many/" + std::to_string(i), 0, {test_rec(1, 0100644, ALL)}});
  write_file(path("empty"), "");
  write_file(path("many"), encode(many));
  db(snapshot());
  const struct {
    std::vector<std::string> args;
    bool fails;
  } cases[] = {
      {{"db"}, true},         {{"-p", "db"}, true},
      {{"-x", "many"}, true}, {{"-p", "many"}, true},
      {{"empty"}, false},     {{"-D", "/none", "db"}, false},
  };
  for (const auto &c : cases) {
    std::vector<std::string> argv = {KAVSHOW_PATH};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    expect_full_stdout(argv, dir_, c.fails);
  }
}
