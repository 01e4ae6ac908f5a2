#include "kavnightly/serve.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>
#include <string>

#include "db/print.h"
#include "delta/delta.h"
#include "sha256/sha256.h"
#include "testutil/testutil.h"

namespace {

const char B0[] = "kavdb-000000-20260101T000000Z";
const char S1[] = "kavdb-000001-20260102T000000Z";
const char S2[] = "kavdb-000002-20260103T000000Z";

std::string
sha_hex(const std::string &s)
{
  uint8_t sum[SHA256_LEN];
  char text[2 * SHA256_LEN + 1];
  sha256_buf(s.data(), s.size(), sum);
  hex_encode(sum, text, int(2 * SHA256_LEN));
  return std::string(text, 2 * SHA256_LEN);
}

class ServeTest : public TmpDirTest {
 protected:
  void SetUp() override
  {
    TmpDirTest::SetUp();
    db_ = path("db");
    ASSERT_EQ(0, mkdir(db_.c_str(), 0700));
    // Contents of every kind of byte, and companions of every kind: a
    // signature that is a link and records that are a directory are not
    // sent; neither is what no snapshot's name has.
    put(B0, std::string("base\0\n\xff", 7));
    put(B0 + std::string(".sig"), "sig of base\n");
    put(B0 + std::string(".pkg"), "records of base\n");
    put(B0 + std::string(".pkg.sig"), "not sent\n");
    put(S1, "");
    put(S1 + std::string(".pkg"), "records of s1\n");
    ASSERT_EQ(0, symlink(B0, (db_ + "/" + S1 + ".sig").c_str()));
    put(S2, "second\n");
    ASSERT_EQ(0, mkdir((db_ + "/" + S2 + ".pkg").c_str(), 0700));
    put("report", "not a snapshot");
    ASSERT_EQ(0, symlink(B0, (db_ + "/kavdb-000003-20260104T000000Z").c_str()));
    std::string err;
    ASSERT_TRUE(st_dir_open(db_, false, &d_, &err)) << err;
  }
  void TearDown() override
  {
    st_dir_close(&d_);
    TmpDirTest::TearDown();
  }
  void put(const std::string &name, const std::string &bytes)
  {
    write_file(db_ + "/" + name, bytes);
  }
  // The answer to request, its status and message.
  nt_served serve(const std::string &request, std::string *out,
                  std::string *err, int wait_s = 0)
  {
    std::string file = path("out");
    unlink(file.c_str());
    int fd = open(file.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    EXPECT_GE(fd, 0);
    nt_served r = nt_serve(&d_, request, wait_s, fd, err);
    close(fd);
    *out = read_file(file);
    return r;
  }
  std::string db_;
  st_dir d_;
};

TEST_F(ServeTest, List) {
  std::string out, err;
  ASSERT_EQ(NT_SERVED, serve("list", &out, &err)) << err;
  EXPECT_EQ(std::string(B0) + " 7 " + sha_hex(std::string("base\0\n\xff", 7)) +
                "\n" + S1 + " 0 " + sha_hex("") + "\n" + S2 + " 7 " +
                sha_hex("second\n") + "\n",
            out);
  EXPECT_EQ(-1, d_.sd_lock);  // released
}

TEST_F(ServeTest, Send) {
  const struct {
    const char *name;
    std::string want;
  } cases[] = {
      {B0, "kavsend 1\nmember " + std::string(B0) + " 7\n" +
               std::string("base\0\n\xff", 7) + "member " + B0 +
               ".sig 12\nsig of base\nmember " + B0 +
               ".pkg 16\nrecords of base\nend\n"},
      {S1, "kavsend 1\nmember " + std::string(S1) + " 0\nmember " + S1 +
               ".pkg 14\nrecords of s1\nend\n"},
      {S2, "kavsend 1\nmember " + std::string(S2) + " 7\nsecond\nend\n"},
  };
  for (const auto &c : cases) {
    std::string out, err;
    ASSERT_EQ(NT_SERVED, serve(std::string("send ") + c.name, &out, &err))
        << c.name << ": " << err;
    EXPECT_EQ(c.want, out) << c.name;
  }
}

// A snapshot as a difference from one the collector holds, when the host
// holds that one as the collector does and the difference is the smaller;
// else the snapshot whole, as "send NAME" sends it.
TEST_F(ServeTest, SendSince) {
  const std::string s4 = "kavdb-000004-20260105T000000Z";
  const std::string s5 = "kavdb-000005-20260106T000000Z";
  std::string big;
  for (int i = 0; i < 2000; i++)
    big += "/etc/file" + std::to_string(i * 7919 % 10007) + "\n";
  std::string changed = big;
  changed[big.size() / 2] = '#';
  put(s4, big);
  put(s5, changed);
  put(s5 + ".sig", "sig of s5\n");
  const std::string link = "kavdb-000003-20260104T000000Z";
  std::string whole5, whole2, err;
  ASSERT_EQ(NT_SERVED, serve("send " + s5, &whole5, &err)) << err;
  ASSERT_EQ(NT_SERVED, serve(std::string("send ") + S2, &whole2, &err)) << err;
  const struct {
    const char *what;
    std::string request;
    std::string whole;  // the answer when it is whole, else ""
  } cases[] = {
      {"a difference", "send " + s5 + " since " + s4 + " " + sha_hex(big), ""},
      {"another copy of the base",
       "send " + s5 + " since " + s4 + " " + sha_hex(changed), whole5},
      {"no such base",
       "send " + s5 + " since kavdb-000009-20260104T000000Z " + sha_hex(big),
       whole5},
      {"a base that is a link",
       "send " + s5 + " since " + link + " " +
           sha_hex(std::string("base\0\n\xff", 7)),
       whole5},
      {"no smaller than the snapshot",
       std::string("send ") + S2 + " since " + B0 + " " +
           sha_hex(std::string("base\0\n\xff", 7)),
       whole2},
  };
  for (const auto &c : cases) {
    std::string out;
    ASSERT_EQ(NT_SERVED, serve(c.request, &out, &err)) << c.what << ": " << err;
    if (!c.whole.empty()) {
      EXPECT_EQ(c.whole, out) << c.what;
      continue;
    }
    const std::string head = "kavsend 1\ndelta " + s5 + " " + s4 + " ";
    ASSERT_EQ(0u, out.find(head)) << c.what;
    size_t nl = out.find('\n', head.size());
    ASSERT_NE(std::string::npos, nl) << c.what;
    size_t n = std::stoul(out.substr(head.size(), nl - head.size()));
    EXPECT_LT(n, 200u) << c.what;
    std::string rebuilt;
    ASSERT_TRUE(delta_apply(big, out.substr(nl + 1, n), changed.size(),
                            &rebuilt, &err))
        << c.what << ": " << err;
    EXPECT_TRUE(rebuilt == changed) << c.what;
    EXPECT_EQ("member " + s5 + ".sig 10\nsig of s5\nend\n",
              out.substr(nl + 1 + n))
        << c.what;
  }
}

// The package records travel as a difference from the base's only when
// the base has records and the difference is the smaller; the head states
// what it rebuilds to.
TEST_F(ServeTest, SendSinceRecords) {
  const std::string s4 = "kavdb-000004-20260105T000000Z";
  const std::string s5 = "kavdb-000005-20260106T000000Z";
  const std::string s6 = "kavdb-000006-20260107T000000Z";
  std::string records;
  for (int i = 0; i < 400; i++)
    records += "package" + std::to_string(i * 7919 % 1009) + " 1.0\n";
  std::string upgraded = records;
  upgraded.replace(upgraded.size() / 3, 3, "2.0");
  put(s4, "snapshot four\n");
  put(s4 + ".pkg", records);
  put(s5, "snapshot five\n");
  put(s6, "snapshot six\n");
  const std::string since4 = " since " + s4 + " " + sha_hex("x");
  const std::string delta = "delta " + s5 + ".pkg " + s4 + ".pkg ";
  const struct {
    const char *what;
    std::string records;  // s5's
    std::string request;
    bool diff;
  } cases[] = {
      {"the same records", records, "send " + s5 + since4, true},
      {"upgraded records", upgraded, "send " + s5 + since4, true},
      {"records too short to gain", "p 1\n", "send " + s5 + since4, false},
      {"not asked since a base", records, "send " + s5, false},
      {"a base without records", records,
       "send " + s5 + " since " + s6 + " " + sha_hex("x"), false},
  };
  for (const auto &c : cases) {
    put(s5 + ".pkg", c.records);
    std::string out, err;
    ASSERT_EQ(NT_SERVED, serve(c.request, &out, &err)) << c.what << ": " << err;
    const std::string snap = "kavsend 1\nmember " + s5 + " 14\nsnapshot five\n";
    ASSERT_EQ(0u, out.find(snap)) << c.what << ": " << out;
    std::string rest = out.substr(snap.size());
    if (!c.diff) {
      EXPECT_EQ("member " + s5 + ".pkg " + std::to_string(c.records.size()) +
                    "\n" + c.records + "end\n",
                rest)
          << c.what;
      continue;
    }
    ASSERT_EQ(0u, rest.find(delta)) << c.what << ": " << rest;
    size_t nl = rest.find('\n');
    std::istringstream head(rest.substr(delta.size(), nl - delta.size()));
    size_t n = 0, length = 0;
    std::string sha;
    head >> n >> length >> sha;
    EXPECT_EQ(c.records.size(), length) << c.what;
    EXPECT_EQ(sha_hex(c.records), sha) << c.what;
    EXPECT_LT(n, c.records.size() / 4) << c.what;
    std::string rebuilt;
    ASSERT_TRUE(delta_apply(records, rest.substr(nl + 1, n), length, &rebuilt,
                            &err))
        << c.what << ": " << err;
    EXPECT_TRUE(rebuilt == c.records) << c.what;
    EXPECT_EQ("end\n", rest.substr(nl + 1 + n)) << c.what;
  }
}

TEST_F(ServeTest, Refusals) {
  const struct {
    std::string request, want;
  } cases[] = {
      {"", "not a request of the collector"},
      {"lis", "not a request of the collector"},
      {"list ", "not a request of the collector"},
      {" list", "not a request of the collector"},
      {"LIST", "not a request of the collector"},
      {"send", "not a request of the collector"},
      {"sendx", "not a request of the collector"},
      {"send ", "not a snapshot name"},
      {"send  " + std::string(B0), "not a snapshot name"},
      {"send " + std::string(B0) + " ", "not a snapshot name"},
      {"send ../db/" + std::string(B0), "not a snapshot name"},
      {"send " + std::string(B0) + ".sig", "not a snapshot name"},
      {"send a\nb", "not a snapshot name"},
      {std::string("send a\0b", 8), "not a snapshot name"},
      {"send report", "report: no such snapshot"},
      {"send lock", "lock: no such snapshot"},
      {"send kavdb-000003-20260104T000000Z",
       "kavdb-000003-20260104T000000Z: no such snapshot"},
      {"send kavdb-000009-20260104T000000Z",
       "kavdb-000009-20260104T000000Z: no such snapshot"},
      {"send " + std::string(B0) + " since", "not a snapshot name"},
      {"send " + std::string(B0) + " since " + S1, "not a SHA-256"},
      {"send " + std::string(B0) + " since " + S1 + " " + std::string(63, 'a'),
       "not a SHA-256"},
      {"send " + std::string(B0) + " since " + S1 + " " + std::string(64, 'A'),
       "not a SHA-256"},
      {"send " + std::string(B0) + " since " + S1 + " " + std::string(64, 'a') +
           " x",
       "not a SHA-256"},
      {"send " + std::string(B0) + " since ../db/" + S1 + " " +
           std::string(64, 'a'),
       "not a snapshot name"},
      {"send " + std::string(B0) + "  since " + S1 + " " + std::string(64, 'a'),
       "not a snapshot name"},
      {"send kavdb-000009-20260104T000000Z since " + std::string(B0) + " " +
           std::string(64, 'a'),
       "kavdb-000009-20260104T000000Z: no such snapshot"},
  };
  for (const auto &c : cases) {
    std::string out = "junk", err;
    EXPECT_EQ(NT_REFUSED, serve(c.request, &out, &err)) << c.request;
    EXPECT_EQ(c.want, err) << c.request;
    EXPECT_EQ("", out) << c.request;
  }
}

// Before the first night there is no directory: nothing to list or send,
// and the refusals stay as they are.
TEST_F(ServeTest, NoDirectoryYet) {
  st_dir_close(&d_);
  const struct {
    std::string request;
    nt_served want;
    std::string err;
  } cases[] = {
      {"list", NT_SERVED, ""},
      {"send " + std::string(B0), NT_REFUSED,
       std::string(B0) + ": no such snapshot"},
      {"send ../x", NT_REFUSED, "not a snapshot name"},
      {"rm -rf /", NT_REFUSED, "not a request of the collector"},
  };
  for (const auto &c : cases) {
    std::string out = "junk", err;
    EXPECT_EQ(c.want, serve(c.request, &out, &err)) << c.request;
    EXPECT_EQ(c.err, err) << c.request;
    EXPECT_EQ("", out) << c.request;
  }
}

TEST_F(ServeTest, BusyUnderARun) {
  st_dir run;
  std::string err, out;
  bool busy;
  ASSERT_TRUE(st_dir_open(db_, false, &run, &err)) << err;
  ASSERT_TRUE(st_lock(&run, false, 0, &busy, &err)) << err;
  for (const char *request : {"list", "send kavdb-000002-20260103T000000Z"}) {
    EXPECT_EQ(NT_FAILED, serve(request, &out, &err)) << request;
    EXPECT_EQ(db_ + "/lock: another run still holds it after 0 s; giving up",
              err);
    EXPECT_EQ("", out);
  }
  st_dir_close(&run);
  EXPECT_EQ(NT_SERVED, serve("list", &out, &err)) << err;
}

TEST_F(ServeTest, BesideAnotherCollector) {
  st_dir other;
  std::string err, out;
  bool busy;
  ASSERT_TRUE(st_dir_open(db_, false, &other, &err)) << err;
  put("lock", "");
  ASSERT_TRUE(st_lock(&other, true, 0, &busy, &err)) << err;
  EXPECT_EQ(NT_SERVED, serve("list", &out, &err)) << err;
  EXPECT_EQ(NT_SERVED, serve(std::string("send ") + S2, &out, &err)) << err;
  // And a run waits for both.
  st_dir run;
  ASSERT_TRUE(st_dir_open(db_, false, &run, &err)) << err;
  EXPECT_FALSE(st_lock(&run, false, 0, &busy, &err));
  EXPECT_TRUE(busy);
  st_dir_close(&other);
  EXPECT_TRUE(st_lock(&run, false, 0, &busy, &err)) << err;
  st_dir_close(&run);
}

TEST_F(ServeTest, Failures) {
  std::string out, err;
  // An answer that cannot be written.
  int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
  if (full >= 0) {
    EXPECT_EQ(NT_FAILED, nt_serve(&d_, "list", 0, full, &err));
    EXPECT_EQ("stdout: No space left on device", err);
    close(full);
  }
  // A snapshot that cannot be read is an error, and nothing of the list is
  // written. Root reads it whatever its mode: a FIFO cannot be, and a
  // directory under a snapshot's name is no snapshot.
  if (geteuid() != 0) {
    chmod((db_ + "/" + S1).c_str(), 0);
    EXPECT_EQ(NT_FAILED, serve("list", &out, &err));
    EXPECT_EQ(db_ + "/" + S1 + ": cannot read: Permission denied", err);
    EXPECT_EQ("", out);
    EXPECT_EQ(NT_FAILED, serve(std::string("send ") + S1, &out, &err));
    EXPECT_EQ("", out);
  }
}

}  // namespace
