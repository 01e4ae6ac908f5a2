// Package archives as the back end reads them: the files of the data
// member by host path, with type, mode, owner and the digests of their
// contents or link targets; archives made here entry by entry, and one
// that dpkg-deb builds.
#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "pkg/pkg.h"
#include "pkg/pkg_int.h"
#include "sha1/sha1.h"
#include "testutil/pkg_fake.h"
#include "testutil/testutil.h"

namespace {

// One member of a tar: a regular file's contents or a link's target in
// data; a hard link names its target in hard.
struct tar_ent {
  std::string path;
  uint16_t mode;
  uint32_t uid, gid;
  std::string data, hard;
};

using writer_ptr = std::unique_ptr<archive, decltype(&archive_write_free)>;

// Members written into memory by an archive set up by setup.
template <typename F>
std::string
write_archive(F setup, const std::vector<tar_ent> &ents)
{
  writer_ptr a(archive_write_new(), archive_write_free);
  setup(a.get());
  std::vector<char> buf(1 << 20);
  size_t used = 0;
  EXPECT_EQ(ARCHIVE_OK,
            archive_write_open_memory(a.get(), buf.data(), buf.size(), &used));
  for (const tar_ent &t : ents) {
    std::unique_ptr<archive_entry, decltype(&archive_entry_free)> e(
        archive_entry_new(), archive_entry_free);
    archive_entry_set_pathname(e.get(), t.path.c_str());
    archive_entry_set_mode(e.get(), t.mode);
    archive_entry_set_uid(e.get(), t.uid);
    archive_entry_set_gid(e.get(), t.gid);
    if (!t.hard.empty()) {
      archive_entry_set_hardlink(e.get(), t.hard.c_str());
      archive_entry_set_size(e.get(), 0);
    } else if (S_ISLNK(t.mode)) {
      archive_entry_set_symlink(e.get(), t.data.c_str());
    } else {
      archive_entry_set_size(e.get(), la_int64_t(t.data.size()));
    }
    EXPECT_EQ(ARCHIVE_OK, archive_write_header(a.get(), e.get())) << t.path;
    if (S_ISREG(t.mode) && t.hard.empty() && !t.data.empty())
      archive_write_data(a.get(), t.data.data(), t.data.size());
  }
  EXPECT_EQ(ARCHIVE_OK, archive_write_close(a.get()));
  return std::string(buf.data(), used);
}

std::string
tar_of(const std::vector<tar_ent> &ents, int filter)
{
  return write_archive(
      [filter](archive *a) {
        archive_write_set_format_pax_restricted(a);
        archive_write_add_filter(a, filter);
      },
      ents);
}

// An ar archive of members, in order: name and contents.
std::string
ar_of(const std::vector<std::pair<std::string, std::string>> &members)
{
  std::vector<tar_ent> ents;
  for (const auto &m : members)
    ents.push_back({m.first, AE_IFREG | 0644, 0, 0, m.second, ""});
  return write_archive([](archive *a) { archive_write_set_format_ar_svr4(a); },
                       ents);
}

std::string
deb_of(const std::vector<tar_ent> &ents, const char *data_name = "data.tar.gz",
       int filter = ARCHIVE_FILTER_GZIP)
{
  return ar_of({{"debian-binary", "2.0\n"},
                {"control.tar.gz", tar_of({{"./control", AE_IFREG | 0644, 0, 0,
                                            "Package: t\nVersion: 1\n", ""}},
                                          ARCHIVE_FILTER_GZIP)},
                {data_name, tar_of(ents, filter)}});
}

// A package of the control member's entries and the data member's.
std::string
deb_with_control(const std::vector<tar_ent> &control,
                 const std::vector<tar_ent> &data)
{
  return ar_of({{"debian-binary", "2.0\n"},
                {"control.tar.xz", tar_of(control, ARCHIVE_FILTER_XZ)},
                {"data.tar.gz", tar_of(data, ARCHIVE_FILTER_GZIP)}});
}

std::string
sha1_hex(const uint8_t sum[DB_SUM_LEN])
{
  char b[2 * DB_SUM_LEN + 1];
  for (size_t i = 0; i < DB_SUM_LEN; i++)
    snprintf(b + 2 * i, 3, "%02x", sum[i]);
  return b;
}

std::string
sha1_of(const std::string &s)
{
  uint8_t d[DB_SUM_LEN];
  sha_buf(s.data(), int32_t(s.size()), d);
  return sha1_hex(d);
}

class PkgDeb : public TmpDirTest {
 protected:
  void SetUp() override
  {
    TmpDirTest::SetUp();
    root_ = dir_ + "/root";
    pkg_fake_put(root_, "/usr/lib/.keep", "");
    ASSERT_EQ(0, symlink("usr/lib", (root_ + "/lib").c_str()));
  }
  void TearDown() override
  {
    pkg_close(db_);
    TmpDirTest::TearDown();
  }
  // The archive in bytes read as t 1 all, under records that divert
  // /usr/bin/d away from t: true and its files, or false with *err.
  bool load(const std::string &bytes, const pkg_archive **out, std::string *err)
  {
    pkg_close(db_);
    pkg_fake f;
    f.pf_root = root_;
    f.pf_diversions = "/usr/bin/d\n/usr/bin/d.t\nother\n";
    db_ = pkg_fake_open(f, err);
    if (db_ == nullptr)
      return false;
    std::string file = dir_ + "/t.deb";
    write_file(file, bytes);
    if (!pkg_archive_load(db_, {"t", "1", "all"}, file, err))
      return false;
    std::string ignored;
    return pkg_archive_get(db_, "t", "1", "all", out, &ignored) == 1;
  }
  // One file of the archive: "mode uid:gid digest", or "-".
  static std::string file_text(const pkg_archive *ar, const char *path)
  {
    auto it = ar->pr_files.find(path);
    if (it == ar->pr_files.end())
      return "-";
    const pkg_afile &f = it->second;
    char b[64];
    snprintf(b, sizeof b, "%o %u:%u ", unsigned(f.pa_mode), f.pa_uid, f.pa_gid);
    return b + sha1_hex(f.pa_sum);
  }
  // One control file: "mode digest", or "-".
  static std::string control_text(const pkg_archive *ar, const char *name)
  {
    auto it = ar->pr_control.find(name);
    if (it == ar->pr_control.end())
      return "-";
    char b[32];
    snprintf(b, sizeof b, "%o ", unsigned(it->second.pa_mode));
    return b + sha1_hex(it->second.pa_sum);
  }
  std::string root_;
  pkg_db *db_ = nullptr;
};

const std::string ZERO(40, '0');

}  // namespace

// Each row: the data member's entries, and what the archive says of a
// host path.
TEST_F(PkgDeb, Entries) {
  const tar_ent reg = {"./usr/bin/a", AE_IFREG | 0755, 0, 0, "prog a", ""};
  const struct {
    const char *what;
    std::vector<tar_ent> ents;
    const char *path;
    std::string want;
  } cases[] = {
      {"a regular file",
       {reg},
       "/usr/bin/a",
       "100755 0:0 " + sha1_of("prog a")},
      {"set-user-ID",
       {{"./usr/bin/s", AE_IFREG | 04755, 0, 0, "su", ""}},
       "/usr/bin/s",
       "104755 0:0 " + sha1_of("su")},
      {"set-group-ID, owned by others",
       {{"./usr/bin/g", AE_IFREG | 02755, 1000, 50, "g", ""}},
       "/usr/bin/g",
       "102755 1000:50 " + sha1_of("g")},
      {"an empty file",
       {{"./e", AE_IFREG | 0644, 0, 0, "", ""}},
       "/e",
       "100644 0:0 " + sha1_of("")},
      {"a symbolic link: the digest of its target",
       {{"./usr/bin/l", AE_IFLNK | 0777, 0, 0, "../lib/x", ""}},
       "/usr/bin/l",
       "120777 0:0 " + sha1_of("../lib/x")},
      {"a directory, its trailing slash cut",
       {{"./usr/share/", AE_IFDIR | 0755, 0, 0, "", ""}},
       "/usr/share",
       "40755 0:0 " + ZERO},
      {"the top is no file", {{"./", AE_IFDIR | 0755, 0, 0, "", ""}}, "/", "-"},
      {"a hard link takes its target's file",
       {reg, {"./usr/bin/h", AE_IFREG | 0644, 5, 5, "", "./usr/bin/a"}},
       "/usr/bin/h",
       "100755 0:0 " + sha1_of("prog a")},
      // Without its target, a hard link has neither digest nor type, so it
      // matches no file a snapshot holds.
      {"a hard link before its target",
       {{"./usr/bin/h", AE_IFREG | 0644, 5, 5, "", "./usr/bin/a"}, reg},
       "/usr/bin/h",
       "644 5:5 " + ZERO},
      {"a hard link to the top",
       {{"./usr/bin/h", AE_IFREG | 0644, 5, 5, "", "./"}},
       "/usr/bin/h",
       "644 5:5 " + ZERO},
      // dpkg takes "usr/x" and "./usr/x" alike; "usr/x" was once read as
      // "/sr/x".
      {"a name without \"./\"",
       {{"usr/x", AE_IFREG | 0644, 0, 0, "x", ""}},
       "/usr/x",
       "100644 0:0 " + sha1_of("x")},
      {"nor as another path",
       {{"usr/x", AE_IFREG | 0644, 0, 0, "x", ""}},
       "/sr/x",
       "-"},
      // A name that could reach outside the root explains no path.
      {"an absolute name",
       {{"/etc/sudoers", AE_IFREG | 0440, 0, 0, "x", ""}},
       "/etc/sudoers",
       "-"},
      {"a name that climbs out",
       {{"./usr/../etc/sudoers", AE_IFREG | 0440, 0, 0, "x", ""}},
       "/etc/sudoers",
       "-"},
      {"a name that starts above the root",
       {{"../etc/sudoers", AE_IFREG | 0440, 0, 0, "x", ""}},
       "/etc/sudoers",
       "-"},
      {"a hidden name",
       {{".hid", AE_IFREG | 0644, 0, 0, "h", ""}},
       "/.hid",
       "100644 0:0 " + sha1_of("h")},
      {"a directory link under the root",
       {{"./lib/m.so", AE_IFREG | 0644, 0, 0, "m", ""}},
       "/usr/lib/m.so",
       "100644 0:0 " + sha1_of("m")},
      {"not where the link is",
       {{"./lib/m.so", AE_IFREG | 0644, 0, 0, "m", ""}},
       "/lib/m.so",
       "-"},
      {"diverted by another package",
       {{"./usr/bin/d", AE_IFREG | 0755, 0, 0, "d", ""}},
       "/usr/bin/d.t",
       "100755 0:0 " + sha1_of("d")},
      {"a large file",
       {{"./big", AE_IFREG | 0644, 0, 0, std::string(300000, 'b'), ""}},
       "/big",
       "100644 0:0 " + sha1_of(std::string(300000, 'b'))},
  };
  for (const auto &c : cases) {
    const pkg_archive *ar = nullptr;
    std::string err;
    ASSERT_TRUE(load(deb_of(c.ents), &ar, &err)) << c.what << ": " << err;
    EXPECT_EQ(c.want, file_text(ar, c.path)) << c.what;
  }
}

// The data member in any compression libarchive reads, and archives that
// are not what they say: an error naming the file, never a crash or a
// half-read archive taken.
TEST_F(PkgDeb, Damaged) {
  const std::vector<tar_ent> one = {
      {"./f", AE_IFREG | 0644, 0, 0, std::string(5000, 'f'), ""}};
  const std::string good = deb_of(one);
  const std::string file = dir_ + "/t.deb: ";
  const struct {
    const char *what;
    std::string bytes;
    const char *err;  // null when it reads
  } cases[] = {
      {"gzip", good, nullptr},
      {"xz", deb_of(one, "data.tar.xz", ARCHIVE_FILTER_XZ), nullptr},
      {"not compressed", deb_of(one, "data.tar", ARCHIVE_FILTER_NONE), nullptr},
      {"no data member",
       ar_of({{"debian-binary", "2.0\n"},
              {"control.tar.gz",
               tar_of({{"./control", AE_IFREG | 0644, 0, 0, "", ""}},
                      ARCHIVE_FILTER_GZIP)}}),
       "no data member"},
      {"empty", "", ""},
      {"not an ar archive", "!<arch>\nnonsense", ""},
      {"the data member not a tar",
       ar_of({{"debian-binary", "2.0\n"}, {"data.tar.xz", "nonsense"}}), ""},
      {"cut in the data member", good.substr(0, good.size() - 100), ""},
      {"cut in the ar header", good.substr(0, 30), ""},
  };
  for (const auto &c : cases) {
    const pkg_archive *ar = nullptr;
    std::string err;
    bool ok = load(c.bytes, &ar, &err);
    if (c.err == nullptr) {
      ASSERT_TRUE(ok) << c.what << ": " << err;
      EXPECT_EQ("100644 0:0 " + sha1_of(std::string(5000, 'f')),
                file_text(ar, "/f"))
          << c.what;
      continue;
    }
    EXPECT_FALSE(ok) << c.what;
    EXPECT_EQ(0u, err.find(file)) << c.what << ": " << err;
    if (*c.err != '\0') {
      EXPECT_EQ(file + c.err, err) << c.what;
    }
  }
}

// A package that dpkg-deb builds, read back as the shell tests install
// it.
TEST_F(PkgDeb, DpkgDebBuilds) {
  std::string dpkg_deb = pkg_fake_tool("dpkg-deb");
  if (dpkg_deb.empty())
    GTEST_SKIP() << "dpkg-deb is not installed";
  std::string src = dir_ + "/src";
  pkg_fake_put(src, "/DEBIAN/control",
               "Package: t\nVersion: 1\nArchitecture: all\n"
               "Maintainer: T <t@example.org>\nDescription: test\n");
  pkg_fake_put(src, "/usr/bin/t", "#!/bin/sh\n");
  ASSERT_EQ(0, chmod((src + "/usr/bin/t").c_str(), 04755));
  pkg_fake_put(src, "/usr/share/t/data", "data of t\n");
  ASSERT_EQ(0, link((src + "/usr/share/t/data").c_str(),
                    (src + "/usr/share/t/same").c_str()));
  ASSERT_EQ(0, symlink("data", (src + "/usr/share/t/link").c_str()));
  ASSERT_EQ(0, chmod((src + "/usr/share/t/data").c_str(), 0644));
  prog_result r = run_prog({dpkg_deb, "--root-owner-group", "-Zxz", "-b", src,
                            dir_ + "/built.deb"});
  ASSERT_EQ(0, r.status) << r.err;
  const pkg_archive *ar = nullptr;
  std::string err;
  ASSERT_TRUE(load(read_file(dir_ + "/built.deb"), &ar, &err)) << err;
  EXPECT_EQ("104755 0:0 " + sha1_of("#!/bin/sh\n"),
            file_text(ar, "/usr/bin/t"));
  EXPECT_EQ("100644 0:0 " + sha1_of("data of t\n"),
            file_text(ar, "/usr/share/t/data"));
  EXPECT_EQ(file_text(ar, "/usr/share/t/data"),
            file_text(ar, "/usr/share/t/same"));
  EXPECT_EQ("120777 0:0 " + sha1_of("data"),
            file_text(ar, "/usr/share/t/link"));
  EXPECT_EQ("-", file_text(ar, "/DEBIAN/control"));
  EXPECT_EQ(0u, file_text(ar, "/usr/share/t").find("40755 0:0 "));
}

// The control member's files by name, as dpkg keeps them under its info
// directory: only a regular file named by one component under the top.
// A name that climbs, is absolute or names a subdirectory stands for no
// control file, however well the archive verifies.
TEST_F(PkgDeb, ControlFiles) {
  const tar_ent control = {
      "./control", AE_IFREG | 0644, 0, 0, "Package: t\nVersion: 1\n", ""};
  const std::string script = "#!/bin/sh\nexit 0\n";
  const struct {
    const char *what;
    std::vector<tar_ent> ents;
    const char *name;
    std::string want;
  } cases[] = {
      {"a maintainer script",
       {{"./postinst", AE_IFREG | 0755, 0, 0, script, ""}},
       "postinst",
       "100755 " + sha1_of(script)},
      {"the control file itself",
       {},
       "control",
       "100644 " + sha1_of("Package: t\nVersion: 1\n")},
      {"a name without \"./\"",
       {{"md5sums", AE_IFREG | 0644, 0, 0, "sums", ""}},
       "md5sums",
       "100644 " + sha1_of("sums")},
      {"an empty file",
       {{"./conffiles", AE_IFREG | 0644, 0, 0, "", ""}},
       "conffiles",
       "100644 " + sha1_of("")},
      {"a name that starts above the top",
       {{"../postinst", AE_IFREG | 0755, 0, 0, script, ""}},
       "postinst",
       "-"},
      {"an absolute name",
       {{"/postinst", AE_IFREG | 0755, 0, 0, script, ""}},
       "postinst",
       "-"},
      {"a name that climbs back: not its last component",
       {{"./x/../y", AE_IFREG | 0755, 0, 0, script, ""}},
       "y",
       "-"},
      {"nor its first",
       {{"./x/../y", AE_IFREG | 0755, 0, 0, script, ""}},
       "x",
       "-"},
      {"a file in a subdirectory",
       {{"./sub/postinst", AE_IFREG | 0755, 0, 0, script, ""}},
       "postinst",
       "-"},
      {"nor the subdirectory",
       {{"./sub/postinst", AE_IFREG | 0755, 0, 0, script, ""}},
       "sub",
       "-"},
      {"a symbolic link",
       {{"./prerm", AE_IFLNK | 0777, 0, 0, "/etc/shadow", ""}},
       "prerm",
       "-"},
      {"a hard link",
       {{"./postinst", AE_IFREG | 0755, 0, 0, script, ""},
        {"./config", AE_IFREG | 0755, 0, 0, "", "./postinst"}},
       "config",
       "-"},
      {"a directory",
       {{"./templates/", AE_IFDIR | 0755, 0, 0, "", ""}},
       "templates",
       "-"},
      {"the top", {{"./", AE_IFDIR | 0755, 0, 0, "", ""}}, "", "-"},
      {"\".\"", {{"./.", AE_IFREG | 0644, 0, 0, "x", ""}}, ".", "-"},
  };
  const std::vector<tar_ent> data = {
      {"./", AE_IFDIR | 0755, 0, 0, "", ""},
      {"./postinst", AE_IFREG | 0644, 0, 0, "data, not control", ""}};
  for (const auto &c : cases) {
    std::vector<tar_ent> ents = {control};
    ents.insert(ents.end(), c.ents.begin(), c.ents.end());
    const pkg_archive *ar = nullptr;
    std::string err;
    ASSERT_TRUE(load(deb_with_control(ents, data), &ar, &err))
        << c.what << ": " << err;
    EXPECT_EQ(c.want, control_text(ar, c.name)) << c.what;
    // A control file is never a path of the data, nor the other way.
    EXPECT_EQ("-", file_text(ar, "/control")) << c.what;
    EXPECT_EQ("100644 0:0 " + sha1_of("data, not control"),
              file_text(ar, "/postinst"))
        << c.what;
    for (const auto &f : ar->pr_control)
      EXPECT_TRUE(!f.first.empty() && f.first.find('/') == std::string::npos &&
                  f.first != "." && f.first != "..")
          << c.what << ": " << f.first;
  }
  // A control member that is damaged fails the archive, as a data member
  // does.
  std::string good = tar_of({control}, ARCHIVE_FILTER_GZIP);
  const pkg_archive *ar = nullptr;
  std::string err;
  EXPECT_FALSE(load(ar_of({{"debian-binary", "2.0\n"},
                           {"control.tar.gz", good.substr(0, good.size() / 2)},
                           {"data.tar.gz", tar_of(data, ARCHIVE_FILTER_GZIP)}}),
                    &ar, &err));
  EXPECT_EQ(0u, err.find(dir_ + "/t.deb: ")) << err;
}

// The lines of a package's list are the data member's names, "/." for
// the top, whatever form the names take; a name that could reach outside
// the root is no line.
TEST_F(PkgDeb, ListLines) {
  const std::vector<tar_ent> data = {
      {"./", AE_IFDIR | 0755, 0, 0, "", ""},
      {"./usr/", AE_IFDIR | 0755, 0, 0, "", ""},
      {"./usr/bin/", AE_IFDIR | 0755, 0, 0, "", ""},
      {"./usr/bin/a", AE_IFREG | 0755, 0, 0, "a", ""},
      {"usr/bin/b", AE_IFREG | 0755, 0, 0, "b", ""},
      {"./usr/bin/h", AE_IFREG | 0755, 0, 0, "", "./usr/bin/a"},
      {"./usr/bin/l", AE_IFLNK | 0777, 0, 0, "a", ""},
      {"./lib/x", AE_IFREG | 0644, 0, 0, "x", ""},
      {"./usr/d/../../etc/shadow", AE_IFREG | 0644, 0, 0, "x", ""},
      {"/etc/passwd", AE_IFREG | 0644, 0, 0, "x", ""}};
  const pkg_archive *ar = nullptr;
  std::string err;
  ASSERT_TRUE(load(deb_of(data), &ar, &err)) << err;
  const std::vector<std::string> want = {
      "/.",         "/usr",       "/usr/bin",   "/usr/bin/a",
      "/usr/bin/b", "/usr/bin/h", "/usr/bin/l", "/lib/x"};
  EXPECT_EQ(want, ar->pr_list);
}

// A package that dpkg installs under a root of the test's: its list under
// dpkg's info directory holds the lines the archive's list has, and its
// control files there are the archive's.
TEST_F(PkgDeb, DpkgInstallsWhatTheArchiveSays) {
  std::string dpkg = pkg_fake_tool("dpkg"),
              dpkg_deb = pkg_fake_tool("dpkg-deb");
  if (dpkg.empty() || dpkg_deb.empty())
    GTEST_SKIP() << "dpkg or dpkg-deb is not installed";
  std::string src = dir_ + "/src";
  pkg_fake_put(src, "/DEBIAN/control",
               "Package: t\nVersion: 1\nArchitecture: all\n"
               "Maintainer: T <t@example.org>\nDescription: test\n");
  pkg_fake_put(src, "/DEBIAN/postinst", "#!/bin/sh\nexit 0\n");
  ASSERT_EQ(0, chmod((src + "/DEBIAN/postinst").c_str(), 0755));
  pkg_fake_put(src, "/DEBIAN/conffiles", "/etc/t.conf\n");
  pkg_fake_put(src, "/etc/t.conf", "x=1\n");
  pkg_fake_put(src, "/usr/bin/t", "#!/bin/sh\n");
  pkg_fake_put(src, "/usr/share/t/data", "data of t\n");
  ASSERT_EQ(0, link((src + "/usr/share/t/data").c_str(),
                    (src + "/usr/share/t/same").c_str()));
  ASSERT_EQ(0, symlink("data", (src + "/usr/share/t/link").c_str()));
  std::string deb = dir_ + "/t_1_all.deb";
  prog_result r =
      run_prog({dpkg_deb, "--root-owner-group", "-Zxz", "-b", src, deb});
  ASSERT_EQ(0, r.status) << r.err;
  std::string inst = dir_ + "/inst";
  pkg_fake_put(inst, "/var/lib/dpkg/status", "");
  pkg_fake_put(inst, "/var/lib/dpkg/updates/.keep", "");
  pkg_fake_put(inst, "/var/lib/dpkg/info/.keep", "");
  pkg_fake_put(inst, "/var/log/.keep", "");
  r = run_prog({dpkg, "--root=" + inst, "--log=" + inst + "/var/log/dpkg.log",
                "--force-script-chrootless", "--force-not-root", "-i", deb});
  ASSERT_EQ(0, r.status) << r.out << r.err;
  const pkg_archive *ar = nullptr;
  std::string err;
  ASSERT_TRUE(load(read_file(deb), &ar, &err)) << err;
  std::string list = read_file(inst + "/var/lib/dpkg/info/t.list");
  std::vector<std::string> lines;
  for (std::string_view l : pkg_lines(list))
    lines.emplace_back(l);
  std::vector<std::string> have = ar->pr_list;
  std::sort(lines.begin(), lines.end());
  std::sort(have.begin(), have.end());
  EXPECT_EQ(lines, have);
  for (const char *name : {"postinst", "conffiles"})
    EXPECT_EQ(sha1_of(read_file(inst + "/var/lib/dpkg/info/t." + name)),
              control_text(ar, name).substr(7))
        << name;
  EXPECT_EQ("-", control_text(ar, "md5sums"));  // dpkg made its own
}
