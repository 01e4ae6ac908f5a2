// The store's snapshots kept as differences: every one reads back byte for
// byte, a quiet night costs about what changed, and a store kept whole by
// an older collector, or left half-changed by a killed run, still reads.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <random>

#include "kavcollect/store.h"
#include "testutil/testutil.h"

namespace {

std::string
snap_name(int i)
{
  char buf[64];
  snprintf(buf, sizeof buf, "kavdb-%06d-202612%02dT031500Z", i, i % 28 + 1);
  return buf;
}

// Night i of a host: 3000 records, of which record i changed each night
// since the first, so that every snapshot differs from the one before.
std::string
night(int i)
{
  std::mt19937_64 g(11);
  std::string s;
  for (int r = 0; r < 3000; r++) {
    s += "/usr/lib/p" + std::to_string(r) + "/f";
    for (int k = 0; k < 56; k++)
      s += char(g());
    if (r < i)
      s += "changed";
  }
  return s;
}

class StorePack : public TmpDirTest {
 protected:
  void SetUp() override
  {
    TmpDirTest::SetUp();
    dir_h = path("h1");
    ASSERT_EQ(0, mkdir(dir_h.c_str(), 0700));
  }
  // The files of the host's directory, names and sizes.
  std::vector<std::pair<std::string, off_t>> files()
  {
    std::vector<std::pair<std::string, off_t>> v;
    DIR *d = opendir(dir_h.c_str());
    while (dirent *e = readdir(d)) {
      std::string n = e->d_name;
      if (n == "." || n == "..")
        continue;
      struct stat st;
      lstat((dir_h + "/" + n).c_str(), &st);
      v.emplace_back(n, st.st_size);
    }
    closedir(d);
    std::sort(v.begin(), v.end());
    return v;
  }
  uint64_t bytes_held()
  {
    uint64_t n = 0;
    for (const auto &f : files())
      n += uint64_t(f.second);
    return n;
  }
  std::vector<snap_entry> open_host()
  {
    std::vector<snap_entry> held, aside;
    std::string err;
    EXPECT_TRUE(store_open_host(dir_h, &held, &aside, &err)) << err;
    return held;
  }
  // Every snapshot held reads back as the night that made it.
  void expect_reads_back(const std::vector<snap_entry> &held)
  {
    for (size_t i = 0; i < held.size(); i++) {
      std::string bytes, err;
      ASSERT_TRUE(store_snap_read(dir_h, held, i, &bytes, &err))
          << held[i].se_name << ": " << err;
      EXPECT_TRUE(bytes == night(int(held[i].se_num))) << held[i].se_name;
    }
  }
  std::string dir_h;
};

// Nights arrive one by one: the newest and the baseline stay whole, every
// other snapshot is a difference from the next, each reads back, and a
// night grows the store by a small part of a snapshot.
TEST_F(StorePack, Nights) {
  const size_t snap = night(0).size();
  std::vector<snap_entry> held;
  uint64_t before = 0;
  for (int i = 0; i < 8; i++) {
    write_file(dir_h + "/" + snap_name(i), night(i));
    held = open_host();
    std::string err;
    ASSERT_TRUE(store_pack(dir_h, &held, 0, &err)) << err;
    expect_reads_back(held);
    uint64_t now = bytes_held();
    if (i >= 2) {
      // The new snapshot, whole, in place of the one before it, now a
      // difference: the growth is the difference and the sums' line.
      EXPECT_LT(now - before, snap / 20) << "night " << i;
    }
    before = now;
  }
  ASSERT_EQ(8u, held.size());
  for (size_t i = 0; i < held.size(); i++) {
    std::string want = i == 0 || i == 7
                           ? held[i].se_name
                           : held[i].se_name + ".from-" +
                                 snap_name(int(i) + 1).substr(6, 6);
    EXPECT_EQ(0, access((dir_h + "/" + want).c_str(), F_OK)) << want;
  }
  // As the next run finds them: the forms are known from the names.
  expect_reads_back(open_host());
}

// A store kept whole (by an older collector) is converted a few snapshots
// a run, the one below the newest first, and reads back all along.
TEST_F(StorePack, WholeStore) {
  for (int i = 0; i < 7; i++)
    write_file(dir_h + "/" + snap_name(i), night(i));
  std::vector<snap_entry> held = open_host();
  const char *const runs[] = {"W D D W W D W ", "W D D D D D W "};
  for (const char *want : runs) {
    std::string err, forms;
    ASSERT_TRUE(store_pack(dir_h, &held, 0, &err)) << err;
    for (const snap_entry &e : held)
      forms += e.se_from == 0 ? "W " : "D ";
    EXPECT_EQ(want, forms);
    expect_reads_back(held);
    expect_reads_back(open_host());
  }
}

// A baseline named later than the first is made whole again; the one that
// was the baseline becomes a difference like any other.
TEST_F(StorePack, BaselineWhole) {
  for (int i = 0; i < 5; i++)
    write_file(dir_h + "/" + snap_name(i), night(i));
  std::vector<snap_entry> held = open_host();
  std::string err;
  ASSERT_TRUE(store_pack(dir_h, &held, 0, &err)) << err;
  ASSERT_NE(0u, held[2].se_from);
  ASSERT_TRUE(store_pack(dir_h, &held, 2, &err)) << err;
  EXPECT_EQ(0u, held[2].se_from);
  EXPECT_EQ(0, access((dir_h + "/" + snap_name(2)).c_str(), F_OK));
  EXPECT_NE(0u, held[0].se_from);
  expect_reads_back(open_host());
}

// A run killed while a snapshot changed form leaves both forms: the whole
// one is kept. The sums lost: every snapshot is hashed again, differences
// rebuilt for it.
TEST_F(StorePack, KilledAndLost) {
  for (int i = 0; i < 4; i++)
    write_file(dir_h + "/" + snap_name(i), night(i));
  std::vector<snap_entry> held = open_host();
  std::string err;
  ASSERT_TRUE(store_pack(dir_h, &held, 0, &err)) << err;
  std::string diff = dir_h + "/" + snap_name(2) + ".from-000003";
  ASSERT_EQ(0, access(diff.c_str(), F_OK));
  write_file(dir_h + "/" + snap_name(2), night(2));
  write_file(dir_h + "/tmp.x", "left by a killed run");
  held = open_host();
  EXPECT_EQ(0u, held[2].se_from);
  EXPECT_NE(0, access(diff.c_str(), F_OK));
  EXPECT_NE(0, access((dir_h + "/tmp.x").c_str(), F_OK));
  expect_reads_back(held);

  ASSERT_TRUE(store_pack(dir_h, &held, 0, &err)) << err;
  std::string sums = read_file(dir_h + "/sums");
  ASSERT_EQ(0, unlink((dir_h + "/sums").c_str()));
  held = open_host();
  EXPECT_EQ(sums, read_file(dir_h + "/sums"));
  expect_reads_back(held);
}

// A snapshot altered in the store is never yielded: neither its own bytes
// nor those rebuilt from it.
TEST_F(StorePack, Altered) {
  for (int i = 0; i < 4; i++)
    write_file(dir_h + "/" + snap_name(i), night(i));
  std::vector<snap_entry> held = open_host();
  std::string err;
  ASSERT_TRUE(store_pack(dir_h, &held, 0, &err)) << err;
  std::string newest = dir_h + "/" + snap_name(3);
  std::string changed = night(3);
  changed[10] ^= 1;
  write_file(newest, changed);
  const struct {
    size_t i;
    std::string err;  // its beginning
  } cases[] = {
      {3, newest + ": not the snapshot of the sums (SHA-256 "},
      {2, newest + ": not the snapshot of the sums (SHA-256 "},
      {1, newest + ": not the snapshot of the sums (SHA-256 "},
      {0, ""},
  };
  for (const auto &c : cases) {
    std::string bytes = "junk", why;
    bool ok = store_snap_read(dir_h, held, c.i, &bytes, &why);
    EXPECT_EQ(c.err.empty(), ok) << c.i;
    if (!ok) {
      EXPECT_EQ(0u, why.find(c.err)) << c.i << ": " << why;
    }
  }
  write_file(newest, night(3));
  std::string diff = dir_h + "/" + snap_name(1) + ".from-000002";
  std::string d = read_file(diff);
  d[d.size() / 2] ^= 0x40;
  write_file(diff, d);
  std::string bytes, why;
  EXPECT_FALSE(store_snap_read(dir_h, held, 1, &bytes, &why));
  EXPECT_EQ(0u, why.find(diff + ": ")) << why;
  EXPECT_TRUE(store_snap_read(dir_h, held, 2, &bytes, &why)) << why;
}

// A snapshot set aside from the history takes its bytes to bad/, and the
// one kept as a difference from it is made whole first.
TEST_F(StorePack, SetAsideHeld) {
  for (int i = 0; i < 4; i++)
    write_file(dir_h + "/" + snap_name(i), night(i));
  write_file(dir_h + "/" + snap_name(2) + ".sig", "sig");
  std::vector<snap_entry> held = open_host(), aside;
  std::string err;
  ASSERT_TRUE(store_pack(dir_h, &held, 0, &err)) << err;
  ASSERT_EQ(2u, held[1].se_from);
  ASSERT_EQ(3u, held[2].se_from);
  ASSERT_TRUE(store_set_aside_held(dir_h, &held, 2, "cannot be loaded: why",
                                   &aside, &err))
      << err;
  EXPECT_EQ(3u, held.size());
  EXPECT_EQ(0u, held[1].se_from);
  EXPECT_EQ(night(2), read_file(dir_h + "/bad/" + snap_name(2)));
  EXPECT_EQ("sig", read_file(dir_h + "/bad/" + snap_name(2) + ".sig"));
  EXPECT_NE(0, access((dir_h + "/" + snap_name(2) + ".from-000003").c_str(),
                      F_OK));
  std::string names;
  for (const snap_entry &e : open_host())
    names += e.se_name.substr(6, 6) + " ";
  EXPECT_EQ("000000 000001 000003 ", names);
  expect_reads_back(open_host());
  ASSERT_EQ(1u, aside.size());
  EXPECT_EQ(snap_name(2), aside[0].se_name);
}

// The file for the comparisons: the store's own when whole, else a
// private copy removed afterwards.
TEST_F(StorePack, File) {
  for (int i = 0; i < 3; i++)
    write_file(dir_h + "/" + snap_name(i), night(i));
  std::vector<snap_entry> held = open_host();
  std::string err, tmp;
  ASSERT_TRUE(store_pack(dir_h, &held, 0, &err)) << err;
  {
    store_file f;
    ASSERT_TRUE(store_snap_file(dir_h, held, 2, &f, &err)) << err;
    EXPECT_EQ(dir_h + "/" + snap_name(2), f.sf_path);
    EXPECT_FALSE(f.sf_tmp);
  }
  {
    store_file f;
    ASSERT_TRUE(store_snap_file(dir_h, held, 1, &f, &err)) << err;
    EXPECT_TRUE(f.sf_tmp);
    EXPECT_EQ(night(1), read_file(f.sf_path));
    struct stat st;
    ASSERT_EQ(0, stat(f.sf_path.c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 07777);
    tmp = f.sf_path;
  }
  EXPECT_NE(0, access(tmp.c_str(), F_OK));
}

}  // namespace
