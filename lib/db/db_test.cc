#include "db/db.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "db/le.h"
#include "testutil/dbfile.h"
#include "testutil/testutil.h"

namespace {

db_rec
sample_rec()
{
  db_rec r;
  memset(&r, 0, sizeof r);
  r.ino = 0x0102030405060708ull;
  r.mode = 0100644;
  r.links = 3;
  r.uid = 4294967294u;
  r.gid = 0x11223344;
  r.ctime = 1700000000;
  r.size = 0x0a0b0c0d0e0f1011ll;
  r.flags = 0x1234;
  for (size_t i = 0; i < DB_SUM_LEN; i++)
    r.csum[i] = uint8_t(0xa0 + i);
  r.mask = 0x1ff;
  return r;
}

struct seen_frame {
  std::string path;
  uint32_t len;
  uint8_t kind;
  std::string data;
};

struct collector {
  std::vector<seen_frame> frames;
  int stop_at = 0;  // 1-based frame whose visit returns stop_ret
  int stop_ret = 0;
};

int
collect(const db_frame *fr, const void *data, void *arg)
{
  collector *c = static_cast<collector *>(arg);
  c->frames.push_back({fr->path, fr->len, fr->kind,
                       std::string(static_cast<const char *>(data), fr->len)});
  return int(c->frames.size()) == c->stop_at ? c->stop_ret : 0;
}

}  // namespace

TEST(DbRec, FieldsAtTheirOffsets) {
  db_rec r = sample_rec();
  uint8_t out[DB_REC_LEN];
  memset(out, 0xee, sizeof out);
  db_rec_pack(&r, out);
  EXPECT_EQ(r.ino, le_get64(out + 0));
  EXPECT_EQ(r.mode, le_get16(out + 8));
  EXPECT_EQ(3u, le_get16(out + 10));
  EXPECT_EQ(r.uid, le_get32(out + 12));
  EXPECT_EQ(r.gid, le_get32(out + 16));
  EXPECT_EQ(1700000000u, le_get32(out + 20));
  EXPECT_EQ(uint64_t(r.size), le_get64(out + 24));
  EXPECT_EQ(0x1234u, le_get16(out + 32));
  EXPECT_EQ(0, memcmp(r.csum, out + 34, DB_SUM_LEN));
  EXPECT_EQ(0x1ffu, le_get16(out + 54));
  // Least significant byte first, whatever the host.
  EXPECT_EQ(0x08, out[0]);
  EXPECT_EQ(0x01, out[7]);

  db_rec back;
  memset(&back, 0x5a, sizeof back);
  db_rec_unpack(out, &back);
  EXPECT_EQ(0, memcmp(&r, &back, sizeof r));
}

TEST(DbRec, NarrowFieldsWrap) {
  const struct {
    int32_t links;
    uint32_t flags;
    int64_t ctime;
    int32_t want_links;
    uint32_t want_flags;
    int64_t want_ctime;
  } cases[] = {
      {70000, 0x20004, 4294967296ll, 4464, 0x0004, 0},
      {65535, 0xffff, 4294967295ll, 65535, 0xffff, 4294967295ll},
      {65536, 0x10000, 4294967297ll, 0, 0, 1},
  };
  for (const auto &c : cases) {
    db_rec r;
    memset(&r, 0, sizeof r);
    r.links = c.links;
    r.flags = c.flags;
    r.ctime = c.ctime;
    uint8_t out[DB_REC_LEN];
    db_rec_pack(&r, out);
    db_rec back;
    db_rec_unpack(out, &back);
    EXPECT_EQ(c.want_links, back.links) << "links " << c.links;
    EXPECT_EQ(c.want_flags, back.flags) << "flags " << c.flags;
    EXPECT_EQ(c.want_ctime, back.ctime) << "ctime " << c.ctime;
  }
}

TEST(DbRec, UnpackZeroesWhatIsNotStored) {
  uint8_t in[DB_REC_LEN] = {};
  in[54] = 0x02;  // only the mode was recorded
  db_rec r;
  memset(&r, 0x77, sizeof r);
  db_rec_unpack(in, &r);
  db_rec zero;
  memset(&zero, 0, sizeof zero);
  zero.mask = 0x002;
  EXPECT_EQ(0, memcmp(&zero, &r, sizeof r));
}

class DbFile : public TmpDirTest {};

TEST_F(DbFile, FrameHeads) {
  std::string name = path("db");
  db_handle *db = db_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  ASSERT_NE(nullptr, db);
  uint8_t data[2 * DB_REC_LEN] = {};
  db_frame fr;
  memset(&fr, 0, sizeof fr);
  strcpy(fr.path, "/etc/passwd");
  fr.len = DB_REC_LEN;
  fr.kind = DB_KIND_SNAP;
  ASSERT_EQ(0, db_put(db, &fr, data));
  ASSERT_EQ(0, db_argput(db, "/etc/passwd", 112, 0x102, data));
  ASSERT_EQ(0, db_close(db));

  std::string f = read_file(name);
  ASSERT_EQ(size_t(7 + 11 + 56 + 7 + 11 + 112), f.size());
  EXPECT_EQ(std::string("\x0b\x00\x38\x00\x00\x00\x00", 7), f.substr(0, 7));
  EXPECT_EQ("/etc/passwd", f.substr(7, 11));
  // Only the low byte of the kind is stored.
  EXPECT_EQ(std::string("\x0b\x00\x70\x00\x00\x00\x02", 7), f.substr(74, 7));
}

// A new database gets the bits it was created with, not what the umask
// leaves of them (0277 would have made it read-only, 0777 unreadable).
TEST_F(DbFile, CreatedWithExactlyItsModeWhateverTheUmask) {
  for (mode_t mask : {0000, 0022, 0277, 0777}) {
    std::string name = path("db" + std::to_string(mask));
    mode_t old = umask(mask);
    db_handle *db = db_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    umask(old);
    ASSERT_NE(nullptr, db);
    EXPECT_EQ(0, db_close(db));
    struct stat st;
    ASSERT_EQ(0, stat(name.c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 07777) << "umask " << std::oct << mask;
  }
}

// Creating never opens what is there: not a file (whose contents stay),
// not a link to one, not a dangling link (whose target must not appear),
// not a FIFO (which would block). Nor is the mode of what is there set.
TEST_F(DbFile, CreatingNeverOpensWhatExists) {
  write_file(path("file"), "keep");
  ASSERT_EQ(0, chmod(path("file").c_str(), 0644));
  ASSERT_EQ(0, symlink("file", path("link").c_str()));
  ASSERT_EQ(0, symlink("missing", path("dangling").c_str()));
  ASSERT_EQ(0, mkfifo(path("fifo").c_str(), 0644));
  for (const char *name : {"file", "link", "dangling", "fifo"}) {
    struct stat before, after;
    ASSERT_EQ(0, lstat(path(name).c_str(), &before));
    errno = 0;
    EXPECT_EQ(nullptr,
              db_open(path(name).c_str(), O_RDWR | O_CREAT | O_EXCL, 0600))
        << name;
    EXPECT_EQ(EEXIST, errno) << name;
    ASSERT_EQ(0, lstat(path(name).c_str(), &after));
    EXPECT_EQ(before.st_ino, after.st_ino) << name;
    EXPECT_EQ(before.st_mode, after.st_mode) << name;
  }
  EXPECT_EQ("keep", read_file(path("file")));
  EXPECT_NE(0, access(path("missing").c_str(), F_OK));
}

// A frame the reader would refuse is never written.
TEST_F(DbFile, WritersRefuseUnreadableFrames) {
  std::string name = path("db");
  db_handle *db = db_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  ASSERT_NE(nullptr, db);
  uint8_t data[DB_REC_LEN] = {};
  std::string longest(DB_PATH_MAX, 'a'), over(DB_PATH_MAX + 1, 'a');
  errno = 0;
  EXPECT_EQ(-1, db_argput(db, "", 56, 0, data));
  EXPECT_EQ(EINVAL, errno);
  EXPECT_EQ(-1, db_argput(db, "/x", 0, 0, data));
  EXPECT_EQ(EINVAL, errno);
  EXPECT_EQ(-1, db_argput(db, over.c_str(), 56, 0, data));
  EXPECT_EQ(ENAMETOOLONG, errno);
  db_frame fr;
  memset(&fr, 'b', sizeof fr);  // unterminated path
  fr.len = 56;
  fr.kind = 0;
  EXPECT_EQ(-1, db_put(db, &fr, data));
  EXPECT_EQ(0, db_argput(db, longest.c_str(), 56, 0, data));
  ASSERT_EQ(0, db_close(db));
  EXPECT_EQ(frame_bytes(longest, 0, std::string(56, '\0')), read_file(name));
}

TEST_F(DbFile, WriteErrorKeepsErrno) {
  std::string name = path("db");
  write_file(name, "");
  db_handle *db = db_open(name.c_str(), O_RDONLY, 0);
  ASSERT_NE(nullptr, db);
  uint8_t data[DB_REC_LEN] = {};
  errno = 0;
  EXPECT_EQ(-1, db_argput(db, "/x", 56, 0, data));
  EXPECT_EQ(EBADF, errno);
  db_close(db);
}

TEST_F(DbFile, EmptyFileHasNoFrames) {
  std::string name = path("db");
  write_file(name, "");
  collector c;
  uint8_t data[DB_REC_LEN];
  EXPECT_EQ(0, db_readall(name.c_str(), collect, &c, data, sizeof data));
  EXPECT_TRUE(c.frames.empty());
}

TEST_F(DbFile, MissingFile) {
  collector c;
  uint8_t data[DB_REC_LEN];
  errno = 0;
  EXPECT_EQ(-1,
            db_readall(path("none").c_str(), collect, &c, data, sizeof data));
  EXPECT_EQ(ENOENT, errno);
}

// Every prefix of a good file: the whole frames in it reach the visitor, and
// the result is 0 only when the cut falls between frames.
TEST_F(DbFile, CutAtEveryLength) {
  const std::string frames[] = {
      frame_bytes("/a", 0, std::string(56, '\x01')),
      frame_bytes("/etc/passwd", 2, std::string(112, '\x02')),
      frame_bytes("/b/c", 8, std::string(56, '\x03')),
  };
  std::string whole;
  std::vector<size_t> ends;
  for (const auto &f : frames) {
    whole += f;
    ends.push_back(whole.size());
  }
  std::string name = path("db");
  for (size_t cut = 0; cut <= whole.size(); cut++) {
    write_file(name, whole.substr(0, cut));
    size_t want = 0;
    bool boundary = cut == 0;
    for (size_t e : ends) {
      if (e <= cut)
        want++;
      if (e == cut)
        boundary = true;
    }
    collector c;
    uint8_t data[112];
    errno = 0;
    int r = db_readall(name.c_str(), collect, &c, data, sizeof data);
    EXPECT_EQ(boundary ? 0 : -1, r) << "cut " << cut;
    if (!boundary) {
      EXPECT_EQ(EBADMSG, errno) << "cut " << cut;
    }
    ASSERT_EQ(want, c.frames.size()) << "cut " << cut;
    for (size_t i = 0; i < want; i++)
      EXPECT_EQ(frames[i], frame_bytes(c.frames[i].path, c.frames[i].kind,
                                       c.frames[i].data))
          << "cut " << cut << " frame " << i;
  }
}

// Heads that no writer makes: read errors after the good frame before them.
TEST_F(DbFile, MalformedFrames) {
  const std::string good = frame_bytes("/ok", 0, std::string(56, 'd'));
  const struct {
    const char *what;
    std::string frame;
    size_t cap;
  } cases[] = {
      {"empty path", frame_bytes("", 0, std::string(56, 'd')), 56},
      {"empty data", frame_bytes("/x", 0, ""), 56},
      {"zero byte in the path",
       frame_bytes(std::string("/a\0b", 4), 0, std::string(56, 'd')), 56},
      {"zero byte ending the path",
       frame_bytes(std::string("/x\0", 3), 0, std::string(56, 'd')), 56},
      {"path over 1023",
       frame_bytes(std::string(1024, 'p'), 0, std::string(56, 'd')), 56},
      {"data over cap", frame_bytes("/x", 0, std::string(57, 'd')), 56},
      {"huge data length",
       frame_bytes("/x", 0, "d").replace(2, 4, "\xff\xff\xff\xff"), 112},
  };
  std::string name = path("db");
  for (const auto &c : cases) {
    write_file(name, good + c.frame + good);
    collector col;
    std::vector<uint8_t> data(c.cap + 16, 0xcc);
    errno = 0;
    EXPECT_EQ(-1, db_readall(name.c_str(), collect, &col, data.data(), c.cap))
        << c.what;
    EXPECT_EQ(EBADMSG, errno) << c.what;
    EXPECT_EQ(1u, col.frames.size()) << c.what;
    // Nothing is written past the caller's room.
    for (size_t i = c.cap; i < data.size(); i++)
      ASSERT_EQ(0xcc, data[i]) << c.what;
  }
  // The longest path and data exactly the caller's room are fine.
  write_file(name,
             frame_bytes(std::string(1023, 'p'), 0, std::string(56, 'd')));
  collector col;
  uint8_t data[56];
  EXPECT_EQ(0, db_readall(name.c_str(), collect, &col, data, sizeof data));
  ASSERT_EQ(1u, col.frames.size());
  EXPECT_EQ(1023u, col.frames[0].path.size());
}

TEST_F(DbFile, VisitorStopsTheReading) {
  std::string name = path("db");
  std::string f;
  for (int i = 0; i < 5; i++)
    f += frame_bytes("/f" + std::to_string(i), 0, std::string(56, 'd'));
  write_file(name, f + "junk");  // a bad tail past the stop is never read
  collector c;
  c.stop_at = 3;
  c.stop_ret = 7;
  uint8_t data[56];
  EXPECT_EQ(7, db_readall(name.c_str(), collect, &c, data, sizeof data));
  EXPECT_EQ(3u, c.frames.size());
}

TEST_F(DbFile, ReadErrorKeepsErrno) {
  std::string name = path("db");
  write_file(name, frame_bytes("/a", 0, std::string(56, 'd')));
  db_handle *db = db_open(name.c_str(), O_WRONLY, 0);
  ASSERT_NE(nullptr, db);
  db_frame fr;
  uint8_t data[56];
  errno = 0;
  EXPECT_EQ(-1, db_get(db, &fr, data, sizeof data));
  EXPECT_EQ(EBADF, errno);
  db_close(db);
}

// Many frames of every path length, and data larger than the read buffer,
// come back whole and in order across buffer refills.
TEST_F(DbFile, WriteThenReadManyFrames) {
  std::string name = path("db");
  db_handle *db = db_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  ASSERT_NE(nullptr, db);
  std::vector<seen_frame> want;
  for (int i = 0; i < 3000; i++) {
    size_t n = 1 + size_t(i * 7) % DB_PATH_MAX;
    std::string p(n, char('a' + i % 26));
    p[0] = '/';
    uint32_t len = i % 3 == 0 ? 112 : 56;
    std::string data(len, char(i));
    want.push_back({p, len, uint8_t(i % 3 == 0 ? 2 : 0), data});
  }
  std::string big(200000, 'B');
  want.push_back({"/big", uint32_t(big.size()), 4, big});
  want.push_back({"/last", 56, 8, std::string(56, 'L')});
  for (const auto &w : want)
    ASSERT_EQ(0, db_argput(db, w.path.c_str(), w.len, w.kind, w.data.data()));
  ASSERT_EQ(0, db_close(db));

  collector c;
  std::vector<uint8_t> data(big.size());
  ASSERT_EQ(0, db_readall(name.c_str(), collect, &c, data.data(), data.size()));
  ASSERT_EQ(want.size(), c.frames.size());
  for (size_t i = 0; i < want.size(); i++) {
    EXPECT_EQ(want[i].path, c.frames[i].path) << i;
    EXPECT_EQ(want[i].len, c.frames[i].len) << i;
    EXPECT_EQ(want[i].kind, c.frames[i].kind) << i;
    EXPECT_EQ(want[i].data, c.frames[i].data) << i;
  }
}

// Every writev() of the test program passes through here, so that a test
// can count the calls that a signal cut short: those that wrote less than
// they were given, or nothing (EINTR).
namespace {
std::atomic<bool> counting_cut_writes{false};
std::atomic<int> cut_writes{0};
}  // namespace

extern "C" ssize_t
writev(int fd, const struct iovec *iov, int cnt)
{
  using writev_fn = ssize_t (*)(int, const struct iovec *, int);
  static const writev_fn next =
      reinterpret_cast<writev_fn>(dlsym(RTLD_NEXT, "writev"));
  ssize_t r = next(fd, iov, cnt);
  if (counting_cut_writes) {
    size_t asked = 0;
    for (int i = 0; i < cnt; i++)
      asked += iov[i].iov_len;
    if (r < 0 ? errno == EINTR : size_t(r) < asked)
      cut_writes++;
  }
  return r;
}

// A writer blocked on a slow pipe is interrupted by signals over and over:
// writev then returns short counts or EINTR, and the frame must still come
// out whole. Staged again, five times at the most, until some write was
// cut short, so that the test cannot pass without it.
TEST_F(DbFile, InterruptedWritesStillWriteTheWholeFrame) {
  std::string fifo = path("fifo");
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
  struct sigaction sa, old_sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = [](int) {};
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no SA_RESTART: blocked writes are interrupted
  ASSERT_EQ(0, sigaction(SIGALRM, &sa, &old_sa));
  std::string data(1 << 20, 'x');
  for (size_t i = 0; i < data.size(); i++)
    data[i] = char(i * 131 + i / 4096);

  cut_writes = 0;
  for (int tries = 0; tries < 5 && cut_writes == 0; tries++) {
    // The reader runs with the signal blocked so that it lands on the
    // writer.
    sigset_t alrm, old_mask;
    sigemptyset(&alrm);
    sigaddset(&alrm, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &alrm, &old_mask);
    std::string got;
    std::thread reader([&] {
      int fd = open(fifo.c_str(), O_RDONLY);
      char buf[4096];
      ssize_t n;
      while ((n = read(fd, buf, sizeof buf)) != 0) {
        if (n > 0)
          got.append(buf, size_t(n));
        usleep(50);
      }
      close(fd);
    });
    pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);

    db_handle *db = db_open(fifo.c_str(), O_WRONLY, 0);
    ASSERT_NE(nullptr, db);
    itimerval every = {{0, 200}, {0, 200}}, off = {};
    counting_cut_writes = true;
    setitimer(ITIMER_REAL, &every, nullptr);
    int r = db_argput(db, "/big", uint32_t(data.size()), 4, data.data());
    setitimer(ITIMER_REAL, &off, nullptr);
    counting_cut_writes = false;
    EXPECT_EQ(0, r) << strerror(errno);
    EXPECT_EQ(0, db_close(db));
    reader.join();
    EXPECT_EQ(frame_bytes("/big", 4, data), got);
  }
  sigaction(SIGALRM, &old_sa, nullptr);
  EXPECT_GT(cut_writes, 0) << "no write was cut short";
}
