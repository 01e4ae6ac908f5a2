// kavrel's cache of archives: which archives a window's operations still
// lack, what pruning keeps and removes, and the fetch through a fake
// apt-get that copies from a repository of the test's own.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "pkg/pkg.h"
#include "pkg/pkg_int.h"
#include "testutil/pkg_fake.h"
#include "testutil/testutil.h"

namespace {

class PkgCache : public TmpDirTest {
 protected:
  // The records: p installed now at 2:1.1 for amd64, q's conffiles left
  // (removed), s installed for all; the kept records hold p 1.0, q 1.0
  // and r 1.0, which is gone without a trace now.
  pkg_db *open_db()
  {
    pkg_fake f;
    f.pf_root = dir_;
    f.pf_status =
        "Package: p\nStatus: install ok installed\nVersion: 2:1.1\n"
        "Architecture: amd64\n\n"
        "Package: q\nStatus: deinstall ok config-files\nVersion: 1.0\n"
        "Architecture: all\n\n"
        "Package: s\nStatus: install ok installed\nVersion: 3\n"
        "Architecture: all\n";
    fake_kept k;
    k.fk_file = path("base.pkg");
    k.fk_status =
        "Package: p\nStatus: install ok installed\nVersion: 1.0\n"
        "Architecture: amd64\n\n"
        "Package: q\nStatus: install ok installed\nVersion: 1.0\n"
        "Architecture: all\n\n"
        "Package: r\nStatus: install ok installed\nVersion: 1.0\n"
        "Architecture: i386\n";
    f.pf_kept.push_back(k);
    std::string err;
    pkg_db *db = pkg_fake_open(f, &err);
    EXPECT_NE(db, nullptr) << err;
    return db;
  }

  std::string cache() const { return dir_ + "/" + PKG_CACHE_DIR; }

  void put(const std::string &name)
  {
    pkg_fake_put(dir_, std::string("/") + PKG_CACHE_DIR + "/" + name, "deb");
  }
};

std::string
keys_text(const std::vector<pkg_key> &keys)
{
  std::string s;
  for (const pkg_key &k : keys)
    s += (s.empty() ? "" : "; ") + k.pk_name + " " + k.pk_version + " " +
         k.pk_arch;
  return s;
}

pkg_op
op(const char *action, const char *name, const char *old_v, const char *new_v)
{
  return pkg_op{0, action, name, old_v, new_v};
}

}  // namespace

TEST(PkgFlatName, AsAptNamesIt) {
  EXPECT_EQ("p_1.0_all.deb", pkg_flat_name("p", "1.0", "all"));
  EXPECT_EQ("p_2%3a1.0%3a3_amd64.deb", pkg_flat_name("p", "2:1.0:3", "amd64"));
}

// Both versions of each operation, unless the archive is at hand in the
// cache or apt's; the architecture from the records, then the kept ones;
// a package neither knows is left out; each key once.
TEST_F(PkgCache, Missing) {
  put("p_2%3a1.1_amd64.deb");
  pkg_fake_put(dir_, "/var/cache/apt/archives/s_3_all.deb", "deb");
  pkg_db *db = open_db();
  ASSERT_NE(db, nullptr);
  const struct {
    std::vector<pkg_op> ops;
    const char *want;
  } cases[] = {
      {{}, ""},
      {{op("upgrade", "p", "1.0", "2:1.1")}, "p 1.0 amd64"},
      {{op("remove", "q", "1.0", "")}, "q 1.0 all"},
      {{op("remove", "r", "1.0", "")}, "r 1.0 i386"},
      {{op("install", "s", "", "3")}, ""},
      {{op("upgrade", "s", "2", "3"), op("upgrade", "s", "1", "2")},
       "s 1 all; s 2 all"},
      {{op("install", "nobody", "", "1")}, ""},
      {{op("upgrade", "p", "1.0", "2:1.1"), op("upgrade", "p", "1.0", "2:1.1"),
        op("remove", "q", "1.0", "")},
       "p 1.0 amd64; q 1.0 all"},
  };
  for (const auto &c : cases)
    EXPECT_EQ(c.want, keys_text(pkg_archives_missing(db, c.ops)))
        << "first op " << (c.ops.empty() ? "none" : c.ops[0].po_name);
  pkg_close(db);
}

// Kept: what is installed now and what the kept records hold installed
// (p 1.0 and 2:1.1, q 1.0, r 1.0, s 3). Removed: other versions and
// packages. Never touched: links, directories, hidden names and names
// that are not archives, whatever they are called.
TEST_F(PkgCache, Prune) {
  pkg_db *db = open_db();
  ASSERT_NE(db, nullptr);
  std::vector<std::string> removed;
  std::string err;
  EXPECT_TRUE(pkg_cache_prune(db, &removed, &err)) << "no cache: " << err;
  EXPECT_TRUE(removed.empty());

  for (const char *n :
       {"p_1.0_amd64.deb", "p_2%3a1.1_amd64.deb", "q_1.0_all.deb",
        "r_1.0_i386.deb", "s_3_all.deb", "p_0.9_amd64.deb", "p_1.0_i386.deb",
        "t_1_all.deb", "notes.txt", ".p_0.9_amd64.deb.123"})
    put(n);
  ASSERT_EQ(0, mkdir((cache() + "/d_1_all.deb").c_str(), 0755));
  write_file(path("elsewhere.deb"), "x");
  ASSERT_EQ(0, symlink(path("elsewhere.deb").c_str(),
                       (cache() + "/l_1_all.deb").c_str()));
  ASSERT_TRUE(pkg_cache_prune(db, &removed, &err)) << err;
  std::vector<std::string> want = {cache() + "/p_0.9_amd64.deb",
                                   cache() + "/p_1.0_i386.deb",
                                   cache() + "/t_1_all.deb"};
  EXPECT_EQ(want, removed);
  for (const char *n :
       {"p_1.0_amd64.deb", "p_2%3a1.1_amd64.deb", "q_1.0_all.deb",
        "r_1.0_i386.deb", "s_3_all.deb", "notes.txt", ".p_0.9_amd64.deb.123",
        "d_1_all.deb", "l_1_all.deb"}) {
    struct stat st;
    EXPECT_EQ(0, lstat((cache() + "/" + n).c_str(), &st)) << n << " removed";
  }
  EXPECT_EQ("x", read_file(path("elsewhere.deb")));
  pkg_close(db);
}

namespace {

// apt-get replaced by a script on PATH that copies from a repository of
// the test's own, as apt-get download would fetch: fetched, refused by
// apt, a success that leaves no file, and one that takes too long. Each
// call is logged in calls as "$PWD $*", with APT_CONFIG before it when it
// is set. The PATH is put back when the fixture goes.
class PkgFetch : public PkgCache {
 protected:
  void SetUp() override
  {
    PkgCache::SetUp();
    std::string bin = path("bin"), repo = path("repo");
    ASSERT_EQ(0, mkdir(bin.c_str(), 0755));
    ASSERT_EQ(0, mkdir(repo.c_str(), 0755));
    write_file(repo + "/p_1.0_amd64.deb", "p archive");
    write_file(repo + "/q_1.0_all.deb", "q archive");
    write_file(
        bin + "/apt-get",
        "#!/bin/sh\n"
        "[ -z \"${APT_CONFIG-}\" ] || printf '%s ' \"$APT_CONFIG\" >>'" +
            path("calls") +
            "'\n"
            "echo \"$PWD $*\" >>'" +
            path("calls") +
            "'\n"
            "for want do :; done\n"
            "case $want in\n"
            "p:amd64=1.0) cp '" +
            repo +
            "/p_1.0_amd64.deb' . ;;\n"
            "q=1.0) cp '" +
            repo +
            "/q_1.0_all.deb' . ;;\n"
            "r:i386=1.0) exit 0 ;;\n"
            "s=3) echo part >s_3_all.deb; exec sleep 30 ;;\n"
            "*) echo \"E: Can't find a source to download version\" >&2\n"
            "   exit 100 ;;\n"
            "esac\n");
    ASSERT_EQ(0, chmod((bin + "/apt-get").c_str(), 0755));
    const char *old_path = getenv("PATH");
    saved_ = old_path != nullptr ? old_path : "/usr/bin:/bin";
    setenv("PATH", (bin + ":" + saved_).c_str(), 1);
    unsetenv("APT_CONFIG");
  }
  void TearDown() override
  {
    setenv("PATH", saved_.c_str(), 1);
    unsetenv("APT_CONFIG");
    PkgCache::TearDown();
  }
  std::string saved_;
};

}  // namespace

TEST_F(PkgFetch, IntoCache) {
  std::vector<pkg_key> keys = {{"p", "1.0", "amd64"},
                               {"q", "1.0", "all"},
                               {"r", "1.0", "i386"},
                               {"s", "3", "all"},
                               {"t", "1", "all"}};
  std::vector<std::string> failed;
  std::string err;
  ASSERT_TRUE(pkg_fetch(dir_, keys, 1, &failed, &err)) << err;

  EXPECT_EQ("p archive", read_file(cache() + "/p_1.0_amd64.deb"));
  EXPECT_EQ("q archive", read_file(cache() + "/q_1.0_all.deb"));
  EXPECT_NE(0, access((cache() + "/s_3_all.deb").c_str(), F_OK))
      << "what a download cut short left is kept";
  std::vector<std::string> want = {
      "r 1.0 i386: apt-get download: no file " + cache() + "/r_1.0_i386.deb",
      "s 3 all: apt-get download: no archive after 1 s",
      "t 1 all: apt-get download: E: Can't find a source to download version"};
  EXPECT_EQ(want, failed);
  // Run in the cache, configured to the root, one archive at a time.
  std::string o = cache() + " -q -o Dir=" + dir_ +
                  "/ -o APT::Sandbox::User=root -o Dir::Cache::pkgcache= "
                  "-o Dir::Cache::srcpkgcache= download ";
  EXPECT_EQ(o + "p:amd64=1.0\n" + o + "q=1.0\n" + o + "r:i386=1.0\n" + o +
                "s=3\n" + o + "t=1\n",
            read_file(path("calls")));
  struct stat st;
  ASSERT_EQ(0, stat(cache().c_str(), &st));
  EXPECT_EQ(0755u, st.st_mode & 07777u);

  // Nothing wanted: nothing run, no cache made.
  std::string other = path("other");
  ASSERT_EQ(0, mkdir(other.c_str(), 0755));
  EXPECT_TRUE(pkg_fetch(other, {}, 1, &failed, &err));
  EXPECT_NE(0, access((other + "/var").c_str(), F_OK));
  // A cache that cannot be made is the one failure of the call.
  write_file(other + "/var", "");
  EXPECT_FALSE(pkg_fetch(other, keys, 1, &failed, &err));
  EXPECT_NE(err.find("var/cache"), std::string::npos) << err;
}

// A directory of the caller's (a collector's archives): apt as configured
// for the user, APT_CONFIG passed on and no root given to it; nothing made
// under any root; what failed added after what *failed held.
TEST_F(PkgFetch, IntoDirectory) {
  std::string into = path("archives");
  ASSERT_EQ(0, mkdir(into.c_str(), 0700));
  setenv("APT_CONFIG", path("apt.conf").c_str(), 1);
  std::vector<std::string> failed = {"earlier"};
  pkg_fetch_into(into, "", {{"p", "1.0", "amd64"}, {"t", "1", "all"}}, 5,
                 &failed);
  std::vector<std::string> want = {
      "earlier",
      "t 1 all: apt-get download: E: Can't find a source to download version"};
  EXPECT_EQ(want, failed);
  EXPECT_EQ("p archive", read_file(into + "/p_1.0_amd64.deb"));
  EXPECT_NE(0, access((dir_ + "/var").c_str(), F_OK)) << "a cache was made";
  std::string o = path("apt.conf") + " " + into +
                  " -q -o APT::Sandbox::User=root -o Dir::Cache::pkgcache= "
                  "-o Dir::Cache::srcpkgcache= download ";
  EXPECT_EQ(o + "p:amd64=1.0\n" + o + "t=1\n", read_file(path("calls")));
}
