// The verdicts of the explanation engine, over package records built in
// memory: each row a path as two snapshots hold it, each checked with the
// records alone (dpkg), with the packages' archives (archive) and with
// records kept with the older snapshot (kept).
#include "explain/explain.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "db/print.h"
#include "explain/explain_int.h"
#include "sha1/sha1.h"
#include "sha256/sha256.h"
#include "testutil/pkg_fake.h"
#include "testutil/testutil.h"

namespace {

// A record as a snapshot holds it: a regular file's contents or a link's
// target in data.
struct rec_want {
  uint16_t mode;
  uint32_t uid, gid;
  std::string data;
};

const uint16_t F_REG = S_IFREG, F_LNK = S_IFLNK, F_DIR = S_IFDIR;

db_rec
rec_of(const rec_want &s, uint64_t ino)
{
  db_rec r;
  memset(&r, 0, sizeof r);
  r.ino = ino;
  r.mode = s.mode;
  r.links = 1;
  r.uid = s.uid;
  r.gid = s.gid;
  r.ctime = 1767225600;
  r.size = int64_t(s.data.size());
  sha_buf(s.data.data(), int32_t(s.data.size()), r.csum);
  r.mask = uint16_t(DB_ALL);
  return r;
}

// The contents of the files of the packages, as the versions ship them.
const char *const A_TOOL_10 = "tool a 1.0\n", *const A_TOOL = "tool a 1.1\n",
                  *const A_DATA = "data a 1.1\n", *const A_CONF = "setting=1\n",
                  *const A_CONF2 = "other=2\n", *const S_NEW = "s new\n",
                  *const D_TOOL = "d 2\n", *const DV_TOOL = "wrapper\n",
                  *const T_TROJAN = "trojan\n", *const T_CONF = "t=1\n",
                  *const T_EVIL_CONF = "evil=1\n", *const G_OLD = "g 1.0\n";

enum level { DPKG, ARCHIVE, KEPT };

// The records of the host after a day of package operations: a upgraded
// from 1.0 to 1.1, s installed, c removed (its configuration file left),
// d upgraded with its tool diverted by dv, m upgraded through a merged
// /bin; b upgraded the day before, outside the window. At the archive
// level every version operated on has its archive at hand; at the kept
// level the records kept before the day say what a 1.0 and c 1.0 shipped.
pkg_fake
world(const std::string &root, level lv)
{
  pkg_fake f;
  f.pf_root = root;
  auto para = [](const char *name, const char *version,
                 const char *status = "install ok installed") {
    return std::string("Package: ") + name + "\nStatus: " + status +
           "\nArchitecture: amd64\nVersion: " + version + "\n";
  };
  f.pf_status =
      para("a", "1.1") + "Conffiles:\n /etc/a.conf " + fake_md5_hex(A_CONF) +
      "\n /etc/a2.conf " + fake_md5_hex(A_CONF2) + "\n\n" + para("b", "2.0") +
      "\n" + para("s", "1.0") + "\n" +
      para("c", "1.0", "deinstall ok config-files") +
      "Conffiles:\n /etc/c.conf " + fake_md5_hex("c\n") + "\n\n" +
      para("d", "2") + "\n" + para("dv", "1") + "\n" + para("m", "1") + "\n" +
      para("t", "1.1") + "Conffiles:\n /etc/t.conf " +
      fake_md5_hex(T_EVIL_CONF) + "\n\n" + para("r", "1.0") + "\n" +
      para("h", "2.0~local") + "\n" + para("g", "1.0");
  f.pf_lists["a"] =
      "/.\n/etc\n/etc/a.conf\n/etc/a2.conf\n/usr\n/usr/bin\n"
      "/usr/bin/a-tool\n/usr/bin/a-mail\n/usr/share\n"
      "/usr/share/a\n/usr/share/a/data\n/usr/share/a/script\n"
      "/usr/share/a/owned\n/usr/share/a/link\n/usr/lib\n"
      "/usr/lib/a\n/usr/lib/a/new-helper\n";
  f.pf_md5sums["a"] = fake_md5_hex(A_TOOL) + "  usr/bin/a-tool\n" +
                      fake_md5_hex("mail\n") + "  usr/bin/a-mail\n" +
                      fake_md5_hex(A_DATA) + "  usr/share/a/data\n" +
                      fake_md5_hex("script\n") + "  usr/share/a/script\n" +
                      fake_md5_hex("owned\n") + "  usr/share/a/owned\n" +
                      fake_md5_hex("helper\n") + "  usr/lib/a/new-helper\n";
  f.pf_lists["b"] = "/usr/bin/b-tool\n";
  f.pf_md5sums["b"] = fake_md5_hex("b\n") + "  usr/bin/b-tool\n";
  f.pf_lists["s"] = "/usr/bin/s-new\n/usr/bin/s-gid\n";
  f.pf_md5sums["s"] = fake_md5_hex(S_NEW) + "  usr/bin/s-new\n" +
                      fake_md5_hex(S_NEW) + "  usr/bin/s-gid\n";
  f.pf_lists["c"] = "/etc/c.conf\n";
  f.pf_lists["d"] = "/usr/bin/d-tool\n";
  f.pf_md5sums["d"] = fake_md5_hex(D_TOOL) + "  usr/bin/d-tool\n";
  f.pf_lists["dv"] = "/usr/bin/d-tool\n";
  f.pf_md5sums["dv"] = fake_md5_hex(DV_TOOL) + "  usr/bin/d-tool\n";
  f.pf_lists["m"] = "/bin/m-tool\n";
  f.pf_md5sums["m"] = fake_md5_hex("m\n") + "  bin/m-tool\n";
  // t's records were rewritten by an intruder to agree with a trojan, a
  // planted library and an edited conffile; r was reinstalled from a
  // trojan built at its version; h is a local build no index lists; g was
  // taken back to an older version.
  f.pf_lists["t"] = "/usr/bin/t-tool\n/usr/lib/t/libevil.so\n/etc/t.conf\n";
  f.pf_md5sums["t"] = fake_md5_hex(T_TROJAN) + "  usr/bin/t-tool\n" +
                      fake_md5_hex(T_TROJAN) + "  usr/lib/t/libevil.so\n";
  f.pf_lists["r"] = "/usr/bin/r-tool\n";
  f.pf_md5sums["r"] = fake_md5_hex(T_TROJAN) + "  usr/bin/r-tool\n";
  f.pf_lists["h"] = "/usr/bin/h-tool\n/usr/share/hg\n";
  f.pf_md5sums["h"] = fake_md5_hex(T_TROJAN) + "  usr/bin/h-tool\n";
  f.pf_lists["g"] = "/usr/bin/g-tool\n/usr/share/hg\n";
  f.pf_md5sums["g"] = fake_md5_hex(G_OLD) + "  usr/bin/g-tool\n";
  f.pf_diversions = "/usr/bin/d-tool\n/usr/bin/d-tool.distrib\ndv\n";
  f.pf_statoverride = "root #50 2755 /usr/bin/a-mail\n";
  f.pf_alternatives["editor"] =
      "auto\n/usr/bin/editor\n\n/usr/bin/a-tool\n"
      "50\n\n";
  f.pf_alternatives["pager"] =
      "auto\n/usr/bin/pager\n\n/usr/bin/a-tool\n50\n/opt/evil\n60\n\n";
  f.pf_log =
      "2026-01-01 09:00:00 upgrade b:amd64 1.0 2.0\n"
      "2026-01-02 10:00:00 upgrade a:amd64 1.0 1.1\n"
      "2026-01-02 10:00:01 install s:amd64 <none> 1.0\n"
      "2026-01-02 10:00:02 remove c:amd64 1.0 <none>\n"
      "2026-01-02 10:00:03 upgrade d:amd64 1 2\n"
      "2026-01-02 10:00:04 upgrade m:amd64 0.9 1\n"
      "2026-01-02 10:00:05 upgrade t:amd64 1.0 1.1\n"
      "2026-01-02 10:00:06 upgrade r:amd64 1.0 1.0\n"
      "2026-01-02 10:00:07 upgrade h:amd64 1.0 2.0~local\n"
      "2026-01-02 10:00:08 upgrade g:amd64 1.1 1.0\n";
  pkg_fake_put(root, "/etc/passwd", "root:x:0:0::/root:/bin/sh\n");
  pkg_fake_put(root, "/usr/bin/.keep", "");
  symlink("usr/bin", (root + "/bin").c_str());
  if (lv == ARCHIVE) {
    const uint16_t R = F_REG | 0644, X = F_REG | 0755;
    f.pf_archives = {
        {"a",
         "1.1",
         "amd64",
         {{"/etc/a.conf", R, 0, 0, A_CONF},
          {"/etc/a2.conf", R, 0, 0, A_CONF2},
          {"/usr/bin/a-tool", X, 0, 0, A_TOOL},
          {"/usr/bin/a-mail", X, 0, 0, "mail\n"},
          {"/usr/share/a/data", R, 0, 0, A_DATA},
          {"/usr/share/a/script", X, 0, 0, "script\n"},
          {"/usr/share/a/owned", R, 0, 0, "owned\n"},
          {"/usr/share/a/link", F_LNK | 0777, 0, 0, "data"},
          {"/usr/lib/a", F_DIR | 0755, 0, 0, ""},
          {"/usr/lib/a/new-helper", X, 0, 0, "helper\n"}}},
        {"a",
         "1.0",
         "amd64",
         {{"/usr/bin/a-tool", X, 0, 0, A_TOOL_10},
          {"/usr/share/a/old-file", R, 0, 0, "old\n"}}},
        {"s",
         "1.0",
         "amd64",
         {{"/usr/bin/s-new", X, 0, 0, S_NEW},
          {"/usr/bin/s-gid", X, 0, 0, S_NEW}}},
        {"c",
         "1.0",
         "amd64",
         {{"/etc/c.conf", R, 0, 0, "c\n"},
          {"/usr/share/c/file", R, 0, 0, "file of c\n"}}},
        {"d", "2", "amd64", {{"/usr/bin/d-tool", X, 0, 0, D_TOOL}}},
        {"m", "1", "amd64", {{"/bin/m-tool", X, 0, 0, "m\n"}}},
        {"t",
         "1.1",
         "amd64",
         {{"/usr/bin/t-tool", X, 0, 0, "tool t\n"},
          {"/etc/t.conf", R, 0, 0, T_CONF}}},
        {"r", "1.0", "amd64", {{"/usr/bin/r-tool", X, 0, 0, "tool r\n"}}},
        {"g",
         "1.0",
         "amd64",
         {{"/usr/bin/g-tool", X, 0, 0, G_OLD},
          {"/usr/share/hg", F_DIR | 0755, 0, 0, ""}}},
    };
  }
  if (lv == KEPT) {
    fake_kept k;
    k.fk_file = "older.pkg";
    k.fk_status = para("a", "1.0") + "\n" + para("c", "1.0");
    k.fk_lists = {{"a", "/usr/bin/a-tool\n/usr/share/a/old-file\n"},
                  {"c", "/etc/c.conf\n/usr/share/c/file\n"}};
    f.pf_kept = {k};
  }
  return f;
}

// A verdict in one line: verdict, evidence, package and version, "<" the
// version before, the kept records, the other path of a move, and after
// ": " what was expected.
std::string
verdict_text(const xp_path &p, const std::string &root)
{
  std::string s = std::string(XP_VERDICT_WORDS[p.xp_verdict]) + " " +
                  XP_EVIDENCE_WORDS[p.xp_evidence];
  if (!p.xp_package.empty())
    s += " " + p.xp_package;
  if (!p.xp_version.empty())
    s += " " + p.xp_version;
  if (!p.xp_older.empty())
    s += " <" + p.xp_older;
  if (!p.xp_kept.empty())
    s += " kept " + p.xp_kept;
  if (!p.xp_peer.empty())
    s += " peer " + p.xp_peer.substr(root.size());
  if (!p.xp_expected.empty())
    s += ": " + p.xp_expected;
  return s;
}

class XpExplain : public TmpDirTest {
 protected:
  void SetUp() override
  {
    TmpDirTest::SetUp();
    root_ = dir_ + "/root";
    from_ = pkg_fake_time("2026-01-02 00:00:00");
    to_ = pkg_fake_time("2026-01-03 00:00:00");
    // The newer snapshot records the whole root but /opt/evil, a place
    // the policy does not watch.
    recorded_ = [this](const std::string &name) {
      return name.compare(0, root_.size() + 1, root_ + "/") == 0 &&
             name != root_ + "/opt/evil";
    };
  }
  // The verdicts of paths under the world at level lv; none, with a
  // failure added, when the records cannot be made.
  std::vector<xp_path> explain(level lv, std::vector<xp_path> paths)
  {
    std::string err;
    pkg_db *db = pkg_fake_open(world(root_, lv), &err);
    EXPECT_NE(nullptr, db) << err;
    if (db == nullptr)
      return {};
    xp_notes notes;
    xp_explain(db, root_, from_, to_, recorded_, &paths, &notes);
    EXPECT_TRUE(notes.xn_failed.empty()) << notes.xn_failed[0];
    notes_ = notes;
    pkg_close(db);
    return paths;
  }
  // One path: changed (older and newer), new (newer) or deleted (older);
  // a regular file's newer contents are put on disk.
  xp_path path_of(const std::string &host, const rec_want *older,
                  const rec_want *newer)
  {
    xp_path p;
    p.xp_name = host[0] == '/' ? root_ + host : host.substr(1);
    p.xp_kind = older == nullptr   ? DB_KIND_NEW
                : newer == nullptr ? DB_KIND_DELETED
                                   : DB_KIND_CHANGED;
    uint64_t ino = std::hash<std::string>()(host) & 0xffffff;
    if (older != nullptr)
      p.xp_recs[0] = rec_of(*older, ino);
    if (newer != nullptr) {
      p.xp_recs[older != nullptr ? 1 : 0] = rec_of(*newer, ino);
      if (S_ISREG(newer->mode) && host[0] == '/')
        pkg_fake_put(root_, host, newer->data);
    }
    return p;
  }
  // What a path a rule explained must be, whatever the rule: rewritten as
  // it was, or giving nobody a set-ID bit or a mode writable by others and,
  // for a regular file, holding what some archive ships.
  void rule_holds(const xp_path &p, const std::string &host, const pkg_fake &f)
  {
    const db_rec *now = xp_now(p);
    std::string at = host + " by rule " + p.xp_rule;
    if (strcmp(p.xp_rule, "unchanged") == 0) {
      EXPECT_EQ(DB_INO, db_rec_diff(&p.xp_recs[0], now)) << at;
      return;
    }
    if (!S_ISLNK(now->mode)) {
      EXPECT_EQ(0, now->mode & (S_ISUID | S_ISGID | S_IWOTH)) << at;
    }
    if (!S_ISREG(now->mode))
      return;
    bool shipped = false;
    for (const fake_archive &ar : f.pf_archives)
      for (const fake_afile &af : ar.fr_files)
        shipped |= memcmp(rec_of({af.fa_mode, 0, 0, af.fa_data}, 1).csum,
                          now->csum, DB_SUM_LEN) == 0;
    EXPECT_TRUE(shipped) << at;
  }
  std::string root_;
  int64_t from_ = 0, to_ = 0;
  xp_recorded_fn recorded_;  // what the newer snapshot records besides
  xp_notes notes_;           // the last run's
};

// Each row: one path, how the snapshots hold it, and its verdict at each
// level ("" at the kept level for the same as at the dpkg level).
struct verdict_row {
  const char *what;
  std::string path;  // a host path under the root; "!" before one outside
  const rec_want *older, *newer;
  std::string dpkg, archive, kept;
  // PLAIN, or what sets the row apart: the file has changed on disk since
  // the newer snapshot; the newer record's extension holds a SHA-256 that is
  // not the contents', or an extended attribute the older had not.
  enum { PLAIN, CHANGED_SINCE, WRONG_SHA256, NEW_XATTR } special;
  // NEW_XATTR on a new path: the attribute on the path as it came.
};

}  // namespace

TEST_F(XpExplain, Verdicts) {
  const uint16_t R = F_REG | 0644, X = F_REG | 0755;
  const rec_want tool10{X, 0, 0, A_TOOL_10}, tool{X, 0, 0, A_TOOL};
  const rec_want data{R, 0, 0, A_DATA}, tampered{R, 0, 0, "tampered\n"};
  const rec_want data_666{F_REG | 0666, 0, 0, A_DATA};
  const rec_want script10{R, 0, 0, "script 1.0\n"}, script{X, 0, 0, "script\n"};
  const rec_want owned{R, 0, 0, "owned\n"},
      owned_user{R, 1000, 1000, "owned\n"};
  const rec_want helper{X, 0, 0, "helper\n"};
  const rec_want s_new_suid{F_REG | 04755, 0, 0, S_NEW};
  const std::string only_archive =
      " (only the archive of s 1.0 can account for a set-user-ID or "
      "set-group-ID bit)";
  const rec_want s_new_sgid{F_REG | 02755, 0, 0, S_NEW};
  const rec_want s_new{X, 0, 0, S_NEW};
  const rec_want conf{R, 0, 0, A_CONF}, conf_edit{R, 0, 0, "setting=2\n"};
  const rec_want conf2_old{R, 0, 0, "other=1\n"}, conf2{R, 0, 0, A_CONF2};
  const rec_want c_file{R, 0, 0, "file of c\n"}, old_file{R, 0, 0, "old\n"};
  const rec_want d1{X, 0, 0, "d 1\n"}, d2{X, 0, 0, D_TOOL};
  const rec_want dv_old{X, 0, 0, "old wrapper\n"}, dv{X, 0, 0, DV_TOOL};
  const rec_want mail{X, 0, 0, "mail\n"},
      mail_sgid{F_REG | 02755, 0, 50, "mail\n"};
  const rec_want mail_other{F_REG | 02755, 0, 51, "mail\n"};
  const rec_want mail_suid{F_REG | 06755, 0, 50, "mail\n"};
  const rec_want ed_link{F_LNK | 0777, 0, 0, "/etc/alternatives/editor"};
  const rec_want alt_link{F_LNK | 0777, 0, 0, "/usr/bin/a-tool"};
  const rec_want evil_link{F_LNK | 0777, 0, 0, "/tmp/evil"};
  const rec_want link_old{F_LNK | 0777, 0, 0, "old-data"};
  const rec_want link{F_LNK | 0777, 0, 0, "data"};
  const rec_want state1{R, 0, 0, "status 1\n"}, state2{R, 0, 0, "status 2\n"};
  const rec_want intruder{X, 0, 0, "#!/bin/sh\n"};
  const rec_want b_old{X, 0, 0, "b old\n"}, b{X, 0, 0, "b\n"};
  const rec_want m0{X, 0, 0, "m 0.9\n"}, m{X, 0, 0, "m\n"};
  const std::string no_op = ": an install, upgrade or reinstall of ";
  auto claim = [](const char *pkg, const char *version) {
    return std::string(": the archive of ") + pkg + " " + version +
           ", listed by a signed index (none at hand)";
  };
  const std::string A11 = claim("a", "1.1");
  const std::string back = ": no downgrade: g went back from 1.1 to 1.0";
  const rec_want evil_pager{F_LNK | 0777, 0, 0, "/opt/evil"};
  const rec_want t_old{X, 0, 0, "tool t 1.0\n"}, trojan{X, 0, 0, T_TROJAN};
  const rec_want t_conf{R, 0, 0, T_CONF}, t_evil_conf{R, 0, 0, T_EVIL_CONF};
  const rec_want r_tool{X, 0, 0, "tool r\n"}, h_old{X, 0, 0, "tool h 1\n"};
  const rec_want g_new{X, 0, 0, "g 1.1\n"}, g_old{X, 0, 0, G_OLD};
  const rec_want hg_dir{F_DIR | 0755, 0, 0, "listing"};
  const std::string mode_as_before =
      " as before (only the archive or a stat override can account for a "
      "change)";
  const std::string gone_since =
      ": the file as the newer snapshot holds it (it has changed or gone "
      "since)";
  const std::string unproven =
      "a package operation proven by a verified archive between the "
      "snapshots (none)";
  const std::string no_x =
      "a file of a package that dpkg has records of (none is x)";
  const std::vector<verdict_row> rows = {
      // Vector 1 of the records an intruder can rewrite: whatever dpkg's
      // digests say is a claim, never the package's.
      {"a file of a logged upgrade, the package's contents", "/usr/bin/a-tool",
       &tool10, &tool, "claimed dpkg a 1.1 <1.0" + A11,
       "package archive a 1.1 <1.0", "", verdict_row::PLAIN},
      {"contents that are neither version's", "/usr/share/a/data", &data,
       &tampered,
       "unexplained dpkg a 1.1: the contents of a 1.1 (md5 " +
           fake_md5_hex(A_DATA) + ")",
       "unexplained archive a 1.1: the contents of a 1.1", "",
       verdict_row::PLAIN},
      {"a new file of a logged upgrade", "/usr/lib/a/new-helper", nullptr,
       &helper, "claimed dpkg a 1.1 <1.0" + A11, "package archive a 1.1 <1.0",
       "", verdict_row::PLAIN},
      {"the file changed on disk since the snapshot", "/usr/bin/a-tool",
       &tool10, &tool, "unexplained dpkg a 1.1" + gone_since,
       "package archive a 1.1 <1.0", "", verdict_row::CHANGED_SINCE},
      {"a mode changed, contents kept", "/usr/share/a/data", &data, &data_666,
       "unexplained dpkg a 1.1: mode 100644 and owner 0:0" + mode_as_before,
       "unexplained archive a 1.1: mode 100644 of a 1.1", "",
       verdict_row::PLAIN},
      {"a mode the new version ships", "/usr/share/a/script", &script10,
       &script,
       "unexplained dpkg a 1.1: mode 100644 and owner 0:0" + mode_as_before,
       "package archive a 1.1 <1.0", "", verdict_row::PLAIN},
      {"an owner changed", "/usr/share/a/owned", &owned, &owned_user,
       "unexplained dpkg a 1.1: mode 100644 and owner 0:0" + mode_as_before,
       "unexplained archive a 1.1: owner 0:0 of a 1.1", "", verdict_row::PLAIN},
      {"a new file of an install", "/usr/bin/s-new", nullptr, &s_new,
       "claimed dpkg s 1.0" + claim("s", "1.0"), "package archive s 1.0", "",
       verdict_row::PLAIN},
      // dpkg's records know no modes: a set-user-ID or set-group-ID bit on
      // a new file whose contents are the package's is the archive's to
      // vouch for, never theirs.
      {"set-user-ID on a new file of an install", "/usr/bin/s-new", nullptr,
       &s_new_suid, "unexplained dpkg s 1.0: mode 100755" + only_archive,
       "unexplained archive s 1.0: mode 100755 of s 1.0", "",
       verdict_row::PLAIN},
      {"set-group-ID on a new file of an install", "/usr/bin/s-gid", nullptr,
       &s_new_sgid, "unexplained dpkg s 1.0: mode 100755" + only_archive,
       "unexplained archive s 1.0: mode 100755 of s 1.0", "",
       verdict_row::PLAIN},
      {"a conffile edited", "/etc/a.conf", &conf, &conf_edit,
       "conffile dpkg a 1.1", "conffile archive a 1.1", "", verdict_row::PLAIN},
      {"a conffile as the upgrade shipped it", "/etc/a2.conf", &conf2_old,
       &conf2, "claimed dpkg a 1.1 <1.0" + A11, "package archive a 1.1 <1.0",
       "", verdict_row::PLAIN},
      {"a conffile of a removed package, edited", "/etc/c.conf", nullptr,
       &conf_edit, "conffile dpkg c", "conffile dpkg c", "",
       verdict_row::PLAIN},
      {"a file of a removed package, deleted", "/usr/share/c/file", &c_file,
       nullptr,
       "unexplained dpkg: what a 1.0, c 1.0, d 1, g 1.1, h 1.0, m 0.9, t 1.0 shipped (no archive at "
       "hand)",
       "package archive c <1.0",
       "claimed dpkg c <1.0 kept older.pkg" + claim("c", "1.0"),
       verdict_row::PLAIN},
      {"a file the upgrade dropped, deleted", "/usr/share/a/old-file",
       &old_file, nullptr,
       "unexplained dpkg: what a 1.0, c 1.0, d 1, g 1.1, h 1.0, m 0.9, t 1.0 shipped (no archive at "
       "hand)",
       "package archive a 1.1 <1.0",
       "claimed dpkg a 1.1 <1.0 kept older.pkg" + claim("a", "1.0"),
       verdict_row::PLAIN},
      {"a file still shipped, deleted", "/usr/share/a/data", &data, nullptr,
       "unexplained dpkg a 1.1: the path, which a 1.1 still ships",
       "unexplained dpkg a 1.1: the path, which a 1.1 still ships", "",
       verdict_row::PLAIN},
      {"a diverted file of an upgrade", "/usr/bin/d-tool.distrib", &d1, &d2,
       "claimed dpkg d 2 <1" + claim("d", "2"), "package archive d 2 <1", "",
       verdict_row::PLAIN},
      {"the diverting package's own file, no operation on it",
       "/usr/bin/d-tool", &dv_old, &dv,
       "unexplained dpkg dv 1" + no_op + "dv 1 between the snapshots (none)",
       "unexplained dpkg dv 1" + no_op + "dv 1 between the snapshots (none)",
       "", verdict_row::PLAIN},
      // Vector 5: a stat override gives what the archive does not (here a
      // set-group-ID bit and a group): the host's word, a claim.
      {"the mode and group a stat override sets", "/usr/bin/a-mail", &mail,
       &mail_sgid, "claimed dpkg a 1.1 <1.0" + A11,
       "claimed archive a 1.1 <1.0: mode 100755 and owner 0:0 of a 1.1 (only "
       "a stat override, the host's own record, gives more)",
       "", verdict_row::PLAIN},
      {"a group the stat override does not set", "/usr/bin/a-mail", &mail,
       &mail_other,
       "unexplained dpkg a 1.1: mode 100755 and owner 0:0" + mode_as_before,
       "unexplained archive a 1.1: mode 100755 of a 1.1", "",
       verdict_row::PLAIN},
      {"a set-user-ID bit besides the stat override's", "/usr/bin/a-mail",
       &mail, &mail_suid,
       "unexplained dpkg a 1.1: mode 100755 and owner 0:0" + mode_as_before,
       "unexplained archive a 1.1: mode 100755 of a 1.1", "",
       verdict_row::PLAIN},
      // The link an alternative's name is reached through, to that name as
      // the older snapshot holds it.
      {"a link the alternatives manage", "/usr/bin/editor", nullptr, &ed_link,
       "package snapshots (alternatives)", "package snapshots (alternatives)",
       "", verdict_row::PLAIN},
      // An alternative is explained only by the file it leads to being
      // verified in its package's archive.
      {"the alternative's name, to an alternative", "/etc/alternatives/editor",
       nullptr, &alt_link,
       "claimed dpkg (alternatives): a link to a file verified in its "
       "package's archive (/usr/bin/a-tool is not)",
       "package archive (alternatives)", "", verdict_row::PLAIN},
      // Vector 9: the alternatives' records forged to allow a program in a
      // place the policy does not watch, or one no package ships.
      {"an alternative to an unwatched program", "/etc/alternatives/pager",
       &alt_link, &evil_pager,
       "claimed dpkg (alternatives): a link to a file verified in its "
       "package's archive (/opt/evil is not)",
       "claimed dpkg (alternatives): a link to a file verified in its "
       "package's archive (/opt/evil is not)",
       "", verdict_row::PLAIN},
      {"the alternative's name, elsewhere", "/etc/alternatives/editor",
       &alt_link, &evil_link,
       "unexplained dpkg (alternatives): a link to an alternative the package "
       "manager has: /usr/bin/a-tool",
       "unexplained dpkg (alternatives): a link to an alternative the package "
       "manager has: /usr/bin/a-tool",
       "", verdict_row::PLAIN},
      {"a package's link, its target changed", "/usr/share/a/link", &link_old,
       &link,
       "unexplained dpkg a 1.1: the link target of a 1.1, which only its "
       "archive holds",
       "package archive a 1.1 <1.0", "", verdict_row::PLAIN},
      // dpkg's state counts only beside a path that a verified archive
      // explains (explain_own_test.cc), which this row has none of.
      {"dpkg's own state", "/var/lib/dpkg/status", &state1, &state2,
       "claimed dpkg (package manager): " + unproven,
       "claimed dpkg (package manager): " + unproven, "", verdict_row::PLAIN},
      // A maintainer script dropped into dpkg's directory is no state.
      {"a new file in dpkg's directory", "/var/lib/dpkg/info/x.postinst",
       nullptr, &intruder, "unexplained dpkg (package manager): " + no_x,
       "unexplained dpkg (package manager): " + no_x, "", verdict_row::PLAIN},
      {"a path no package claims", "/opt/intruder", nullptr, &intruder,
       "unexplained dpkg: a package that owns the path (none)",
       "unexplained dpkg: a package that owns the path (none)", "",
       verdict_row::PLAIN},
      {"a package's file, its operation before the window", "/usr/bin/b-tool",
       &b_old, &b,
       "unexplained dpkg b 2.0" + no_op + "b 2.0 between the snapshots (none)",
       "unexplained dpkg b 2.0" + no_op + "b 2.0 between the snapshots (none)",
       "", verdict_row::PLAIN},
      {"a package's path through a directory link", "/usr/bin/m-tool", &m0, &m,
       "claimed dpkg m 1 <0.9" + claim("m", "1"), "package archive m 1 <0.9",
       "", verdict_row::PLAIN},
      // Vectors 1 and 2: a trojan and a planted library that the rewritten
      // md5sums and list agree with; vector 6: a conffile edit whose digest
      // in the status file was rewritten.
      {"a trojan the rewritten md5sums agree with", "/usr/bin/t-tool", &t_old,
       &trojan, "claimed dpkg t 1.1 <1.0" + claim("t", "1.1"),
       "unexplained archive t 1.1: the contents of t 1.1", "",
       verdict_row::PLAIN},
      {"a library planted in the list and the md5sums", "/usr/lib/t/libevil.so",
       nullptr, &trojan, "claimed dpkg t 1.1 <1.0" + claim("t", "1.1"),
       "unexplained archive t 1.1: no such path in t 1.1's archive", "",
       verdict_row::PLAIN},
      {"a conffile edit, its digest rewritten", "/etc/t.conf", &t_conf,
       &t_evil_conf, "claimed dpkg t 1.1 <1.0" + claim("t", "1.1"),
       "conffile archive t 1.1", "", verdict_row::PLAIN},
      // Vector 3: a trojan built at the installed version and reinstalled;
      // the genuine reinstall beside it.
      {"a trojan reinstalled at the installed version", "/usr/bin/r-tool",
       &r_tool, &trojan, "claimed dpkg r 1.0 <1.0" + claim("r", "1.0"),
       "unexplained archive r 1.0: the contents of r 1.0", "",
       verdict_row::PLAIN},
      {"a reinstall as the archive has it", "/usr/bin/r-tool", &r_tool, &r_tool,
       "unexplained dpkg r 1.0: the contents of r 1.0 (md5 " +
           fake_md5_hex(T_TROJAN) + ")",
       "package archive r 1.0 <1.0", "", verdict_row::PLAIN},
      // Vector 4: a version built on the host, which no index lists.
      {"a local build no index lists", "/usr/bin/h-tool", &h_old, &trojan,
       "claimed dpkg h 2.0~local <1.0" + claim("h", "2.0~local"),
       "claimed dpkg h 2.0~local <1.0" + claim("h", "2.0~local"), "",
       verdict_row::PLAIN},
      // Of two claims that settle no better than a claim, the first.
      {"a directory two packages claim, neither verified", "/usr/share/hg",
       nullptr, &hg_dir,
       "claimed dpkg h 2.0~local <1.0" + claim("h", "2.0~local"),
       "claimed dpkg h 2.0~local <1.0" + claim("h", "2.0~local"), "",
       verdict_row::PLAIN},
      // Vector 11: a downgrade, whatever its archive says.
      {"a package taken back to an older version", "/usr/bin/g-tool", &g_new,
       &g_old, "downgraded dpkg g 1.0 <1.1" + back,
       "downgraded archive g 1.0 <1.1" + back, "", verdict_row::PLAIN},
      {"a path outside the root", "!/usr/bin/a-tool", &tool10, &tool,
       "unexplained dpkg: a path under ROOT",
       "unexplained dpkg: a path under ROOT", "", verdict_row::PLAIN},
      {"a SHA-256 in the snapshot that is not the contents'", "/usr/bin/a-tool",
       &tool10, &tool, "unexplained dpkg a 1.1" + gone_since,
       "unexplained archive a 1.1: the contents of a 1.1", "",
       verdict_row::WRONG_SHA256},
      {"an extended attribute added", "/usr/bin/a-tool", &tool, &tool,
       "unexplained dpkg a 1.1: the extended attributes as before (no package "
       "record accounts for a change of them)",
       "unexplained archive a 1.1: the extended attributes as before (no "
       "package record accounts for a change of them)",
       "", verdict_row::NEW_XATTR},
      {"a capability on a file just installed", "/usr/bin/a-tool", nullptr,
       &tool,
       "unexplained dpkg a 1.1: no extended attributes (no package record "
       "accounts for a capability, an ACL or a label on a new file)",
       "unexplained archive a 1.1: no extended attributes (no package "
       "record accounts for a capability, an ACL or a label on a new file)",
       "", verdict_row::NEW_XATTR},
  };
  for (const verdict_row &r : rows) {
    for (level lv : {DPKG, ARCHIVE, KEPT}) {
      xp_path p = path_of(r.path, r.older, r.newer);
      if (r.special == verdict_row::CHANGED_SINCE)
        pkg_fake_put(root_, r.path, "changed since\n");
      db_ext none{}, ext{};
      static const uint8_t xattr[] = {1, 2, 3};
      if (r.special == verdict_row::WRONG_SHA256) {
        sha256_buf("not the contents", 16, ext.sha256);
        p.xp_recs[1].mask |= DB_SHA256;
        p.xp_recs[1].ext = &ext;
      } else if (r.special == verdict_row::NEW_XATTR) {
        ext.xa = xattr;
        ext.xa_len = sizeof xattr;
        if (p.xp_kind == DB_KIND_NEW) {
          p.xp_recs[0].mask |= DB_XATTR;
          p.xp_recs[0].ext = &ext;
        } else {
          p.xp_recs[0].mask = p.xp_recs[1].mask |= DB_XATTR;
          p.xp_recs[0].ext = &none;
          p.xp_recs[1].ext = &ext;
        }
      }
      std::vector<xp_path> got = explain(lv, {p});
      ASSERT_EQ(1u, got.size()) << r.what;
      std::string want = lv == DPKG       ? r.dpkg
                         : lv == ARCHIVE  ? r.archive
                         : r.kept.empty() ? r.dpkg
                                          : r.kept;
      size_t at = want.find("ROOT");
      if (at != std::string::npos)
        want.replace(at, 4, root_);
      EXPECT_EQ(want, verdict_text(got[0], root_))
          << r.what << ", at the "
          << (lv == DPKG      ? "dpkg"
              : lv == ARCHIVE ? "archive"
                              : "kept")
          << " level";
    }
  }
}

// No package record at the dpkg level says a file is set-user-ID: such a
// bit on a new file stays unexplained until the archive shows it.
TEST_F(XpExplain, NewSetIdFileAtDpkgLevel) {
  const rec_want suid{F_REG | 04755, 0, 0, S_NEW},
      sgid{F_REG | 02755, 0, 0, S_NEW};
  for (const auto &c : {std::make_pair("/usr/bin/s-new", &suid),
                        std::make_pair("/usr/bin/s-gid", &sgid)}) {
    std::vector<xp_path> got =
        explain(DPKG, {path_of(c.first, nullptr, c.second)});
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(XP_UNEXPLAINED, got[0].xp_verdict) << c.first;
    EXPECT_EQ(XP_EV_DPKG, got[0].xp_evidence) << c.first;
    EXPECT_EQ("s", got[0].xp_package) << c.first;
  }
}

// The verdicts over more than one path: a deleted and a new path that are
// one object moved, and a directory whose listing changed only because
// its entries did.
TEST_F(XpExplain, MovesAndDirectories) {
  const uint16_t R = F_REG | 0644;
  const rec_want moveme{R, 0, 0, "move me\n"}, empty{R, 0, 0, ""};
  const rec_want data{R, 0, 0, A_DATA}, helper{F_REG | 0755, 0, 0, "helper\n"};
  const rec_want intruder{F_REG | 0755, 0, 0, "#!/bin/sh\n"};
  const rec_want c_file{R, 0, 0, "file of c\n"};
  const rec_want opt1{F_DIR | 0755, 0, 0, "listing 1"};
  const rec_want opt2{F_DIR | 0755, 0, 0, "listing 2"};
  const rec_want opt2_777{F_DIR | 0777, 0, 0, "listing 2"};
  const std::string untold =
      "unexplained dpkg: what a 1.0, c 1.0, d 1, g 1.1, h 1.0, m 0.9, t 1.0 "
      "shipped (no archive at hand)";
  struct one {
    std::string path;
    const rec_want *older, *newer;
    uint64_t ino;  // 0 for one of the path's own
    std::string want;
  };
  const struct {
    const char *what;
    std::vector<one> paths;
    level lv;
  } cases[] = {
      {"the same inode and contents",
       {{"/opt/moveme", &moveme, nullptr, 77,
         "moved snapshots peer /opt/moved"},
        {"/opt/moved", nullptr, &moveme, 77,
         "moved snapshots peer /opt/moveme"}},
       DPKG},
      {"the only pair with the same contents",
       {{"/opt/moveme", &moveme, nullptr, 0, "moved snapshots peer /opt/moved"},
        {"/opt/moved", nullptr, &moveme, 0,
         "moved snapshots peer /opt/moveme"}},
       DPKG},
      {"two pairs with the same contents, other inodes",
       {{"/opt/a", &moveme, nullptr, 0, untold},
        {"/opt/b", &moveme, nullptr, 0, untold},
        {"/opt/c", nullptr, &moveme, 0,
         "unexplained dpkg: a package that owns the path (none)"},
        {"/opt/d", nullptr, &moveme, 0,
         "unexplained dpkg: a package that owns the path (none)"}},
       DPKG},
      {"two empty files are no move",
       {{"/opt/e1", &empty, nullptr, 0, untold},
        {"/opt/e2", nullptr, &empty, 0,
         "unexplained dpkg: a package that owns the path (none)"}},
       DPKG},
      {"a path a package still ships is no half of a move",
       {{"/usr/share/a/data", &data, nullptr, 0,
         "unexplained dpkg a 1.1: the path, which a 1.1 still ships"},
        {"/opt/copy", nullptr, &data, 0,
         "unexplained dpkg: a package that owns the path (none)"}},
       DPKG},
      {"a directory whose entry a removal deleted",
       {{"/usr/share/c", &opt1, &opt2, 0, "package archive c <1.0"},
        {"/usr/share/c/file", &c_file, nullptr, 0, "package archive c <1.0"}},
       ARCHIVE},
      {"a directory whose entries moved",
       {{"/opt", &opt1, &opt2, 0, "package snapshots"},
        {"/opt/moveme", &moveme, nullptr, 0, "moved snapshots peer /opt/moved"},
        {"/opt/moved", nullptr, &moveme, 0,
         "moved snapshots peer /opt/moveme"}},
       DPKG},
      {"a directory whose entry is a claim",
       {{"/usr/lib/a", &opt1, &opt2, 0,
         "claimed dpkg a 1.1 <1.0: the archive of a 1.1, listed by a signed "
         "index (none at hand)"},
        {"/usr/lib/a/new-helper", nullptr, &helper, 0,
         "claimed dpkg a 1.1 <1.0: the archive of a 1.1, listed by a signed "
         "index (none at hand)"}},
       DPKG},
      {"a directory with an entry unexplained",
       {{"/opt", &opt1, &opt2, 0,
         "unexplained dpkg: a package that owns the path (none)"},
        {"/opt/intruder", nullptr, &intruder, 0,
         "unexplained dpkg: a package that owns the path (none)"}},
       DPKG},
      {"a directory whose mode changed too",
       {{"/usr/lib/a", &opt1, &opt2_777, 0,
         "unexplained dpkg a 1.1: mode 040755 and owner 0:0 as before (only "
         "the archive or a stat override can account for a change)"},
        {"/usr/lib/a/new-helper", nullptr, &helper, 0,
         "claimed dpkg a 1.1 <1.0: the archive of a 1.1, listed by a signed "
         "index (none at hand)"}},
       DPKG},
  };
  for (const auto &c : cases) {
    std::vector<xp_path> paths;
    for (const one &o : c.paths) {
      paths.push_back(path_of(o.path, o.older, o.newer));
      if (o.ino != 0)
        paths.back().xp_recs[0].ino = o.ino;
    }
    std::vector<xp_path> got = explain(c.lv, paths);
    ASSERT_EQ(c.paths.size(), got.size()) << c.what;
    for (size_t i = 0; i < got.size(); i++)
      EXPECT_EQ(c.paths[i].want, verdict_text(got[i], root_))
          << c.what << ": " << c.paths[i].path;
  }
}

// The status: 0 only when every path is a package's by its archive or a
// move and nothing went back to an older version; 2 when anything did not
// verify, whatever the verdicts.
TEST_F(XpExplain, Status) {
  const rec_want tool10{F_REG | 0755, 0, 0, A_TOOL_10},
      tool{F_REG | 0755, 0, 0, A_TOOL};
  std::vector<xp_path> got =
      explain(ARCHIVE, {path_of("/usr/bin/a-tool", &tool10, &tool)});
  ASSERT_EQ(1u, got.size());
  EXPECT_EQ(XP_PACKAGE, got[0].xp_verdict);
  // g's downgrade lies in the window: told, and the status is 1 even
  // though no path of g changed.
  ASSERT_EQ(1u, notes_.xn_downgrades.size());
  EXPECT_EQ("g", notes_.xn_downgrades[0].po_name);
  EXPECT_EQ(1, xp_status(got, notes_));
  xp_notes quiet;
  EXPECT_EQ(0, xp_status(got, quiet));
  got[0].xp_verdict = XP_CLAIMED;
  EXPECT_EQ(1, xp_status(got, quiet));
  quiet.xn_failed.push_back("x_InRelease: the signature does not verify");
  got[0].xp_verdict = XP_PACKAGE;
  EXPECT_EQ(2, xp_status(got, quiet));
}

// Whatever the snapshots hold, only a verified archive (or the snapshots
// themselves, for a move or the alternatives' own link) explains a path:
// at the dpkg and kept levels nothing of a package is explained, and at
// the archive level a path is a package's only with the archive's type,
// mode, owner and contents. Random records for every path the world
// knows, in rounds of one run each.
TEST_F(XpExplain, OnlyArchivesExplain) {
  std::mt19937 rng(29);
  const std::vector<std::string> datas = {
      A_TOOL_10, A_TOOL,   A_DATA, A_CONF, A_CONF2,   S_NEW,      D_TOOL,
      DV_TOOL,   T_TROJAN, T_CONF, G_OLD,  "mail\n",  "helper\n", "tool r\n",
      "data",    "",       "b\n",  "m\n",  "script\n"};
  const uint16_t modes[] = {F_REG | 0644,  F_REG | 0755, F_REG | 04755,
                            F_REG | 02755, F_REG | 0600, F_LNK | 0777,
                            F_DIR | 0755};
  std::vector<std::string> hosts;
  std::map<std::string, std::vector<fake_afile>> shipped;  // by host path
  for (const fake_archive &a : world(root_, ARCHIVE).pf_archives)
    for (const fake_afile &f : a.fr_files) {
      hosts.push_back(f.fa_path == "/bin/m-tool" ? "/usr/bin/m-tool"
                                                 : f.fa_path);
      shipped[hosts.back()].push_back(f);
    }
  hosts.insert(hosts.end(), {"/etc/alternatives/editor", "/usr/bin/editor",
                             "/etc/alternatives/pager", "/usr/lib/t/libevil.so",
                             "/usr/bin/h-tool", "/usr/share/hg"});
  std::sort(hosts.begin(), hosts.end());
  hosts.erase(std::unique(hosts.begin(), hosts.end()), hosts.end());
  auto pick = [&rng](size_t n) {
    return std::uniform_int_distribution<size_t>(0, n - 1)(rng);
  };
  size_t verified = 0;  // so that the test is not empty
  for (int round = 0; round < 12; round++) {
    for (level lv : {DPKG, KEPT, ARCHIVE}) {
      std::vector<rec_want> recs(2 * hosts.size());
      std::vector<xp_path> paths;
      for (size_t i = 0; i < hosts.size(); i++) {
        rec_want &o = recs[2 * i], &n = recs[2 * i + 1];
        o = {modes[pick(5)], 0, 0, datas[pick(datas.size())]};
        n = {modes[pick(std::size(modes))], uint32_t(pick(2) * 50),
             uint32_t(pick(2) * 50), datas[pick(datas.size())]};
        if (S_ISLNK(n.mode) && pick(2) == 0)
          n.data = pick(2) ? "/usr/bin/a-tool" : "/opt/evil";
        // Mostly what some archive ships there, one attribute off at times.
        auto at = shipped.find(hosts[i]);
        if (at != shipped.end() && pick(3) != 0) {
          const fake_afile &a = at->second[pick(at->second.size())];
          rec_want as{a.fa_mode, a.fa_uid, a.fa_gid, a.fa_data};
          switch (pick(6)) {
            case 0: as.mode = uint16_t(as.mode | 04000); break;
            case 1: as.uid = 1000; break;
            case 2: as.data += "x"; break;
            default: break;
          }
          n = as;
        }
        int kind = int(pick(3));
        paths.push_back(path_of(hosts[i], kind == 2 ? nullptr : &o,
                                kind == 1 ? nullptr : &n));
      }
      std::vector<xp_path> got = explain(lv, paths);
      ASSERT_EQ(paths.size(), got.size());
      pkg_fake f = world(root_, lv);
      for (const xp_path &p : got) {
        verified += p.xp_verdict == XP_PACKAGE &&
                    p.xp_evidence == XP_EV_ARCHIVE && lv == ARCHIVE;
        if (p.xp_verdict != XP_PACKAGE || p.xp_package == "(package manager)")
          continue;
        std::string host = p.xp_name.substr(root_.size());
        if (p.xp_rule != nullptr) {
          rule_holds(p, host, f);
          continue;
        }
        if (p.xp_evidence == XP_EV_SNAPSHOTS)
          continue;
        EXPECT_EQ(XP_EV_ARCHIVE, p.xp_evidence) << host << " at level " << lv;
        if (p.xp_kind == DB_KIND_DELETED || p.xp_package == "(alternatives)" ||
            S_ISDIR(xp_now(p)->mode))
          continue;
        const fake_afile *a = nullptr;
        for (const fake_archive &ar : f.pf_archives)
          for (const fake_afile &af : ar.fr_files)
            if (ar.fr_name == p.xp_package && ar.fr_version == p.xp_version &&
                (af.fa_path == host || "/usr" + af.fa_path == host))
              a = &af;
        ASSERT_NE(nullptr, a) << host << ": no archive of " << p.xp_package;
        const db_rec *now = xp_now(p);
        EXPECT_EQ(a->fa_mode, now->mode) << host;
        EXPECT_EQ(a->fa_uid, now->uid) << host;
        EXPECT_EQ(a->fa_gid, now->gid) << host;
        db_rec want = rec_of({a->fa_mode, 0, 0, a->fa_data}, 1);
        EXPECT_EQ(0, memcmp(want.csum, now->csum, DB_SUM_LEN)) << host;
      }
    }
  }
  EXPECT_GT(verified, 20u);
}

// A package the log says was operated on while a snapshot was being taken:
// its paths are marked, whatever their verdicts; a walk whose start is not
// known marks nothing.
TEST_F(XpExplain, DuringTheWalk) {
  const rec_want data{F_REG | 0644, 0, 0, A_DATA};
  std::string err;
  pkg_db *db = pkg_fake_open(world(root_, DPKG), &err);
  ASSERT_NE(nullptr, db) << err;
  const struct {
    const char *what;
    xp_walk older, newer;
    bool a, b;  // a's path marked, b's path marked
  } cases[] = {
      {"a's upgrade during the newer walk",
       {},
       {pkg_fake_time("2026-01-02 09:59:00"),
        pkg_fake_time("2026-01-02 10:00:00")},
       true,
       false},
      {"b's upgrade during the older walk",
       {pkg_fake_time("2026-01-01 08:00:00"),
        pkg_fake_time("2026-01-01 09:30:00")},
       {},
       false,
       true},
      {"no operation inside either walk",
       {pkg_fake_time("2026-01-01 10:00:00"),
        pkg_fake_time("2026-01-01 11:00:00")},
       {pkg_fake_time("2026-01-03 10:00:00"),
        pkg_fake_time("2026-01-03 11:00:00")},
       false,
       false},
      {"walks whose start is not known", {}, {}, false, false},
  };
  for (const auto &c : cases) {
    std::vector<xp_path> paths = {path_of("/usr/share/a/data", &data, nullptr),
                                  path_of("/usr/bin/b-tool", nullptr, &data)};
    paths[0].xp_package = "a";
    paths[1].xp_package = "b";
    xp_mark_during(db, c.older, c.newer, &paths);
    EXPECT_EQ(c.a, paths[0].xp_during) << c.what;
    EXPECT_EQ(c.b, paths[1].xp_during) << c.what;
  }
  pkg_close(db);
}
