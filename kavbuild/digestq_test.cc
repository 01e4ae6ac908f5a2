#include "kavbuild/digestq.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <random>
#include <string>
#include <vector>

#include "sha1/sha1.h"
#include "testutil/testutil.h"

namespace {

// What the fake digest and emit do, and what they saw.
struct run {
  long fail_digest = -1;  // the item whose digest fails
  long fail_emit = -1;    // the item whose emit fails
  bool cold = false;      // every digest says it waited for the disk
  std::vector<long> emitted;
  size_t most_in_flight = 0;
  long pushed = 0;
};
run *the_run;

long
number(const dq_item *it)
{
  return std::stol(it->path + 1);
}

void
fake_digest(dq_item *it, int *cold)
{
  // Some digests take a while, so that later ones finish first.
  long n = number(it);
  if (n % 7 == 0)
    usleep(unsigned(n % 300));
  it->rec.ino = uint64_t(n) * 3;
  if (n == the_run->fail_digest)
    it->failed = 1;
  if (the_run->cold)
    *cold = 1;
}

int
fake_emit(dq_item *it, void *)
{
  long n = number(it);
  the_run->emitted.push_back(n);
  if (it->failed || n == the_run->fail_emit)
    return -1;
  // A digested item carries its digest; the others were never touched.
  EXPECT_EQ(it->st.st_mode == S_IFREG ? uint64_t(n) * 3 : 0u, it->rec.ino) << n;
  return 0;
}

// Pushes n items, a random half of them to digest (and the one whose
// digest is to fail), each of size bytes;
// returns the first non-zero result, or dq_drain's.
int
push_all(run *r, int threads, long n, off_t size)
{
  the_run = r;
  dq *q = dq_open(threads, fake_digest, fake_emit, nullptr, nullptr);
  EXPECT_NE(nullptr, q);
  std::mt19937 rng(static_cast<unsigned>(n));
  int result = 0;
  for (long i = 0; i < n && result == 0; i++) {
    dq_item *it = dq_slot(q);
    if (it == nullptr) {
      result = dq_result(q);
      break;
    }
    memset(it, 0, sizeof *it);
    bool digest = rng() % 2 == 0 || i == r->fail_digest;
    it->st.st_mode = digest ? S_IFREG : S_IFLNK;
    it->st.st_size = size;
    snprintf(it->path, sizeof it->path, "/%ld", i);
    r->pushed = i + 1;
    r->most_in_flight =
        std::max(r->most_in_flight, size_t(r->pushed) - r->emitted.size());
    result = dq_push(q, digest);
  }
  if (result == 0)
    result = dq_drain(q);
  EXPECT_EQ(result, dq_result(q));
  dq_close(q);
  return result;
}

std::vector<long>
upto(long n)
{
  std::vector<long> v;
  for (long i = 0; i < n; i++)
    v.push_back(i);
  return v;
}

}  // namespace

// Items leave in the order they came, whatever order their digests end in,
// through many turns of the ring.
TEST(DigestQueue, KeepsOrder) {
  for (int threads : {1, 2, 5}) {
    run r;
    ASSERT_EQ(0, push_all(&r, threads, 10000, 1));
    EXPECT_EQ(upto(10000), r.emitted) << threads << " threads";
    EXPECT_LE(r.most_in_flight, 4096u);
  }
}

// A failure stops the queue at its item: everything before it has left,
// nothing after it does, and every later call returns the same result.
TEST(DigestQueue, StopsAtTheFirstFailure) {
  const struct {
    long digest, emit, want_last;
  } cases[] = {{1500, -1, 1500},
               {-1, 777, 777},
               {2000, 2100, 2000},
               {3000, 10, 10},
               {0, -1, 0}};
  for (const auto &c : cases) {
    run r;
    r.fail_digest = c.digest;
    r.fail_emit = c.emit;
    EXPECT_EQ(-1, push_all(&r, 3, 4000, 1)) << c.digest << " " << c.emit;
    EXPECT_EQ(upto(c.want_last + 1), r.emitted) << c.digest << " " << c.emit;
  }
}

// Large files fill the byte budget long before the ring: few are in flight
// at once. With read-ahead on (every digest cold), the hint threads start
// and stop with the queue.
TEST(DigestQueue, BoundedByBytes) {
  run r;
  r.cold = true;
  ASSERT_EQ(0, push_all(&r, 4, 200, off_t(100) << 20));
  EXPECT_EQ(upto(200), r.emitted);
  // 512 MiB in all, each file counting 32 MiB, plus the ready items between.
  EXPECT_LE(r.most_in_flight, 64u);
}

// A worker reading a file through a mapping that the file shrinks under
// (here: before the first piece from it is hashed) takes the fault and
// reads the file again, on a worker thread as on any other.
using DigestQueueFile = TmpDirTest;

TEST_F(DigestQueueFile, WorkerReadsAgainWhenAMappedFileShrinks) {
  write_file(path("f"), std::string(1 << 20, 'm'));
  auto digest = [](dq_item *it, int *) {
    struct reader {
      int fd, pieces;
      uint64_t restarts;
    } r = {open(it->path, O_RDWR), 0, 0};
    auto feed = [](const uint8_t *buf, size_t n, void *arg) {
      reader *rd = static_cast<reader *>(arg);
      if (++rd->pieces == 2 && rd->restarts == 0 && ftruncate(rd->fd, 5) != 0)
        return;
      volatile uint8_t sum = 0;
      for (size_t i = 0; i < n; i += 4096)
        sum = uint8_t(sum + buf[i]);
    };
    auto restart = [](void *arg) {
      static_cast<reader *>(arg)->restarts++;
      return 0;
    };
    it->failed = sha_fd_feed(r.fd, feed, restart, &r, nullptr);
    it->rec.ino = r.restarts;
    close(r.fd);
  };
  // Counted, so that the test cannot pass by emitting nothing.
  auto emit = [](dq_item *it, void *arg) {
    ++*static_cast<int *>(arg);
    EXPECT_EQ(0, it->failed);
    EXPECT_EQ(1u, it->rec.ino);
    return 0;
  };
  int emitted = 0;
  dq *q = dq_open(2, digest, emit, nullptr, &emitted);
  ASSERT_NE(nullptr, q);
  dq_item *it = dq_slot(q);
  ASSERT_NE(nullptr, it);
  memset(it, 0, sizeof *it);
  it->st.st_mode = S_IFREG;
  snprintf(it->path, sizeof it->path, "%s", path("f").c_str());
  ASSERT_EQ(0, dq_push(q, true));
  EXPECT_EQ(0, dq_drain(q));
  dq_close(q);
  EXPECT_EQ(1, emitted);
}
