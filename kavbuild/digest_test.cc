#include "kavbuild/digest.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <random>
#include <string>
#include <vector>

#include "testutil/testutil.h"

namespace {

using DigestRun = TmpDirTest;

// Which digests a file asks for.
enum { ASK_SHA1 = 1, ASK_SHA256 = 2 };

// One file of a test: its bytes, the digests asked for, the size the walk
// would have seen (-1: unknown) and whether it is opened so that reads
// fail.
struct file_case {
  std::string bytes;
  int ask = ASK_SHA1 | ASK_SHA256;
  off_t stated = -2;  // -2: the real size
  bool unreadable = false;
};

struct result {
  uint8_t sha1[SHA1_LEN];
  uint8_t sha256[SHA256_LEN];
  int err = 0;
};

// Bytes of a length that falls on and around the buffer's boundaries.
std::string
bytes_of(size_t n, std::mt19937 &rng)
{
  std::string s(n, '\0');
  for (char &c : s)
    c = char(rng());
  return s;
}

// Digests the files as a worker with two lanes does: each lane takes the
// next file as soon as its own has finished, so every file is paired with
// several others, and with none once the list runs out.
std::vector<result>
digest_in_pairs(const std::string &dir, const std::vector<file_case> &files)
{
  std::vector<result> out(files.size());
  std::deque<size_t> todo;
  for (size_t i = 0; i < files.size(); i++)
    todo.push_back(i);
  auto *buf = static_cast<uint8_t *>(aligned_alloc(64, 2 * DIGEST_RUN_LEN));
  digest_run run[2];
  long busy[2] = {-1, -1};
  for (;;) {
    for (int l = 0; l < 2; l++) {
      while (busy[l] < 0 && !todo.empty()) {
        size_t i = todo.front();
        todo.pop_front();
        std::string name = dir + "/" + std::to_string(i);
        write_file(name, files[i].bytes);
        int fd = open(name.c_str(),
                      (files[i].unreadable ? O_WRONLY : O_RDONLY) | O_CLOEXEC);
        EXPECT_LE(0, fd);
        port_stat st = {};
        st.st_mode = S_IFREG | 0644;
        off_t size = files[i].stated == -2 ? off_t(files[i].bytes.size())
                                           : files[i].stated;
        digest_out want = {
            (files[i].ask & ASK_SHA1) ? out[i].sha1 : nullptr,
            (files[i].ask & ASK_SHA256) ? out[i].sha256 : nullptr};
        int r = digest_run_start(&run[l], buf + size_t(l) * DIGEST_RUN_LEN, fd,
                                 &st, size, &want, nullptr);
        EXPECT_EQ(1, r) << "file " << i;
        if (r == 1)
          busy[l] = long(i);
      }
    }
    if (busy[0] < 0 && busy[1] < 0)
      break;
    unsigned done = digest_run_step(busy[0] >= 0 ? &run[0] : nullptr,
                                    busy[1] >= 0 ? &run[1] : nullptr);
    for (int l = 0; l < 2; l++) {
      if (done & (1u << l)) {
        EXPECT_LE(0, busy[l]) << "lane " << l << " finished twice";
        EXPECT_EQ(-1, run[l].fd);
        out[size_t(busy[l])].err = run[l].err;
        busy[l] = -1;
      }
    }
  }
  free(buf);
  return out;
}

void
expect_digests(const std::vector<file_case> &files,
               const std::vector<result> &got)
{
  for (size_t i = 0; i < files.size(); i++) {
    const file_case &f = files[i];
    SCOPED_TRACE("file " + std::to_string(i) + " of " +
                 std::to_string(f.bytes.size()) + " bytes");
    if (f.unreadable) {
      EXPECT_EQ(EBADF, got[i].err);
      continue;
    }
    EXPECT_EQ(0, got[i].err);
    if (f.ask & ASK_SHA1) {
      uint8_t d[SHA1_LEN];
      sha_buf(f.bytes.data(), int32_t(f.bytes.size()), d);
      EXPECT_EQ(hex_bytes(d, SHA1_LEN), hex_bytes(got[i].sha1, SHA1_LEN));
    }
    if (f.ask & ASK_SHA256) {
      uint8_t d[SHA256_LEN];
      ASSERT_NE(nullptr, sha256_buf(f.bytes.data(), f.bytes.size(), d));
      EXPECT_EQ(hex_bytes(d, SHA256_LEN), hex_bytes(got[i].sha256, SHA256_LEN));
    }
  }
}

}  // namespace

// Files of every length around the buffer's size, asking for one digest or
// both, of a size stated right, unknown or smaller than the file has grown
// to, and one that cannot be read between others: each gets the digests
// of all its bytes, whichever files it was hashed beside.
TEST_F(DigestRun, PairsGiveEachFileItsOwnDigests) {
  std::mt19937 rng(41);
  const size_t L = DIGEST_RUN_LEN;
  const struct {
    size_t len;
    int ask;
    off_t stated;
    bool unreadable;
  } rows[] = {
      {0, ASK_SHA1 | ASK_SHA256, -2, false},
      {1, ASK_SHA1, -2, false},
      {L, ASK_SHA1 | ASK_SHA256, -2, false},
      {L - 1, ASK_SHA256, -2, false},
      {3 * L + 17, ASK_SHA1, -2, false},
      {63, ASK_SHA1 | ASK_SHA256, -1, false},
      {L + 1, ASK_SHA1, -1, false},
      {5000, ASK_SHA1 | ASK_SHA256, 100, false},
      {2 * L, ASK_SHA1 | ASK_SHA256, L, false},
      {777, ASK_SHA1, -2, true},
      {64, ASK_SHA1, -2, false},
      {2 * L + 64, ASK_SHA256, -2, false},
      {4 * L, ASK_SHA1 | ASK_SHA256, -2, false},
  };
  std::vector<file_case> files;
  for (const auto &r : rows)
    files.push_back({bytes_of(r.len, rng), r.ask, r.stated, r.unreadable});
  expect_digests(files, digest_in_pairs(dir_, files));
}

// Random lists of files of lengths drawn near the block and buffer
// boundaries: a pairing that lost a byte, hashed one lane's bytes into
// the other or counted a length wrong shows in some file's digest.
TEST_F(DigestRun, RandomListsMatchTheWholeFileDigests) {
  std::mt19937 rng(1729);
  const size_t L = DIGEST_RUN_LEN;
  const size_t near[] = {0,     1,      55,        56,     63,    64,
                         65,    119,    4096,      L - 64, L - 1, L,
                         L + 1, L + 63, 2 * L - 1, 2 * L};
  for (int round = 0; round < 6 && !HasFailure(); round++) {
    std::vector<file_case> files;
    size_t n = 3 + rng() % 12;
    for (size_t i = 0; i < n; i++) {
      size_t len = rng() % 3 == 0 ? rng() % (3 * L)
                                  : near[rng() % (sizeof near / sizeof *near)];
      files.push_back({bytes_of(len, rng), int(1 + rng() % 3), -2, false});
    }
    SCOPED_TRACE("round " + std::to_string(round));
    expect_digests(files, digest_in_pairs(dir_, files));
  }
}

// digest_opened, which steps one run alone, gives the same digests as the
// whole-buffer functions, from the descriptor's offset on.
TEST_F(DigestRun, OneRunAloneFromTheOffset) {
  std::mt19937 rng(5);
  std::string m = bytes_of(DIGEST_RUN_LEN * 2 + 333, rng);
  write_file(path("f"), m);
  for (off_t from : {off_t(0), off_t(1), off_t(DIGEST_RUN_LEN)}) {
    int fd = open(path("f").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_LE(0, fd);
    ASSERT_EQ(from, lseek(fd, from, SEEK_SET));
    port_stat st = {};
    st.st_mode = S_IFREG | 0644;
    uint8_t s1[SHA1_LEN], s256[SHA256_LEN], w1[SHA1_LEN], w256[SHA256_LEN];
    digest_out out = {s1, s256};
    ASSERT_EQ(0, digest_opened(fd, &st, -1, &out, nullptr)) << from;
    std::string rest = m.substr(size_t(from));
    sha_buf(rest.data(), int32_t(rest.size()), w1);
    sha256_buf(rest.data(), rest.size(), w256);
    EXPECT_EQ(hex_bytes(w1, SHA1_LEN), hex_bytes(s1, SHA1_LEN)) << from;
    EXPECT_EQ(hex_bytes(w256, SHA256_LEN), hex_bytes(s256, SHA256_LEN)) << from;
  }
}
