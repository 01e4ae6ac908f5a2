#include "kavbuild/capture.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "db/db.h"
#include "sha1/sha1.h"
#include "testutil/dbfile.h"
#include "testutil/testutil.h"

namespace {

struct frame {
  std::string path;
  uint8_t kind;
  uint32_t len;
  db_rec rec;
};

class CaptureTest : public TmpDirTest {
 protected:
  void SetUp() override
  {
    TmpDirTest::SetUp();
    db_ = db_open(path(".db").c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    ASSERT_NE(nullptr, db_);
    cap_ = capture_open(db_, 1);
    ASSERT_NE(nullptr, cap_);
  }
  void TearDown() override
  {
    capture_close(cap_);
    if (db_ != nullptr)
      db_close(db_);
    TmpDirTest::TearDown();
  }
  // Captures name with mask as the walk would, with its status read now.
  int capture(const std::string &name, uint16_t mask)
  {
    port_stat st;
    EXPECT_EQ(0, port_lstat(path(name).c_str(), &st)) << name;
    return capture_file(path(name).c_str(), &st, mask, cap_, nullptr, -1);
  }
  std::vector<frame> frames()
  {
    db_close(db_);
    db_ = nullptr;
    std::vector<frame> out;
    uint8_t data[112];
    auto fn = [](const db_frame *fr, const void *d, void *arg) {
      frame f{fr->path, fr->kind, fr->len, {}};
      db_rec_unpack(static_cast<const uint8_t *>(d), &f.rec);
      static_cast<std::vector<frame> *>(arg)->push_back(f);
      return 0;
    };
    EXPECT_EQ(0, db_readall(path(".db").c_str(), fn, &out, data, sizeof data));
    return out;
  }
  db_handle *db_ = nullptr;
  capture_ctx *cap_ = nullptr;
};

}  // namespace

// Each bit alone fills exactly its field; everything else stays zero.
TEST_F(CaptureTest, EachMaskBit) {
  write_file(path("f"), "contents");
  ASSERT_EQ(0, chmod(path("f").c_str(), 0640));
  struct stat st;
  ASSERT_EQ(0, lstat(path("f").c_str(), &st));
  const uint16_t bits[] = {DB_INO,   DB_MODE, DB_LINKS, DB_UID, DB_GID,
                           DB_CTIME, DB_SIZE, DB_FLAGS, DB_CSUM};
  for (uint16_t b : bits)
    ASSERT_EQ(0, capture("f", b)) << b;
  auto fr = frames();
  ASSERT_EQ(9u, fr.size());
  for (size_t i = 0; i < 9; i++) {
    db_rec want;
    memset(&want, 0, sizeof want);
    want.mask = bits[i];
    switch (bits[i]) {
      case DB_INO: want.ino = st.st_ino; break;
      case DB_MODE: want.mode = uint16_t(st.st_mode); break;
      case DB_LINKS: want.links = 1; break;
      case DB_UID: want.uid = st.st_uid; break;
      case DB_GID: want.gid = st.st_gid; break;
      case DB_CTIME: want.ctime = uint32_t(st.st_ctime); break;
      case DB_SIZE: want.size = 8; break;
      case DB_FLAGS: want.flags = 0; break;
      case DB_CSUM: memcpy(want.csum, sha("contents").data(), SHA1_LEN); break;
    }
    EXPECT_EQ(path("f"), fr[i].path);
    EXPECT_EQ(DB_KIND_SNAP, fr[i].kind);
    EXPECT_EQ(DB_REC_LEN, fr[i].len);
    EXPECT_EQ(0, memcmp(&want, &fr[i].rec, sizeof want)) << "bit " << bits[i];
  }
}

TEST_F(CaptureTest, AllAttributes) {
  write_file(path("f"), "abc");
  ASSERT_EQ(0, link(path("f").c_str(), path("g").c_str()));
  ASSERT_EQ(0, capture("f", DB_ALL));
  auto fr = frames();
  ASSERT_EQ(1u, fr.size());
  EXPECT_EQ(2, fr[0].rec.links);
  EXPECT_EQ(3, fr[0].rec.size);
  struct stat st;
  ASSERT_EQ(0, lstat(path("f").c_str(), &st));
  EXPECT_EQ(st.st_mode, fr[0].rec.mode);
  EXPECT_EQ(st.st_ino, fr[0].rec.ino);
  EXPECT_EQ(DB_ALL, fr[0].rec.mask);
  EXPECT_EQ(sha("abc"), csum(fr[0].rec));
}

// The link's own target text is digested; the link is not followed, and a
// dangling or very long target is digested the same way.
TEST_F(CaptureTest, LinkDigests) {
  std::string long_target(3000, 'x');
  ASSERT_EQ(0, symlink("/usr/bin", path("l").c_str()));
  ASSERT_EQ(0, symlink("nowhere", path("dangling").c_str()));
  ASSERT_EQ(0, symlink(long_target.c_str(), path("long").c_str()));
  for (const char *n : {"l", "dangling", "long"})
    ASSERT_EQ(0, capture(n, DB_CSUM | DB_MODE)) << n;
  auto fr = frames();
  ASSERT_EQ(3u, fr.size());
  EXPECT_EQ(sha("/usr/bin"), csum(fr[0].rec));
  EXPECT_EQ(sha("nowhere"), csum(fr[1].rec));
  EXPECT_EQ(sha(long_target), csum(fr[2].rec));
  EXPECT_TRUE(S_ISLNK(fr[0].rec.mode));
}

// A directory's digest covers its names but "." and "..", sorted as
// unsigned bytes (0xc3 after every ASCII name), each ending in a zero byte;
// a directory of more names than the first buffers hold digests alike.
TEST_F(CaptureTest, DirectoryDigest) {
  ASSERT_EQ(0, mkdir(path("d").c_str(), 0755));
  ASSERT_EQ(0, mkdir(path("e").c_str(), 0755));
  ASSERT_EQ(0, mkdir(path("many").c_str(), 0755));
  for (const char *n : {"b", "\xc3\xa9", "a", "B", ".hidden", "ab"})
    write_file(path(std::string("d/") + n), "");
  std::set<std::string> many;
  for (int i = 0; i < 300; i++)
    many.insert(std::to_string(i * 7919 % 1000) + std::string(20, 'n'));
  for (const std::string &n : many)
    write_file(path("many/" + n), "");
  ASSERT_EQ(0, capture("d", DB_CSUM));
  ASSERT_EQ(0, capture("e", DB_CSUM));
  ASSERT_EQ(0, capture("many", DB_CSUM));
  auto fr = frames();
  ASSERT_EQ(3u, fr.size());
  EXPECT_EQ(sha(std::string(".hidden\0B\0a\0ab\0b\0\xc3\xa9\0", 20)),
            csum(fr[0].rec));
  EXPECT_EQ(sha(""), csum(fr[1].rec));
  std::string joined;
  for (const std::string &n : many)  // std::string orders unsigned bytes too
    joined += n + '\0';
  EXPECT_EQ(sha(joined), csum(fr[2].rec));
}

// FIFOs, like devices and sockets, are never opened: opening this one for
// reading would block the test. The checksum is zero, the mask keeps c.
TEST_F(CaptureTest, FifoNotOpened) {
  ASSERT_EQ(0, mkfifo(path("p").c_str(), 0600));
  ASSERT_EQ(0, capture("p", DB_CSUM | DB_MODE));
  auto fr = frames();
  ASSERT_EQ(1u, fr.size());
  EXPECT_EQ(std::string(SHA1_LEN, '\0'), csum(fr[0].rec));
  EXPECT_EQ(DB_CSUM | DB_MODE, fr[0].rec.mask);
}

// The object digested must be the one whose status was read: a file put
// in its place since then (here another file, a FIFO, a link) fails the
// capture instead of lending its digest or blocking, and writes nothing.
TEST_F(CaptureTest, SwappedBetweenStatusAndOpen) {
  const struct {
    const char *what;
    int err;  // the open's, or the check that it is still the same object
    void (*swap)(const std::string &p);
  } cases[] = {
      {"file", ESTALE,
       [](const std::string &p) {
         write_file(p + ".new", "other");
         ASSERT_EQ(0, rename((p + ".new").c_str(), p.c_str()));
       }},
      {"fifo", ESTALE,
       [](const std::string &p) {
         ASSERT_EQ(0, unlink(p.c_str()));
         ASSERT_EQ(0, mkfifo(p.c_str(), 0600));
       }},
      {"link", ELOOP,
       [](const std::string &p) {
         write_file(p + ".t", "x");
         ASSERT_EQ(0, unlink(p.c_str()));
         ASSERT_EQ(0, symlink((p + ".t").c_str(), p.c_str()));
       }},
  };
  for (const auto &c : cases) {
    std::string p = path(c.what);
    write_file(p, "original");
    port_stat st;
    ASSERT_EQ(0, port_lstat(p.c_str(), &st));
    c.swap(p);
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, capture_file(p.c_str(), &st, DB_ALL, cap_, nullptr, -1));
    EXPECT_EQ("sha_file(): " + p + ": " + strerror(c.err) + "\n",
              testing::internal::GetCapturedStderr())
        << c.what;
  }
  EXPECT_EQ(0u, frames().size());
}

// The same file changed in place is still the same object: its status and
// the digest of what it holds now.
TEST_F(CaptureTest, ChangedInPlace) {
  write_file(path("f"), "before");
  port_stat st;
  ASSERT_EQ(0, port_lstat(path("f").c_str(), &st));
  write_file(path("f"), "after!");
  ASSERT_EQ(0,
            capture_file(path("f").c_str(), &st, DB_CSUM, cap_, nullptr, -1));
  EXPECT_EQ(sha("after!"), csum(frames()[0].rec));
}

// The superuser reads every file, so the child gives up its privileges.
TEST_F(CaptureTest, UnreadableFileStops) {
  write_file(path("f"), "secret");
  ASSERT_EQ(0, chmod(path("f").c_str(), 0));
  ASSERT_EQ(0, chmod(dir_.c_str(), 0777));
  port_stat st;
  ASSERT_EQ(0, port_lstat(path("f").c_str(), &st));
  std::string f = path("f");
  EXPECT_EXIT(
      {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
          _exit(99);
        int r = capture_file(f.c_str(), &st, DB_CSUM, cap_, nullptr, -1);
        // Without c the same file is recorded without being opened.
        int s = capture_file(f.c_str(), &st, DB_MODE, cap_, nullptr, -1);
        exit(r == -1 && s == 0 ? 3 : 0);
      },
      testing::ExitedWithCode(3),
      "^sha_file\\(\\): " + f + ": Permission denied\n$");
}

// A frame the database refuses to take is reported as db_put() with the
// system's text.
TEST_F(CaptureTest, WriteErrorReported) {
  db_handle *full = db_open("/dev/full", O_WRONLY, 0);
  if (full == nullptr)
    GTEST_SKIP() << "no /dev/full";
  write_file(path("f"), "x");
  port_stat st;
  ASSERT_EQ(0, port_lstat(path("f").c_str(), &st));
  capture_ctx *cap = capture_open(full, 1);
  testing::internal::CaptureStderr();
  EXPECT_EQ(-1, capture_file(path("f").c_str(), &st, DB_INO, cap, nullptr, -1));
  EXPECT_EQ(std::string("db_put(): ") + strerror(ENOSPC) + "\n",
            testing::internal::GetCapturedStderr());
  capture_close(cap);
  db_close(full);
}

// One line, its path escaped; a line that cannot be written is lost and
// the build goes on.
TEST_F(CaptureTest, StatusLineOnRequest) {
  write_file(path("f\n"), "12345");
  uint64_t objects0, bytes0;
  capture_counts(cap_, &objects0, &bytes0);
  ASSERT_EQ(0, capture("f\n", DB_CSUM));
  testing::internal::CaptureStderr();
  capture_status_request();
  ASSERT_EQ(0, capture("f\n", DB_INO));
  ASSERT_EQ(0, capture("f\n", DB_INO));
  EXPECT_EQ("kavbuild: " + std::to_string(objects0 + 1) +
                " objects recorded, " + std::to_string(bytes0 + 5) +
                " bytes digested, " + path("f") + "\\012\n",
            testing::internal::GetCapturedStderr());

  int full = open("/dev/full", O_WRONLY);
  if (full < 0)
    GTEST_SKIP() << "no /dev/full";
  int saved = dup(2);
  ASSERT_GE(dup2(full, 2), 0);
  capture_status_request();
  int r = capture("f\n", DB_INO);
  dup2(saved, 2);
  clearerr(stderr);
  close(saved);
  close(full);
  EXPECT_EQ(0, r);
}
