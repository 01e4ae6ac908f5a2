// End to end: the built kavbuild walks from "/" under policies that prune
// everything but the test's own directory, and its databases are read back
// directly and with kavshow and kavcmp.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "db/db.h"
#include "testutil/confine.h"
#include "testutil/dbfile.h"
#include "testutil/hostile.h"
#include "testutil/testutil.h"
#include "testutil/unesc.h"

namespace {

const std::string usage_text = "usage: kavbuild [-c file1] [-d file2]\n";

class KavbuildTest : public RealTmpDirTest {
 protected:
  void SetUp() override
  {
    RealTmpDirTest::SetUp();
    ASSERT_EQ(0, mkdir(path("t").c_str(), 0755));
    top_ = path("t");
  }

  prog_result build(const std::vector<std::string> &args,
                    const prog_opts &o = prog_opts())
  {
    std::vector<std::string> argv{KAVBUILD_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_prog(argv, dir_, o);
  }

  void policy(const std::string &body)
  {
    write_file(path("policy"), confined_policy(top_, body));
  }

  std::map<std::string, db_rec> records(const std::string &db)
  {
    std::map<std::string, db_rec> out;
    uint8_t data[112];
    auto fn = [](const db_frame *fr, const void *d, void *arg) {
      db_rec r;
      db_rec_unpack(static_cast<const uint8_t *>(d), &r);
      auto *m = static_cast<std::map<std::string, db_rec> *>(arg);
      EXPECT_EQ(0u, m->count(fr->path)) << "twice: " << fr->path;
      (*m)[fr->path] = r;
      return 0;
    };
    EXPECT_EQ(0, db_readall(db.c_str(), fn, &out, data, sizeof data));
    return out;
  }

  std::string top_;
};

// The headers of a report of kavshow or kavcmp, each as its change letter,
// a blank and its path read back into bytes. Every other line must be a
// value line of one of the layouts: a label, a tab and a value, or values
// alone.
std::multiset<std::string>
report_headers(const std::string &out)
{
  std::multiset<std::string> heads;
  size_t pos = 0;
  while (pos < out.size()) {
    size_t nl = out.find('\n', pos);
    if (nl == std::string::npos) {
      ADD_FAILURE() << "unterminated line in " << out;
      break;
    }
    std::string line = out.substr(pos, nl - pos);
    pos = nl + 1;
    // The mask text is nine letters, or eleven with the extension's.
    size_t end = line.find_first_not_of("ilugmsftchx-", 2);
    bool head = line.size() > 12 && strchr("?CND", line[0]) != nullptr &&
                line[1] == ' ' && (end == 11 || end == 13) && line[end] == ' ';
    if (!head) {
      EXPECT_EQ(std::string::npos,
                line.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789"
                                       ":\t ()-,._=\\"))
          << "not a value line: " << line;
      continue;
    }
    std::string path;
    EXPECT_TRUE(unesc_name(line.substr(end + 1), &path)) << line;
    heads.insert(line.substr(0, 2) + path);
  }
  return heads;
}

}  // namespace

// Exactly what the policy selects, with exactly the attributes it asks for.
TEST_F(KavbuildTest, RecordsWhatThePolicySelects) {
  ASSERT_EQ(0, mkdir(path("t/d").c_str(), 0750));
  ASSERT_EQ(0, mkdir(path("t/skip").c_str(), 0755));
  write_file(path("t/d/file"), "hello");
  write_file(path("t/skip/hidden"), "x");
  write_file(path("t/log"), "x");
  ASSERT_EQ(0, symlink("d/file", path("t/link").c_str()));
  ASSERT_EQ(0, mkfifo(path("t/d/fifo").c_str(), 0600));
  policy(
      "@NO:@T\n"
      "+N:S\nname:skip\n"
      "+ms\nname:log\n"
      "+F:I\n");
  prog_result r = build({"-c", path("policy"), "-d", path("db")});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("", r.out);
  EXPECT_EQ("", r.err);
  struct stat st;
  ASSERT_EQ(0, stat(path("db").c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 07777);

  auto recs = records(path("db"));
  std::vector<std::string> names;
  for (const auto &kv : recs)
    names.push_back(kv.first.substr(top_.size()));
  EXPECT_EQ((std::vector<std::string>{"/d", "/d/fifo", "/d/file", "/link",
                                      "/log"}),
            names);
  const db_rec &file = recs[top_ + "/d/file"];
  ASSERT_EQ(0, lstat(path("t/d/file").c_str(), &st));
  EXPECT_EQ(DB_ALL, file.mask);
  EXPECT_EQ(st.st_ino, file.ino);
  EXPECT_EQ(st.st_mode, file.mode);
  EXPECT_EQ(5, file.size);
  EXPECT_EQ(uint32_t(st.st_ctime), uint64_t(file.ctime));
  EXPECT_EQ(sha("hello"), csum(file));
  const db_rec &lnk = recs[top_ + "/link"];
  EXPECT_EQ(sha("d/file"), csum(lnk));
  const db_rec &dir = recs[top_ + "/d"];
  EXPECT_EQ(sha(std::string("fifo\0file\0", 10)), csum(dir));
  const db_rec &log = recs[top_ + "/log"];
  EXPECT_EQ(DB_MODE | DB_SIZE, log.mask);
  EXPECT_EQ(0u, log.ino);
  EXPECT_EQ(1, log.size);

  prog_result show = run_prog({KAVSHOW_PATH, "-p", path("db")});
  EXPECT_EQ(0, show.status) << show.err;
  for (const auto &kv : recs)
    EXPECT_NE(std::string::npos, show.out.find(kv.first)) << show.out;
  EXPECT_EQ(std::string::npos, show.out.find("hidden"));
}

// Two snapshots around a change differ in exactly the changed paths.
TEST_F(KavbuildTest, ChangesShowInComparison) {
  write_file(path("t/same"), "same");
  write_file(path("t/edit"), "one");
  write_file(path("t/gone"), "x");
  policy("@NO:@T\n+F:I\n");
  ASSERT_EQ(0, build({"-c", path("policy"), "-d", path("db1")}).status);
  write_file(path("t/edit"), "two");
  write_file(path("t/new"), "n");
  ASSERT_EQ(0, unlink(path("t/gone").c_str()));
  ASSERT_EQ(0, build({"-c", path("policy"), "-d", path("db2")}).status);
  prog_result r = run_prog({KAVCMP_PATH, "-p", path("db1"), path("db2")});
  EXPECT_EQ(0, r.status) << r.err;
  for (const char *p : {"/edit", "/new", "/gone"})
    EXPECT_NE(std::string::npos, r.out.find(top_ + p)) << p << "\n" << r.out;
  EXPECT_EQ(std::string::npos, r.out.find(top_ + "/same")) << r.out;
}

// Names chosen to forge or break report lines cannot: in every layout of
// kavshow and kavcmp each header is one line whose path reads back as the
// bytes on disk, and -D and -d match those raw bytes.
TEST_F(KavbuildTest, HostileNamesCannotForgeReports) {
  const std::vector<std::string> n = hostile_names();
  const std::string dir = top_ + "/" + n[1], forged = top_ + "/" + n[0];
  ASSERT_EQ(0, mkdir(dir.c_str(), 0755));
  write_file(dir + "/" + n[2], "inner");
  for (size_t i = 2; i < n.size(); i++)
    write_file(top_ + "/" + n[i], "1");
  policy("@NO:@T\n+F:I\n");
  ASSERT_EQ(0, build({"-c", path("policy"), "-d", path("db1")}).status);
  // A new file whose name imitates a deleted shadow file, a changed file
  // and a deleted one.
  write_file(forged, "x");
  write_file(top_ + "/" + n[3], "2");
  ASSERT_EQ(0, unlink((top_ + "/" + n[4]).c_str()));
  prog_result b = build({"-c", path("policy"), "-d", path("db2")});
  ASSERT_EQ(0, b.status) << b.err;

  std::multiset<std::string> shown = {"? " + dir, "? " + dir + "/" + n[2],
                                      "? " + forged};
  for (size_t i = 2; i < n.size(); i++)
    if (i != 4)
      shown.insert("? " + top_ + "/" + n[i]);
  const std::multiset<std::string> diffs = {
      "N " + forged, "C " + top_ + "/" + n[3], "D " + top_ + "/" + n[4]};
  const std::string db1 = path("db1"), db2 = path("db2");
  const struct {
    std::vector<std::string> argv;
    std::multiset<std::string> want;
  } cases[] = {
      {{KAVSHOW_PATH, "-p", db2}, shown},
      {{KAVSHOW_PATH, db2}, shown},
      {{KAVSHOW_PATH, "-x", db2}, shown},
      {{KAVSHOW_PATH, "-D", forged, db2}, {"? " + forged}},
      {{KAVSHOW_PATH, "-x", "-d", dir + "/", db2}, {"? " + dir + "/" + n[2]}},
      {{KAVCMP_PATH, "-p", db1, db2}, diffs},
      {{KAVCMP_PATH, db1, db2}, diffs},
      {{KAVCMP_PATH, "-x", db1, db2}, diffs},
  };
  for (const auto &c : cases) {
    prog_result r = run_prog(c.argv, dir_);
    EXPECT_EQ(0, r.status) << c.argv[1] << r.err;
    EXPECT_EQ(c.want, report_headers(r.out)) << c.argv[1] << "\n" << r.out;
  }
  // The forged lines stay inside one header.
  prog_result r = run_prog({KAVCMP_PATH, "-p", "-M", "msc", db1, db2}, dir_);
  EXPECT_NE(std::string::npos, r.out.find("\nN ilugmsftc " + top_ +
                                          "/x\\012100644 5 0\\012D ilugmsftc "
                                          "\xe2\x88\x95"
                                          "etc\xe2\x88\x95shadow\n100644 1 "))
      << r.out;
}

TEST_F(KavbuildTest, UsageErrors) {
  policy("@NO:@T\n+F\n");
  const std::vector<std::vector<std::string>> cases = {
      {"-c", path("policy"), "-d", path("db"), "operand"},
      {"-x"},
      {"-c"},
      {"-d", path("db"), "-c", path("policy"), "/"},
  };
  for (const auto &args : cases) {
    prog_result r = build(args);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("", r.out);
    ASSERT_GE(r.err.size(), usage_text.size());
    EXPECT_EQ(usage_text, r.err.substr(r.err.size() - usage_text.size()));
    EXPECT_NE(0, access(path("db").c_str(), F_OK));
  }
}

// A path argument longer than any path may be is refused before anything
// is created: cut to fit, it would name a file the user never typed (here
// "db-" beside the test's files).
TEST_F(KavbuildTest, OverlongPathArgumentsCreateNothing) {
  policy("@NO:@T\n+F\n");
  ASSERT_EQ(0, build({"-c", "policy", "-d", "base"}).status);
  std::string over;
  while (over.size() < DB_PATH_MAX - 3)
    over += "./";
  over += "db-long";
  ASSERT_GT(over.size(), DB_PATH_MAX);
  const struct {
    const char *prog;
    std::vector<std::string> args;
    const char *opt;
  } cases[] = {
      {KAVBUILD_PATH, {"-c", "policy", "-d", over}, "-d"},
      {KAVBUILD_PATH, {"-c", over, "-d", "db"}, "-c"},
      {KAVCMP_PATH, {"-d", over, "base", "base"}, "-d"},
      {KAVCONF_PATH, {"-c", over}, "-c"},
      {KAVCONF_PATH, {"-c", "policy", "-d", over}, "-d"},
      {KAVSHOW_PATH, {"-d", over, "base"}, "-d"},
      {KAVSHOW_PATH, {"-D", over, "base"}, "-D"},
      {KAVJSON_PATH, {"-d", over, "base"}, "-d"},
      {KAVJSON_PATH, {"-D", over, "base"}, "-D"},
  };
  for (const auto &c : cases) {
    std::vector<std::string> argv{c.prog};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    prog_result r = run_prog(argv, dir_);
    EXPECT_EQ(1, r.status) << c.prog << " " << c.opt;
    EXPECT_EQ("", r.out) << c.prog << " " << c.opt;
    EXPECT_EQ(std::string(c.opt) + ": argument too long\n", r.err) << c.prog;
    EXPECT_NE(0, access(path("db-").c_str(), F_OK)) << c.prog;
    EXPECT_NE(0, access(path("db").c_str(), F_OK)) << c.prog;
  }
}

// While the walk waits for the digest of one large file, a status request
// is answered within about a second and names that file: the build is
// ended two seconds after the signal, long before the digest is done.
TEST_F(KavbuildTest, StatusWhileOneLargeFileIsDigested) {
  std::string f = path("t/huge");
  write_file(f, "");
  ASSERT_EQ(0, truncate(f.c_str(), off_t(64) << 30));
  policy("@NO:@T\n+sc\n");
  std::string db = path("db");
  prog_opts o;
  o.env = {"KAVBUILD_THREADS=2"};
  timespec asked = {0, 0};
  o.watch = [&](pid_t pid) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (asked.tv_sec == 0) {
      if (access(db.c_str(), F_OK) == 0 && kill(pid, SIGUSR1) == 0)
        asked = now;
      return false;
    }
    if ((now.tv_sec - asked.tv_sec) * 1000 +
            (now.tv_nsec - asked.tv_nsec) / 1000000 <
        2000)
      return false;
    return kill(pid, SIGKILL) == 0;
  };
  prog_result r = build({"-c", path("policy"), "-d", db}, o);
  EXPECT_EQ(128 + SIGKILL, r.status) << r.err;
  EXPECT_EQ("kavbuild: 0 objects recorded, 0 bytes digested, " + f + "\n",
            r.err);
}

TEST_F(KavbuildTest, MissingPolicyCreatesNothing) {
  prog_result r = build({"-c", path("none"), "-d", path("db")});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ(path("none") + ": " + strerror(ENOENT) + "\n", r.err);
  EXPECT_NE(0, access(path("db").c_str(), F_OK));
}

// The default name is time-stamped and lands in the current directory;
// the last -d wins over an earlier one.
TEST_F(KavbuildTest, DatabaseNames) {
  write_file(path("t/f"), "x");
  policy("@NO:@T\n+i\n");
  ASSERT_EQ(0, build({"-c", path("policy")}).status);
  ASSERT_EQ(
      0, build({"-c", path("policy"), "-d", "first", "-d", "second"}).status);
  EXPECT_NE(0, access(path("first").c_str(), F_OK));
  EXPECT_EQ(1u, records(path("second")).size());
  std::vector<std::string> stamped;
  DIR *d = opendir(dir_.c_str());
  ASSERT_NE(nullptr, d);
  while (dirent *e = readdir(d))
    if (std::regex_match(e->d_name,
                         std::regex("kavdb-20[0-9]{2}-[01][0-9]-[0-3][0-9]-"
                                    "[0-2][0-9]-[0-5][0-9]-[0-6][0-9]")))
      stamped.push_back(e->d_name);
  closedir(d);
  ASSERT_EQ(1u, stamped.size());
  EXPECT_EQ(1u, records(path(stamped[0])).size());
}

// A build that fails half way exits with 1 and leaves every frame written
// before the failure in the file, although frames are written in batches.
TEST_F(KavbuildTest, FailureKeepsFramesWritten) {
  std::string rel = "t";
  std::string name(200, 'n');
  int levels = 0;
  while (path(rel).size() + 1 + name.size() <= 1023) {
    rel += "/" + name;
    ASSERT_EQ(0, mkdir(path(rel).c_str(), 0755));
    levels++;
  }
  int fd = open(path(rel).c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(0, mkdirat(fd, name.c_str(), 0755));
  close(fd);
  policy("@NO:@T\n+i:I\n");
  prog_result r = build({"-c", path("policy"), "-d", path("db")});
  EXPECT_EQ(1, r.status);
  std::string full = path(rel + "/" + name);
  EXPECT_EQ("lstat(): " + full.substr(0, 1023) + ": " + strerror(ENAMETOOLONG) +
                "\n",
            r.err);
  EXPECT_EQ(size_t(levels), records(path("db")).size());
}

// SIGUSR1 asks for a status line and the build goes on: the signal's
// default action would end it. Large sparse files keep the build busy long
// enough for the signal to arrive while it runs; one that arrives after the
// last object was recorded prints nothing, and the build is made again
// until a line shows that the signal came in time.
TEST_F(KavbuildTest, StatusSignal) {
  for (int i = 0; i < 4; i++) {
    std::string f = path("t/big" + std::to_string(i));
    write_file(f, "");
    ASSERT_EQ(0, truncate(f.c_str(), 8 << 20));
  }
  policy("@NO:@T\n+sc\n");
  std::string db = path("db");
  prog_opts o;
  // The database exists once the handler is in place.
  o.watch = [&](pid_t pid) {
    return access(db.c_str(), F_OK) == 0 && kill(pid, SIGUSR1) == 0;
  };
  prog_result r;
  for (int tries = 0; tries < 5; tries++) {
    unlink(db.c_str());
    r = build({"-c", path("policy"), "-d", db}, o);
    if (r.status != 0 || !r.err.empty())
      break;
  }
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_TRUE(std::regex_match(
      r.err, std::regex("kavbuild: [0-9]+ objects recorded, [0-9]+ bytes "
                        "digested, " +
                        top_ + "/big[0-3]\n")))
      << r.err;
  EXPECT_EQ(4u, records(db).size());
}

namespace {

// The records of a database with their SHA-256 in hex, by path.
std::map<std::string, std::pair<db_rec, std::string>>
records_ext(const std::string &db)
{
  std::map<std::string, std::pair<db_rec, std::string>> out;
  static uint8_t data[DB_DATA_MAX];
  auto fn = [](const db_frame *fr, const void *d, void *arg) {
    db_rec r;
    db_ext x;
    EXPECT_EQ(0, db_recs_unpack(d, fr->len, 1, &r, &x)) << fr->path;
    auto *m =
        static_cast<std::map<std::string, std::pair<db_rec, std::string>> *>(
            arg);
    (*m)[fr->path] = {r, hex_bytes(x.sha256, DB_SHA256_LEN)};
    return 0;
  };
  EXPECT_EQ(0, db_readall(db.c_str(), fn, &out, data, sizeof data));
  return out;
}

// "digest  name" lines of a digest program of coreutils, by name.
std::map<std::string, std::string>
digests_by(const std::string &prog, const std::vector<std::string> &files)
{
  std::vector<std::string> argv{"/usr/bin/env", prog};
  argv.insert(argv.end(), files.begin(), files.end());
  prog_result r = run_prog(argv);
  EXPECT_EQ(0, r.status) << r.err;
  std::map<std::string, std::string> out;
  size_t pos = 0;
  for (size_t nl; (nl = r.out.find('\n', pos)) != std::string::npos;
       pos = nl + 1) {
    std::string line = r.out.substr(pos, nl - pos);
    size_t sp = line.find("  ");
    out[line.substr(sp + 2)] = line.substr(0, sp);
  }
  return out;
}

}  // namespace

// Both digests from one reading, checked against coreutils over sizes
// around the block and read-buffer boundaries and a random tree; one
// thread and four write the same bytes.
TEST_F(KavbuildTest, BothDigestsAgreeWithCoreutils) {
  std::mt19937_64 rnd(23);
  std::vector<std::string> files;
  auto make = [&](const std::string &name, size_t n) {
    std::string s(n, '\0');
    for (char &c : s)
      c = char(rnd());
    write_file(path("t/" + name), s);
    files.push_back(top_ + "/" + name);
  };
  // Around the block, the page and the digest's read buffer (512 KiB),
  // whose end a read that fills it cannot tell.
  const size_t sizes[] = {0,      1,      55,      56,     63,     64,
                          65,     119,    127,     128,    129,    4095,
                          4096,   131071, 131072,  131073, 262144, 524287,
                          524288, 524289, 1000003, 1048576};
  for (size_t n : sizes)
    make("size" + std::to_string(n), n);
  for (int d = 0; d < 4; d++) {
    ASSERT_EQ(0, mkdir(path("t/d" + std::to_string(d)).c_str(), 0755));
    for (int f = 0; f < 6; f++)
      make("d" + std::to_string(d) + "/f" + std::to_string(f), rnd() % 300000);
  }
  policy("@NO:@T\n+ch:I\n");
  std::string dbs[2] = {path("one"), path("four")};
  const char *threads[2] = {"KAVBUILD_THREADS=1", "KAVBUILD_THREADS=4"};
  for (int i = 0; i < 2; i++) {
    prog_opts o;
    o.env = {threads[i]};
    prog_result r = build({"-c", path("policy"), "-d", dbs[i]}, o);
    ASSERT_EQ(0, r.status) << r.err;
  }
  EXPECT_EQ(read_file(dbs[0]), read_file(dbs[1]));
  auto recs = records_ext(dbs[0]);
  auto sha256 = digests_by("sha256sum", files);
  auto sha1 = digests_by("sha1sum", files);
  ASSERT_EQ(files.size(), sha256.size());
  for (const std::string &f : files) {
    ASSERT_EQ(1u, recs.count(f)) << f;
    EXPECT_EQ(sha256[f], recs[f].second) << f;
    EXPECT_EQ(sha1[f], hex_bytes(recs[f].first.csum, DB_SUM_LEN)) << f;
  }
}

// Each attribute an intruder may set is found by a comparison that records
// no change time, and printed as a person reads it. A row whose tool the
// host or the user cannot run is skipped with a message.
TEST_F(KavbuildTest, AttributeChangesFound) {
  const struct {
    const char *file;
    std::vector<std::string> argv;
    const char *line;  // in the newer record of kavcmp -x
  } rows[] = {
      {"cap",
       {"setcap", "cap_setuid,cap_net_raw=ep", "@"},
       "xattrs:\tsecurity.capability=cap_setuid,cap_net_raw=ep\n"},
      {"acl",
       {"setfacl", "-m", "u:1234:r", "@"},
       "xattrs:\tsystem.posix_acl_access=user::rw-,user:1234:r--,group::r--,"
       "mask::r--,other::r--\n"},
      {"user",
       {"setfattr", "-n", "user.note", "-v", "two\nlines", "@"},
       "xattrs:\tuser.note=two\\012lines\n"},
      {"label",
       {"setfattr", "-n", "security.selinux", "-v",
        "system_u:object_r:bin_t:s0", "@"},
       "xattrs:\tsecurity.selinux=system_u:object_r:bin_t:s0\n"},
  };
  for (const auto &row : rows)
    write_file(path(std::string("t/") + row.file), "same contents");
  policy("@NO:@T\n+ilugmsfhx\n");
  ASSERT_EQ(0, build({"-c", path("policy"), "-d", path("a")}).status);
  std::vector<std::string> applied;
  for (const auto &row : rows) {
    std::vector<std::string> argv{"/usr/bin/env"};
    for (const std::string &a : row.argv)
      argv.push_back(a == "@" ? top_ + "/" + row.file : a);
    prog_result r = run_prog(argv);
    if (r.status != 0) {
      std::cout << "skipped " << row.file << ": " << r.err;
      continue;
    }
    applied.push_back(row.file);
  }
  ASSERT_EQ(0, build({"-c", path("policy"), "-d", path("b")}).status);
  prog_result r = run_prog({KAVCMP_PATH, "-x", path("a"), path("b")}, dir_);
  EXPECT_EQ(0, r.status) << r.err;
  std::multiset<std::string> want;
  for (const std::string &f : applied)
    want.insert("C " + top_ + "/" + f);
  EXPECT_EQ(want, report_headers(r.out)) << r.out;
  for (const auto &row : rows) {
    if (std::find(applied.begin(), applied.end(), row.file) != applied.end()) {
      EXPECT_NE(std::string::npos, r.out.find(row.line)) << row.file << r.out;
    }
  }
  // The same database with an extension of a version this reader does not
  // know is refused, not misread.
  std::string db = read_file(path("b"));
  size_t at = DB_HEAD_LEN + db[0] + DB_REC_LEN;  // the first frame's extension
  db[at] = 2;
  write_file(path("c"), db);
  r = run_prog({KAVCMP_PATH, path("a"), path("c")}, dir_);
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("db_readall(): " + path("c") + ": " + strerror(EBADMSG) + "\n",
            r.err);
}
