#include "kavbuild/digestq.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "kavbuild/dq_ring.h"
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

// Item number n of the given type and size, holding fd for its digest.
void
item_set(dq_item *it, long n, mode_t type, off_t size, int fd)
{
  memset(it, 0, sizeof *it);
  it->fd = fd;
  it->st.st_mode = type;
  it->st.st_size = size;
  snprintf(it->path, sizeof it->path, "/%ld", n);
}

// Digests in steps, two at a time: item n takes n % 5 steps after its
// begin, none when n % 11 == 0, and gets its digest when it finishes.
struct fake_lanes {
  dq_item *item[2];
  long steps[2];
};

std::atomic<int> lanes_opened, lanes_closed;

void *
fake_lanes_open()
{
  lanes_opened++;
  return new fake_lanes{};
}

void
fake_lanes_close(void *l)
{
  lanes_closed++;
  delete static_cast<fake_lanes *>(l);
}

int
fake_lanes_begin(void *arg, int lane, dq_item *it, int *cold)
{
  fake_lanes *l = static_cast<fake_lanes *>(arg);
  EXPECT_EQ(nullptr, l->item[lane]) << "lane " << lane << " is busy";
  long n = number(it);
  if (n % 11 == 0) {
    fake_digest(it, cold);
    return 0;
  }
  l->item[lane] = it;
  l->steps[lane] = n % 5;
  if (the_run->cold)
    *cold = 1;
  return 1;
}

unsigned
fake_lanes_step(void *arg)
{
  fake_lanes *l = static_cast<fake_lanes *>(arg);
  unsigned done = 0;
  EXPECT_TRUE(l->item[0] != nullptr || l->item[1] != nullptr);
  for (int i = 0; i < 2; i++) {
    if (l->item[i] == nullptr)
      continue;
    if (l->steps[i]-- > 0)
      continue;
    int cold = 0;
    fake_digest(l->item[i], &cold);
    l->item[i] = nullptr;
    done |= 1u << i;
  }
  return done;
}

const dq_pair_ops fake_pairs = {fake_lanes_open, fake_lanes_close,
                                fake_lanes_begin, fake_lanes_step};
const dq_pair_ops no_lanes = {[]() -> void * { return nullptr; },
                              fake_lanes_close, fake_lanes_begin,
                              fake_lanes_step};

// Pushes n items, a random half of them to digest (and the one whose
// digest is to fail), each of size bytes, digested by ops in pairs when
// it is given; returns the first non-zero result, or dq_drain's.
int
push_all(run *r, int threads, long n, off_t size,
         const dq_pair_ops *ops = nullptr)
{
  the_run = r;
  dq *q = dq_open(threads, fake_digest, fake_emit, nullptr, nullptr);
  EXPECT_NE(nullptr, q);
  if (ops != nullptr)
    dq_set_pairs(q, ops);
  // A cold cache is cold from the first file on: read-ahead is on before
  // the walk begins, as the first digests would have turned it on.
  for (int i = 0; r->cold && i < 64; i++)
    dq_note_warmth(q, 1);
  std::mt19937 rng(static_cast<unsigned>(n));
  int result = 0;
  for (long i = 0; i < n && result == 0; i++) {
    dq_item *it = dq_slot(q);
    if (it == nullptr) {
      result = dq_result(q);
      break;
    }
    bool digest = rng() % 2 == 0 || i == r->fail_digest;
    item_set(it, i, digest ? S_IFREG : S_IFLNK, size, -1);
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
// So they do when each worker digests two at a time, and when a worker
// cannot have its lanes and digests one at a time instead.
TEST(DigestQueue, KeepsOrder) {
  for (const dq_pair_ops *ops :
       {(const dq_pair_ops *)nullptr, &fake_pairs, &no_lanes}) {
    for (int threads : {1, 2, 5}) {
      run r;
      lanes_opened = lanes_closed = 0;
      ASSERT_EQ(0, push_all(&r, threads, 10000, 1, ops));
      EXPECT_EQ(upto(10000), r.emitted) << threads << " threads";
      EXPECT_LE(r.most_in_flight, 4096u);
      EXPECT_EQ(lanes_opened.load(), lanes_closed.load());
      EXPECT_EQ(ops == &fake_pairs ? threads : 0, lanes_opened.load());
    }
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
  for (const dq_pair_ops *ops : {(const dq_pair_ops *)nullptr, &fake_pairs}) {
    for (const auto &c : cases) {
      run r;
      r.fail_digest = c.digest;
      r.fail_emit = c.emit;
      EXPECT_EQ(-1, push_all(&r, 3, 4000, 1, ops)) << c.digest << " " << c.emit;
      EXPECT_EQ(upto(c.want_last + 1), r.emitted) << c.digest << " " << c.emit;
    }
  }
}

// Large files fill the byte budget long before the ring: few are in flight
// at once, read-ahead on (every digest cold) or not.
TEST(DigestQueue, BoundedByBytes) {
  run r;
  r.cold = true;
  ASSERT_EQ(0, push_all(&r, 4, 200, off_t(100) << 20));
  EXPECT_EQ(upto(200), r.emitted);
  // 512 MiB in all, each file counting 32 MiB, plus the ready items between.
  EXPECT_LE(r.most_in_flight, 64u);
}

namespace {

std::atomic<bool> front_released;

// Holds the first item until the test lets it go, ten seconds at most.
void
held_front_digest(dq_item *it, int *cold)
{
  for (int i = 0; i < 10000 && number(it) == 0 && !front_released; i++)
    usleep(1000);
  fake_digest(it, cold);
}

}  // namespace

// With a warm cache nothing is read ahead, and the byte budget does not
// hold the walk back: files of 100 MiB go on into the ring behind one at
// the front that is still being digested, far past the 16 the budget
// would let in, so the other workers never run out of them.
TEST(DigestQueue, WarmCacheNotBoundedByBytes) {
  run r;
  the_run = &r;
  front_released = false;
  dq *q = dq_open(2, held_front_digest, fake_emit, nullptr, nullptr);
  ASSERT_NE(nullptr, q);
  for (long i = 0; i < 100; i++) {
    dq_item *it = dq_slot(q);
    ASSERT_NE(nullptr, it);
    item_set(it, i, S_IFREG, off_t(100) << 20, -1);
    ASSERT_EQ(0, dq_push(q, true));
  }
  EXPECT_TRUE(r.emitted.empty()) << "the front left before it was let go";
  front_released = true;
  EXPECT_EQ(0, dq_drain(q));
  EXPECT_EQ(upto(100), r.emitted);
  dq_close(q);
}

// Read-ahead starts once 4 of the last 64 digests were cold, not for a
// file here and there that a warm cache let go of, and ends after 512
// cached ones in a row.
TEST(DigestQueue, ReadAheadWantsSeveralColdDigests) {
  const struct {
    const char *name;
    std::vector<std::pair<int, int>> runs;  // digests, and whether cold
    bool want;
  } cases[] = {
      {"none", {}, false},
      {"three cold", {{3, 1}}, false},
      {"four cold", {{4, 1}}, true},
      {"four within 64", {{3, 1}, {60, 0}, {1, 1}}, true},
      {"the first gone by the fourth", {{3, 1}, {61, 0}, {1, 1}}, false},
      {"one every 25",
       {{1, 1},
        {24, 0},
        {1, 1},
        {24, 0},
        {1, 1},
        {24, 0},
        {1, 1},
        {24, 0},
        {1, 1}},
       false},
      {"511 cached after", {{4, 1}, {511, 0}}, true},
      {"512 cached after", {{4, 1}, {512, 0}}, false},
      {"a cold one resets the run", {{4, 1}, {511, 0}, {1, 1}, {511, 0}}, true},
      {"starting again needs four", {{4, 1}, {512, 0}, {3, 1}}, false},
  };
  for (const auto &c : cases) {
    dq *q = dq_open(1, fake_digest, fake_emit, nullptr, nullptr);
    ASSERT_NE(nullptr, q);
    for (const auto &r : c.runs)
      for (int i = 0; i < r.first; i++)
        dq_note_warmth(q, r.second);
    EXPECT_EQ(c.want, q->cold) << c.name;
    dq_close(q);
  }
}

using DigestQueueFiles = TmpDirTest;

// Once read-ahead is on, the walk asks for each file it hands over with a
// descriptor, before the worker may close it: the push after the one that
// saw the fourth cold digest is the first. Nothing is asked for an empty
// file or an item without a descriptor, or while digests find the cache
// warm, and the digest still reads the whole file from its start.
TEST_F(DigestQueueFiles, ReadAheadWhileCold) {
  write_file(path("f"), "hello");
  static bool cold;
  static int whole;
  const struct {
    const char *name;
    bool cold;
    off_t size;
    bool fd;
    uint64_t want;
  } cases[] = {
      {"cold", true, 5, true, 20 - 5},
      {"warm", false, 5, true, 0},
      {"empty", true, 0, true, 0},
      {"no descriptor", true, 5, false, 0},
  };
  for (const auto &c : cases) {
    cold = c.cold;
    whole = 0;
    auto digest = [](dq_item *it, int *was_cold) {
      if (it->fd >= 0) {
        char buf[16];
        whole += read(it->fd, buf, sizeof buf) == 5;
        close(it->fd);
        it->fd = -1;
      }
      *was_cold = cold;
    };
    auto emit = [](dq_item *, void *) { return 0; };
    dq *q = dq_open(1, digest, emit, nullptr, nullptr);
    ASSERT_NE(nullptr, q);
    for (int i = 0; i < 20; i++) {
      dq_item *it = dq_slot(q);
      ASSERT_NE(nullptr, it);
      item_set(it, i, S_IFREG, c.size,
               c.fd ? open(path("f").c_str(), O_RDONLY | O_CLOEXEC) : -1);
      ASSERT_EQ(0, dq_push(q, true));
      ASSERT_EQ(0, dq_drain(q));
    }
    EXPECT_EQ(c.want, q->hints) << c.name;
    EXPECT_EQ(c.fd ? 20 : 0, whole) << c.name;
    dq_close(q);
  }
}

// Items may come with a descriptor for their digest, which closes it: no
// more than half the process's limit of open files wait at once however
// far the walk could run ahead, and those of items that never get their
// digest, the queue having stopped, are closed with the queue.
TEST(DigestQueue, BoundedByDescriptors) {
  static std::atomic<int> open_now, most;
  struct rlimit was;
  ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &was));
  if (was.rlim_max != RLIM_INFINITY && was.rlim_max < 512)
    GTEST_SKIP() << "the hard limit of open files is below 512";
  struct rlimit low = was;
  low.rlim_cur = 512;
  ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &low));
  for (long fail_at : {-1L, 300L}) {
    open_now = 0;
    most = 0;
    auto digest = [](dq_item *it, int *) {
      usleep(50);
      if (number(it) == 300)
        it->failed = 1;
      close(it->fd);
      it->fd = -1;
      open_now--;
    };
    auto emit = [](dq_item *it, void *) { return it->failed ? -1 : 0; };
    dq *q = dq_open(2, digest, emit, nullptr, nullptr);
    ASSERT_NE(nullptr, q);
    std::vector<int> fds;
    int result = 0;
    for (long i = 0; i < 2000 && result == 0; i++) {
      int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
      ASSERT_GE(fd, 0);
      dq_item *it = dq_slot(q);
      if (it == nullptr) {
        close(fd);
        break;
      }
      item_set(it, fail_at < 0 ? i + 1000 : i, S_IFREG, 0, fd);
      fds.push_back(fd);
      most = std::max(most.load(), ++open_now);
      result = dq_push(q, true);
    }
    if (result == 0)
      result = dq_drain(q);
    EXPECT_EQ(fail_at < 0 ? 0 : -1, result);
    dq_close(q);
    // The bound holds for what the workers have not closed yet; one more
    // is the walk's own, opened before it waits.
    EXPECT_LE(most.load(), 256 + 1) << fail_at;
    EXPECT_GE(most.load(), 128) << fail_at;
    for (int fd : fds)
      EXPECT_EQ(-1, fcntl(fd, F_GETFD)) << "descriptor " << fd << " left open";
  }
  EXPECT_EQ(0, setrlimit(RLIMIT_NOFILE, &was));
}
