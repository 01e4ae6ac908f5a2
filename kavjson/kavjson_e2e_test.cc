// kavjson end to end: databases written by the library's writer, the lines
// read back by a JSON parser and compared with what was stored.
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "db/db.h"
#include "db/le.h"
#include "kavjson/json_want.h"
#include "testutil/dbfile.h"
#include "testutil/testutil.h"
#include "testutil/unesc.h"
#include "text/json.h"

using nlohmann::json;

namespace {

const char USAGE[] = "usage: kavjson [-d path | -D path] file\n";

std::vector<std::string>
split_lines(const std::string &out)
{
  std::vector<std::string> v;
  size_t pos = 0;
  while (pos < out.size()) {
    size_t nl = out.find('\n', pos);
    EXPECT_NE(std::string::npos, nl) << "last line without a newline";
    if (nl == std::string::npos)
      break;
    v.push_back(out.substr(pos, nl - pos));
    pos = nl + 1;
  }
  return v;
}

// Every line parses and matches its entry; its path reads back as the
// stored bytes.
void
check_lines(const std::vector<entry> &entries, const std::string &out)
{
  std::vector<std::string> lines = split_lines(out);
  ASSERT_EQ(entries.size(), lines.size());
  for (size_t i = 0; i < lines.size(); i++) {
    json j = json::parse(lines[i], nullptr, false);
    ASSERT_FALSE(j.is_discarded()) << "line " << i << ": " << lines[i];
    ASSERT_TRUE(j.is_object() && j.contains("path") && j["path"].is_string())
        << lines[i];
    std::string bytes;
    EXPECT_TRUE(unesc_name(j["path"].get<std::string>(), &bytes)) << lines[i];
    EXPECT_EQ(entries[i].path, bytes) << lines[i];
    j.erase("path");
    EXPECT_EQ(want_line(entries[i]), j) << lines[i];
  }
}

// Mostly path-like bytes, with any other byte but zero, and some UTF-8.
std::string
random_path(std::mt19937_64 &rnd)
{
  static const char common[] = "/abc.-_ \"\\";
  static const char *const utf8[] = {"\xc3\xa9", "\xe2\x82\xac",
                                     "\xf0\x9d\x84\x9e"};
  std::string p = "/";
  size_t n = rnd() % 40;
  for (size_t i = 0; i < n; i++) {
    unsigned r = unsigned(rnd() % 10);
    if (r < 7)
      p += common[rnd() % (sizeof common - 1)];
    else if (r < 8)
      p += utf8[rnd() % 3];
    else
      p += char(1 + rnd() % 255);
  }
  return p;
}

db_rec
random_rec(std::mt19937_64 &rnd)
{
  static const uint16_t types[] = {0,      0x1000, 0x2000, 0x4000, 0x6000,
                                   0x8000, 0xA000, 0xC000, 0xE000};
  db_rec r;
  memset(&r, 0, sizeof r);
  r.ino = rnd();
  r.mode = uint16_t(types[rnd() % 9] | (rnd() & 07777));
  r.links = int32_t(rnd());
  r.uid = uint32_t(rnd());
  r.gid = uint32_t(rnd() % 3);
  r.ctime = int64_t(rnd());
  r.size = int64_t(rnd() >> (rnd() % 64));
  r.flags = uint32_t(rnd());
  for (uint8_t &b : r.csum)
    b = uint8_t(rnd());
  r.mask = uint16_t(rnd() & 0x3ff);  // a bit no attribute has, at times
  return r;
}

// The newer record of a changed pair: some attributes as the older one's.
db_rec
random_newer(std::mt19937_64 &rnd, const db_rec &older)
{
  db_rec n = random_rec(rnd);
  if (rnd() % 2)
    n.ino = older.ino;
  if (rnd() % 2)
    n.mode = older.mode;
  if (rnd() % 2)
    n.links = int32_t(uint32_t(older.links) + 65536);  // equal once stored
  if (rnd() % 2)
    n.uid = older.uid;
  if (rnd() % 2)
    n.size = older.size;
  if (rnd() % 2)
    n.flags = older.flags;
  if (rnd() % 2)
    memcpy(n.csum, older.csum, DB_SUM_LEN);
  if (rnd() % 2)
    n.mask = older.mask;
  return n;
}

class KavjsonE2e : public TmpDirTest {
 protected:
  // Stores the entries through the library's writer, as the programs do.
  void write_db(const std::string &name, const std::vector<entry> &entries)
  {
    db_handle *db =
        db_open(path(name).c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    ASSERT_NE(nullptr, db) << strerror(errno);
    for (const entry &e : entries) {
      uint8_t data[DB_DATA_MAX];
      for (size_t i = 0; i < e.recs.size(); i++)
        db_rec_pack(&e.recs[i], data + i * DB_REC_LEN);
      uint32_t len = uint32_t(e.recs.size() * DB_REC_LEN);
      EXPECT_EQ(0, db_argput(db, e.path.c_str(), len, e.kind, data));
    }
    EXPECT_EQ(0, db_close(db));
  }
  prog_result run(std::vector<std::string> args)
  {
    args.insert(args.begin(), KAVJSON_PATH);
    return run_prog(args, dir_);
  }
};

}  // namespace

TEST_F(KavjsonE2e, RandomDatabasesReadBack) {
  std::mt19937_64 rnd(20261209);
  std::vector<entry> snap, diff;
  for (int i = 0; i < 500; i++)
    snap.push_back({random_path(rnd), DB_KIND_SNAP, {random_rec(rnd)}});
  const uint8_t other_kinds[] = {DB_KIND_NEW, DB_KIND_DELETED, 1, 3, 9, 255};
  for (int i = 0; i < 500; i++) {
    db_rec older = random_rec(rnd);
    if (rnd() % 2)
      diff.push_back({random_path(rnd),
                      DB_KIND_CHANGED,
                      {older, random_newer(rnd, older)}});
    else
      diff.push_back({random_path(rnd), other_kinds[rnd() % 6], {older}});
  }
  const struct {
    const char *name;
    const std::vector<entry> *entries;
  } dbs[] = {{"snap", &snap}, {"diff", &diff}};
  for (const auto &d : dbs) {
    write_db(d.name, *d.entries);
    prog_result r = run({d.name});
    EXPECT_EQ(0, r.status) << d.name;
    EXPECT_EQ("", r.err) << d.name;
    check_lines(*d.entries, r.out);
  }
}

// The layout byte for byte, for each change kind and for a name with a
// newline, a backslash, a double quote, bytes that are not UTF-8, a real
// UTF-8 character, DEL and a tab.
TEST_F(KavjsonE2e, Lines) {
  const uint16_t ALL = 0x1ff, MODE_ONLY = 0x002;
  const std::string hostile = "/h\n\\\"\xff\xc3\xa9\x7f\t\xc3";
  const std::vector<entry> entries = {
      {"/etc/passwd", DB_KIND_SNAP, {test_rec(12, 0100644, ALL)}},
      {"/c",
       DB_KIND_CHANGED,
       {test_rec(20, 0100644, ALL), test_rec(20, 0104755, MODE_ONLY)}},
      {"/n", DB_KIND_NEW, {test_rec(21, 0120777, MODE_ONLY | 0x080)}},
      {hostile, DB_KIND_DELETED, {test_rec(22, 040700, 0x020)}},
      {"/u", 3, {test_rec(23, 0, 0)}},
  };
  write_db("db", entries);
  prog_result r = run({"db"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("", r.err);
  const std::string all =
      R"("ino":12,"links":1,"uid":1001,"gid":20,"mode":"100644","type":"file",)"
      R"("size":4096,"flags":2,"flag_names":["uchg"],)"
      R"("ctime":"2001-09-09T01:46:40Z",)"
      R"("csum":"de00000000000000000000000000000000000001")";
  const std::string recorded =
      R"("recorded":["ino","links","uid","gid","mode","size","flags","ctime","csum"])";
  EXPECT_EQ(
      R"({"change":"snapshot","path":"/etc/passwd",)" + recorded +
          R"(,"record":{)" + all + "}}\n" +
          R"({"change":"changed","path":"/c",)" + recorded + R"(,"older":{)" +
          std::string(all).replace(all.find("\"ino\":12"), 8, "\"ino\":20") +
          R"(},"newer":{"mode":"104755","type":"file"},"differ":["mode"]})"
          "\n"
          R"({"change":"new","path":"/n","recorded":["mode","flags"],)"
          R"("record":{"mode":"120777","type":"symlink","flags":2,"flag_names":["uchg"]}})"
          "\n"
          R"({"change":"deleted","path":"/h\\012\\134\"\\377)"
          "\xc3\xa9"
          R"(\\177\\011\\303","recorded":["ctime"],)"
          R"("record":{"ctime":"2001-09-09T01:46:40Z"}})"
          "\n"
          R"({"change":"unknown","kind":3,"path":"/u","recorded":[],"record":{}})"
          "\n",
      r.out);
  check_lines(entries, r.out);
}

// The longest line there can be: every byte of the longest path escaped,
// two records with every attribute at its widest.
TEST_F(KavjsonE2e, LongestLine) {
  db_rec wide;
  memset(&wide, 0xff, sizeof wide);
  wide.mode = 0x4fff;
  wide.mask = 0xffff;
  db_rec other = wide;
  other.ino = 0;
  const std::vector<entry> entries = {
      {std::string(DB_PATH_MAX, '\x01'), DB_KIND_CHANGED, {wide, other}}};
  write_db("db", entries);
  prog_result r = run({"db"});
  EXPECT_EQ(0, r.status);
  EXPECT_LE(r.out.size(), JSON_LINE_MAX);
  check_lines(entries, r.out);
}

// Extended attribute names read back as their bytes, whatever the bytes:
// a zero byte among them, which no file system gives but a database may
// hold, as the path's hostile bytes.
TEST_F(KavjsonE2e, AttributeNamesReadBack) {
  const std::string names[] = {
      std::string("user.a\0b", 8),
      std::string("user.\0", 6),
      "user.\n\"\\\xff\xc3\xa9\x7f",
  };
  std::string items;
  for (const std::string &name : names) {
    uint8_t head[DB_ITEM_HEAD_LEN] = {2};  // stored whole: length, name, "1"
    le_put32(head + 1, uint32_t(1 + name.size() + 1));
    items += std::string(reinterpret_cast<char *>(head), sizeof head) +
             char(name.size()) + name + "1";
  }
  uint8_t ext[DB_EXT_HEAD_LEN];
  le_put16(ext, DB_EXT_VERSION);
  le_put32(ext + 2, uint32_t(items.size()));
  db_rec rec = test_rec(1, 0100644, uint16_t(DB_INO | DB_XATTR));
  write_file(path("db"),
             frame_bytes("/f", DB_KIND_SNAP,
                         rec_bytes(rec) +
                             std::string(reinterpret_cast<char *>(ext),
                                         sizeof ext) +
                             items));
  prog_result r = run({"db"});
  EXPECT_EQ(0, r.status) << r.err;
  json j = json::parse(r.out, nullptr, false);
  ASSERT_TRUE(j.is_object() && j["record"]["xattrs"].is_array()) << r.out;
  const json &xattrs = j["record"]["xattrs"];
  ASSERT_EQ(sizeof names / sizeof names[0], xattrs.size()) << r.out;
  for (size_t i = 0; i < xattrs.size(); i++) {
    std::string back;
    EXPECT_TRUE(unesc_name(xattrs[i]["name"].get<std::string>(), &back))
        << r.out;
    EXPECT_EQ(names[i], back) << r.out;
  }
}

// A cut file, or a frame that does not hold the records its kind
// promises: the lines before it, then kavshow's message and status 1.
TEST_F(KavjsonE2e, DamagedDatabases) {
  db_rec rec = test_rec(1, 0100644, 0x002);
  const std::string good = frame_bytes("/a", 0, rec_bytes(rec));
  const std::string good_out =
      R"({"change":"snapshot","path":"/a","recorded":["mode"],)"
      R"("record":{"mode":"100644","type":"file"}})"
      "\n";
  const std::string bad = std::string("db_readall: db: ") + strerror(EBADMSG) +
                          "\n";
  const std::string second = frame_bytes("/b", 0, rec_bytes(rec));
  const struct {
    std::string tail;
    std::vector<std::string> args;
  } cases[] = {
      {second.substr(0, 1), {}},
      {second.substr(0, DB_HEAD_LEN + 2), {}},
      {second.substr(0, second.size() - 1), {}},
      {frame_bytes("/x", 0, std::string(55, '\0')), {}},
      {frame_bytes("/x", 0, std::string(113, '\0')), {}},
      {frame_bytes("/x", 2, std::string(111, '\0')), {}},
      {frame_bytes("/x", 2, std::string(56, '\0')) + good, {}},
      // Damage is reported even where the filter would hide the frame.
      {frame_bytes("/x", 2, std::string(56, '\0')), {"-D", "/a"}},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; i++) {
    write_file(path("db"), good + cases[i].tail);
    std::vector<std::string> args = cases[i].args;
    args.push_back("db");
    prog_result r = run(args);
    EXPECT_EQ(1, r.status) << "case " << i;
    EXPECT_EQ(good_out, r.out) << "case " << i;
    EXPECT_EQ(bad, r.err) << "case " << i;
  }
  prog_result r = run({"missing"});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("", r.out);
  EXPECT_EQ(std::string("db_readall: missing: ") + strerror(ENOENT) + "\n",
            r.err);
}

TEST_F(KavjsonE2e, PathFiltersAndUsage) {
  std::vector<entry> entries;
  for (const char *p : {"/etc", "/etc/passwd", "/etcetera", "/usr"})
    entries.push_back({p, DB_KIND_SNAP, {test_rec(2, 040755, 0)}});
  write_db("db", entries);
  const struct {
    std::vector<std::string> args;
    std::string want;
  } filters[] = {
      {{"-d", "/etc"}, "/etc /etc/passwd /etcetera "},
      {{"-d", "/etc/"}, "/etc/passwd "},
      {{"-d", ""}, "/etc /etc/passwd /etcetera /usr "},
      {{"-D", "/etc"}, "/etc "},
      {{"-D", "/et"}, ""},
      {{"-d", "/usr", "-D", "/etc"}, "/etc "},  // the last path is kept
      {{"-D", "/etc", "-d", "/et"}, ""},
  };
  for (const auto &c : filters) {
    std::vector<std::string> args = c.args;
    args.push_back("db");
    prog_result r = run(args);
    EXPECT_EQ(0, r.status) << c.args[1];
    std::string paths;
    for (const std::string &line : split_lines(r.out))
      paths += json::parse(line)["path"].get<std::string>() + " ";
    EXPECT_EQ(c.want, paths) << c.args[0] << " " << c.args[1];
  }
  const std::vector<std::string> usages[] = {
      {}, {"db", "db"}, {"db", "-d", "/"}, {"-d"}, {"-p", "db"}};
  for (const auto &args : usages) {
    prog_result r = run(args);
    EXPECT_EQ(1, r.status) << args.size();
    EXPECT_EQ("", r.out);
    ASSERT_GE(r.err.size(), sizeof USAGE - 1);
    EXPECT_EQ(USAGE, r.err.substr(r.err.size() - (sizeof USAGE - 1)));
  }
  EXPECT_EQ(USAGE, run({}).err);
}

// Output that cannot be written, whether in a block on the way or only in
// the last flush, ends the run with status 1 and says so.
TEST_F(KavjsonE2e, FailedWrites) {
  std::vector<entry> entries;
  for (int i = 0; i < 2000; i++)
    entries.push_back({"/f" + std::to_string(i),
                       DB_KIND_SNAP,
                       {test_rec(uint64_t(i), 0100644, 0x1ff)}});
  write_db("big", entries);
  entries.resize(1);
  write_db("small", entries);
  for (const char *name : {"small", "big"}) {
    std::string file = path(name);
    prog_result r = run_child([&] {
      int fd = open("/dev/full", O_WRONLY);
      if (fd < 0 || dup2(fd, 1) < 0)
        _exit(99);
      execl(KAVJSON_PATH, KAVJSON_PATH, file.c_str(), (char *)nullptr);
      _exit(98);
    });
    EXPECT_EQ(1, r.status) << name;
    EXPECT_EQ(std::string("stdout: ") + strerror(ENOSPC) + "\n", r.err) << name;
  }
}
