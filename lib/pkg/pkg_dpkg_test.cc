// The dpkg back end's own files: the status file, the lists, conffiles and
// md5sums, and the records kept with a snapshot, as the back end answers
// pkg.h for them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <map>
#include <string>
#include <vector>

#include "pkg/pkg.h"
#include "pkg/pkg_int.h"
#include "testutil/pkg_fake.h"
#include "testutil/testutil.h"

namespace {

const std::string M1(32, '1'), M2(32, '2'), M3(32, '3');

// Every claim on path: "name" with " conf" for a conffile and the digest
// where the records have one, the claims joined by ", " in their order;
// "-" for none.
std::string
claims_text(pkg_db *db, const std::string &path, bool digests = true)
{
  std::string s;
  for (const pkg_claim &c : pkg_claims(db, path, digests)) {
    s += s.empty() ? "" : ", ";
    s += c.pc_pkg->pm_name + (c.pc_conffile ? " conf" : "");
    if (!c.pc_md5.empty())
      s += " " + c.pc_md5;
  }
  return s.empty() ? "-" : s;
}

// What pkg_find says of name: "version/arch" ("/arch" for a package
// whose configuration files alone are left), or "-".
std::string
find_text(const pkg_db *db, const std::string &name)
{
  const pkg_meta *m = pkg_find(db, name);
  return m == nullptr ? "-" : m->pm_version + "/" + m->pm_arch;
}

std::string
para(const std::string &name, const std::string &version,
     const std::string &status = "install ok installed",
     const std::string &arch = "amd64")
{
  return "Package: " + name + "\nStatus: " + status +
         "\nPriority: optional\nArchitecture: " + arch +
         "\nVersion: " + version +
         "\nDescription: a package\n it does"
         " things\n .\n more\n";
}

class PkgRecords : public TmpDirTest {
 protected:
  void SetUp() override
  {
    TmpDirTest::SetUp();
    root_ = dir_;
  }
  void TearDown() override
  {
    pkg_close(db_);
    TmpDirTest::TearDown();
  }
  // The records of f under the test's root.
  pkg_db *open(pkg_fake f)
  {
    pkg_close(db_);
    db_ = nullptr;
    f.pf_root = root_;
    std::string err;
    db_ = pkg_fake_open(f, &err);
    EXPECT_NE(nullptr, db_) << err;
    return db_;
  }
  std::string root_;
  pkg_db *db_ = nullptr;
};

}  // namespace

// Each row: a status file and lists, then what pkg_find says of names and
// pkg_claims of paths, one "name=..." or "path: ..." per query.
TEST_F(PkgRecords, StatusFile) {
  const std::string conf = "Conffiles:\n /etc/a.conf " + M1 + "\n /etc/a.d/x " +
                           M2 + "\n";
  const struct {
    const char *what;
    std::string status;
    std::vector<std::string> names, paths;
    std::string want;
  } cases[] = {
      {"two paragraphs",
       para("a", "1.0") + "\n" + para("b", "2:2.0-1"),
       {"a", "b", "c"},
       {"/usr/a"},
       "a=1.0/amd64 b=2:2.0-1/amd64 c=- /usr/a: a"},
      {"conffiles continue over indented lines",
       para("a", "1.0") + conf + "\n",
       {},
       {"/etc/a.conf", "/etc/a.d/x"},
       "/etc/a.conf: a conf " + M1 + " /etc/a.d/x: a conf " + M2},
      {"a conffile also in the list is claimed once, as a conffile",
       para("a", "1.0") + conf,
       {},
       {"/etc/a.conf"},
       "/etc/a.conf: a conf " + M1},
      {"an obsolete conffile is no claim",
       para("a", "1.0") + "Conffiles:\n /etc/old " + M1 + " obsolete\n",
       {},
       {"/etc/old"},
       "/etc/old: -"},
      {"a conffile not absolute is none",
       para("a", "1.0") + "Conffiles:\n etc/b.conf " + M1 + "\n",
       {},
       {"/tc/b.conf", "etc/b.conf"},
       "/tc/b.conf: - etc/b.conf: -"},
      {"remove-on-upgrade is still a claim",
       para("a", "1.0") + "Conffiles:\n /etc/gone " + M1 +
           " remove-on-upgrade\n",
       {},
       {"/etc/gone"},
       "/etc/gone: a conf " + M1},
      {"obsolete with remove-on-upgrade",
       para("a", "1.0") + "Conffiles:\n /etc/gone " + M1 +
           " obsolete remove-on-upgrade\n",
       {},
       {"/etc/gone"},
       "/etc/gone: -"},
      {"an empty Conffiles field, then a field after it",
       para("a", "1.0") + "Conffiles:\nDepends: b\n",
       {},
       {"/etc/a.conf"},
       "/etc/a.conf: a"},
      {"indented lines of another field are not conffiles",
       "Package: a\nStatus: install ok installed\nVersion: 1\n"
       "Description: x\n /etc/a.conf " +
           M1 + "\n",
       {},
       {"/etc/a.conf"},
       "/etc/a.conf: a"},
      {"not installed: gone from the records",
       para("a", "1.0", "purge ok not-installed"),
       {"a"},
       {"/usr/a"},
       "a=- /usr/a: -"},
      {"configuration files alone: no version, conffiles still claimed",
       para("a", "1.0", "deinstall ok config-files") + conf,
       {"a"},
       {"/etc/a.conf", "/usr/a"},
       "a=/amd64 /etc/a.conf: a conf " + M1 + " /usr/a: a"},
      {"half-installed keeps its version",
       para("a", "1.1", "install reinstreq half-installed"),
       {"a"},
       {},
       "a=1.1/amd64"},
      {"unpacked, not yet configured",
       para("a", "1.1", "install ok unpacked"),
       {"a"},
       {"/usr/a"},
       "a=1.1/amd64 /usr/a: a"},
      {"missing final newline",
       para("a", "1.0") + "\n" +
           "Package: b\nStatus: install ok installed\n"
           "Version: 2",
       {"a", "b"},
       {},
       "a=1.0/amd64 b=2/"},
      {"blank lines before, between and after",
       "\n\n" + para("a", "1") + "\n\n\n" + para("b", "2") + "\n\n",
       {"a", "b"},
       {},
       "a=1/amd64 b=2/amd64"},
      {"no Package field: skipped",
       "Status: install ok installed\n"
       "Version: 1\n\n" +
           para("b", "2"),
       {"b"},
       {"/usr/b"},
       "b=2/amd64 /usr/b: b"},
      {"empty fields",
       "Package: a\nStatus: install ok installed\nVersion:\n"
       "Architecture:\n",
       {"a"},
       {"/usr/a"},
       "a=/ /usr/a: a"},
      {"blanks after the colon",
       "Package:\ta\nVersion:   1.0\n"
       "Status: install ok installed\n",
       {"a"},
       {},
       "a=1.0/"},
      // dpkg never writes CR: a file with them is not its own, and its
      // names and separators do not read, so it explains nothing.
      {"CRLF lines",
       "Package: a\r\nStatus: install ok installed\r\n"
       "Version: 1\r\n\r\nPackage: b\r\nVersion: 2\r\n",
       {"a", "b"},
       {"/usr/a", "/usr/b"},
       "a=- b=- /usr/a: - /usr/b: -"},
  };
  for (const auto &c : cases) {
    pkg_fake f;
    f.pf_status = c.status;
    // Every package's list names /usr/<name> and, where the row has one,
    // /etc/a.conf.
    for (const char *n : {"a", "b", "c"})
      f.pf_lists[n] = std::string("/.\n/usr\n/usr/") + n + "\n/etc\n" +
                      (n[0] == 'a' ? "/etc/a.conf\n" : "");
    pkg_db *db = open(f);
    ASSERT_NE(nullptr, db);
    std::string got;
    for (const std::string &n : c.names)
      got += (got.empty() ? "" : " ") + n + "=" + find_text(db, n);
    for (const std::string &p : c.paths)
      got += (got.empty() ? "" : " ") + p + ": " + claims_text(db, p);
    EXPECT_EQ(c.want, got) << c.what;
  }
}

// Multi-Arch: same: one name on two architectures, each with its own list
// named name:arch, and the files they share claimed by both.
TEST_F(PkgRecords, MultiArch) {
  pkg_fake f;
  f.pf_status = para("m", "1.0", "install ok installed", "amd64") + "\n" +
                para("m", "1.0", "install ok installed", "i386") + "\n" +
                para("plain", "3", "install ok installed", "all");
  f.pf_lists["m:amd64"] = "/usr/lib/x86_64/libm.so\n/usr/share/doc/m\n";
  f.pf_lists["m:i386"] = "/usr/lib/i386/libm.so\n/usr/share/doc/m\n";
  f.pf_lists["m"] = "/usr/lib/wrong\n";  // shadowed by the named ones
  f.pf_lists["plain"] = "/usr/share/plain\n";
  f.pf_md5sums["m:i386"] = M3 + "  usr/lib/i386/libm.so\n";
  pkg_db *db = open(f);
  ASSERT_NE(nullptr, db);
  EXPECT_EQ("m", claims_text(db, "/usr/lib/x86_64/libm.so"));
  EXPECT_EQ("m " + M3, claims_text(db, "/usr/lib/i386/libm.so"));
  EXPECT_EQ("i386",
            pkg_claims(db, "/usr/lib/i386/libm.so", true)[0].pc_pkg->pm_arch);
  EXPECT_EQ("m, m", claims_text(db, "/usr/share/doc/m"));
  EXPECT_EQ("-", claims_text(db, "/usr/lib/wrong"));
  EXPECT_EQ("plain", claims_text(db, "/usr/share/plain"));
}

// Each row: one package's list and md5sums and a path asked for, with and
// without digests.
TEST_F(PkgRecords, ListsAndDigests) {
  const struct {
    const char *what;
    std::string list, sums, path;
    std::string want, want_nodigest;
  } cases[] = {
      {"a plain path", "/usr/bin/t\n", M1 + "  usr/bin/t\n", "/usr/bin/t",
       "t " + M1, "t"},
      {"a path with spaces", "/usr/share/t/a b  c\n",
       M1 + "  usr/share/t/a b  c\n", "/usr/share/t/a b  c", "t " + M1, "t"},
      {"a path that ends in a blank", "/usr/share/t/x \n",
       M1 + "  usr/share/t/x \n", "/usr/share/t/x ", "t " + M1, "t"},
      {"the root entry is no claim", "/.\n/usr\n", "", "/", "-", "-"},
      {"the root entry is not \"/\" either", "/.\n", "", "/.", "-", "-"},
      {"empty lines are skipped", "\n\n/usr/x\n\n", "", "", "-", "-"},
      {"a digest for another path", "/usr/x\n", M1 + "  usr/y\n", "/usr/x", "t",
       "t"},
      {"a digest line with one blank", "/usr/x\n", M1 + " usr/x\n", "/usr/x",
       "t " + M1, "t"},
      {"a digest line cut short", "/usr/x\n", M1 + " \n", "/usr/x", "t", "t"},
      {"a digest line of blanks after the digest", "/usr/x\n",
       M1 + "     \n" + M2 + "  usr/x\n", "/usr/x", "t " + M2, "t"},
      {"a digest too short", "/usr/x\n", "1234  usr/x\n", "/usr/x", "t", "t"},
      {"no final newline", "/usr/x\n/usr/y", M1 + "  usr/y", "/usr/y",
       "t " + M1, "t"},
      // "usr/x" once read as "/sr/x".
      {"a path not absolute is no claim", "usr/x\n", M1 + "  sr/x\n", "/sr/x",
       "-", "-"},
      {"nor is one not absolute", "usr/x\n", "", "usr/x", "-", "-"},
  };
  for (const auto &c : cases) {
    pkg_fake f;
    f.pf_status = para("t", "1");
    f.pf_lists["t"] = c.list;
    f.pf_md5sums["t"] = c.sums;
    pkg_db *db = open(f);
    ASSERT_NE(nullptr, db);
    EXPECT_EQ(c.want_nodigest, claims_text(db, c.path, false)) << c.what;
    EXPECT_EQ(c.want, claims_text(db, c.path)) << c.what;
  }
}

// Paths are host paths: a package's path through a directory that is a
// link under the root is claimed where the link leads, a diverted path
// where the diversion put it, and a directory by every package that lists
// it, in the status file's order.
TEST_F(PkgRecords, HostPaths) {
  pkg_fake_put(root_, "/usr/lib/.keep", "");
  pkg_fake_put(root_, "/usr/bin/.keep", "");
  ASSERT_EQ(0, symlink("usr/bin", (root_ + "/bin").c_str()));
  ASSERT_EQ(0, symlink("../../usr/lib", (root_ + "/usr/bin/lib").c_str()));
  pkg_fake f;
  f.pf_status = para("a", "1") + "\n" + para("b", "1") + "\n" +
                para("dv", "1") + "\n" + para("own", "1");
  f.pf_lists["a"] =
      "/bin\n/bin/sh\n/bin/lib/x.so\n/usr/bin/../lib/y\n"
      "/usr/./bin/z\n/usr/share/doc\n";
  f.pf_lists["b"] = "/usr/share/doc\n/usr/bin/tool\n/usr/sbin/own\n";
  f.pf_lists["dv"] = "/usr/bin/tool\n";
  f.pf_lists["own"] = "/usr/sbin/own\n";
  f.pf_md5sums["b"] = M1 + "  usr/bin/tool\n";
  f.pf_md5sums["dv"] = M2 + "  usr/bin/tool\n";
  // dv diverts b's tool; the administrator (":") diverts own's file; own
  // diverting its own file leaves it where it is.
  f.pf_diversions =
      "/usr/bin/tool\n/usr/bin/tool.b\ndv\n"
      "/usr/sbin/own\n/usr/sbin/own.orig\n:\n";
  pkg_db *db = open(f);
  ASSERT_NE(nullptr, db);
  const struct {
    const char *path, *want;
  } cases[] = {
      {"/usr/bin", "-"},      {"/bin", "a"},
      {"/usr/bin/sh", "a"},   {"/bin/sh", "-"},
      {"/usr/lib/x.so", "a"}, {"/usr/lib/y", "a"},
      {"/usr/bin/z", "a"},    {"/usr/share/doc", "a, b"},
      {"/usr/sbin/own", "-"}, {"/usr/sbin/own.orig", "b, own"},
  };
  for (const auto &c : cases)
    EXPECT_EQ(c.want, claims_text(db, c.path, false)) << c.path;
  // The diverted file keeps the digest its package lists under its own
  // name.
  EXPECT_EQ("b " + M1, claims_text(db, "/usr/bin/tool.b"));
  EXPECT_EQ("dv " + M2, claims_text(db, "/usr/bin/tool"));
  EXPECT_EQ("/usr/bin/sh", pkg_canon(db, "/bin/sh"));
  EXPECT_EQ("/bin", pkg_canon(db, "/bin"));  // the last name is the path's own
}

// The records a nightly run kept: what a removed or replaced version
// shipped, from the newest records that hold that version.
TEST_F(PkgRecords, KeptRecords) {
  pkg_fake f;
  f.pf_status = para("a", "2");
  fake_kept newer, older;
  newer.fk_file = "newer.pkg";
  newer.fk_status = para("a", "1.5") + "\n" + para("c", "1") + "\n" +
                    para("p", "1", "deinstall ok config-files");
  newer.fk_lists = {{"a", "/usr/a15\n"}, {"c", "/usr/c\n"}, {"p", "/etc/p\n"}};
  older.fk_file = "older.pkg";
  older.fk_status = para("a", "1") + "\n" + para("c", "1");
  older.fk_lists = {{"a", "/usr/a1\n"}, {"c", "/usr/c-old\n"}};
  f.pf_kept = {newer, older};
  pkg_db *db = open(f);
  ASSERT_NE(nullptr, db);
  EXPECT_TRUE(pkg_kept_any(db));
  const struct {
    const char *action, *name, *old_version, *path;
    int want;
    const char *file;
  } cases[] = {
      {"upgrade", "a", "1.5", "/usr/a15", 1, "newer.pkg"},
      {"upgrade", "a", "1.5", "/usr/a1", 0, "newer.pkg"},
      {"upgrade", "a", "1", "/usr/a1", 1, "older.pkg"},
      {"upgrade", "a", "0.9", "/usr/a1", -1, ""},
      {"remove", "c", "1", "/usr/c", 1, "newer.pkg"},
      // The newest records that hold c 1 decide, though older ones say
      // otherwise.
      {"remove", "c", "1", "/usr/c-old", 0, "newer.pkg"},
      {"remove", "gone", "1", "/usr/c", -1, ""},
      // Configuration files alone: only a purge accounts for them.
      {"purge", "p", "1", "/etc/p", 1, "newer.pkg"},
      {"remove", "p", "1", "/etc/p", -1, ""},
  };
  for (const auto &c : cases) {
    pkg_op op;
    op.po_when = 0;
    op.po_action = c.action;
    op.po_name = c.name;
    op.po_old = c.old_version;
    std::string file = "junk";
    int r = pkg_kept_shipped(db, op, c.path, &file);
    EXPECT_EQ(c.want, r) << c.action << " " << c.name << " " << c.path;
    if (r >= 0) {
      EXPECT_EQ(c.file, file) << c.action << " " << c.name << " " << c.path;
    }
  }
}

// The fake reads as pkg_open reads the same texts from files under a
// root, and pkg_save keeps what a later pkg_open reads as kept records.
TEST_F(PkgRecords, FilesReadAsTexts) {
  pkg_fake f;
  f.pf_status = para("a", "1", "install ok installed", "amd64") +
                "Conffiles:\n /etc/a.conf " + M1 + "\n\n" +
                para("c", "1", "deinstall ok config-files");
  f.pf_lists["a:amd64"] = "/usr/bin/a\n/etc/a.conf\n/usr/share/a b\n";
  f.pf_lists["c"] = "/etc/c\n";
  f.pf_md5sums["a:amd64"] = M2 + "  usr/bin/a\n" + M3 + "  usr/share/a b\n";
  f.pf_diversions = "/usr/share/a b\n/usr/share/a b.moved\nz\n";
  f.pf_statoverride = "#0 #4 2755 /usr/bin/a\n";
  f.pf_log = "2026-01-02 10:00:00 upgrade a:amd64 0.9 1\n";
  const char *paths[] = {"/usr/bin/a", "/etc/a.conf", "/usr/share/a b",
                         "/usr/share/a b.moved", "/etc/c"};
  std::vector<std::string> fake_said;
  pkg_db *db = open(f);
  ASSERT_NE(nullptr, db);
  for (const char *p : paths)
    fake_said.push_back(claims_text(db, p));

  std::string dpkg = "/var/lib/dpkg";
  pkg_fake_put(root_, dpkg + "/status", f.pf_status);
  pkg_fake_put(root_, dpkg + "/info/a:amd64.list", f.pf_lists["a:amd64"]);
  pkg_fake_put(root_, dpkg + "/info/c.list", f.pf_lists["c"]);
  pkg_fake_put(root_, dpkg + "/info/a:amd64.md5sums", f.pf_md5sums["a:amd64"]);
  pkg_fake_put(root_, dpkg + "/diversions", f.pf_diversions);
  pkg_fake_put(root_, dpkg + "/statoverride", f.pf_statoverride);
  pkg_fake_put(root_, "/var/log/dpkg.log", f.pf_log);
  std::string err;
  pkg_db *disk = pkg_open(root_.c_str(), nullptr, {}, &err);
  ASSERT_NE(nullptr, disk) << err;
  for (size_t i = 0; i < sizeof paths / sizeof paths[0]; i++)
    EXPECT_EQ(fake_said[i], claims_text(disk, paths[i])) << paths[i];
  uint16_t perm = 0;
  uint32_t uid = 9, gid = 9;
  EXPECT_TRUE(pkg_override(disk, "/usr/bin/a", &perm, &uid, &gid));
  EXPECT_EQ(02755, perm);
  EXPECT_EQ(4u, gid);
  EXPECT_EQ(1u, pkg_ops(disk, INT64_MIN, INT64_MAX).size());
  pkg_close(disk);

  // Kept, then the package gone from the host: the kept copy still says
  // what version 1 shipped, and the descriptions are not kept.
  std::string kept = root_ + "/kept.pkg";
  ASSERT_TRUE(pkg_save(root_.c_str(), kept.c_str(), &err)) << err;
  pkg_fake_put(root_, dpkg + "/status", para("z", "1"));
  disk = pkg_open(root_.c_str(), nullptr, {kept}, &err);
  ASSERT_NE(nullptr, disk) << err;
  pkg_op op{0, "remove", "a", "1", ""};
  std::string file;
  EXPECT_EQ(1, pkg_kept_shipped(disk, op, "/usr/share/a b.moved", &file));
  EXPECT_EQ(kept, file);
  EXPECT_EQ(1, pkg_kept_shipped(disk, op, "/etc/a.conf", &file));
  EXPECT_EQ(0, pkg_kept_shipped(disk, op, "/usr/share/a b", &file));
  EXPECT_EQ(std::string::npos,
            disk->pd_kept[0]->pd_texts.front().find("Description"));
  pkg_close(disk);
}
