// One comparison in process against the programs it stands in for: on the
// same snapshots and package records, nt_compare's list must be what
// kavcmp -x prints and its report what kavexplain prints, byte for byte,
// with kavexplain's status.
#include "kavnightly/triage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "db/db.h"
#include "db/print.h"
#include "sha1/sha1.h"
#include "testutil/dbfile.h"
#include "testutil/pkg_fake.h"
#include "testutil/testutil.h"

namespace {

// A path as a snapshot records it: a regular file of these contents, or
// a directory when data is null.
struct snap_ent {
  std::string path;
  const char *data;
  uint16_t perm;
};

void
write_snapshot(const std::string &name, const std::vector<snap_ent> &ents)
{
  db_handle *db = db_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  ASSERT_NE(nullptr, db) << name;
  uint64_t ino = 100;
  for (const snap_ent &e : ents) {
    db_rec r;
    memset(&r, 0, sizeof r);
    r.ino = ino++;
    r.links = 1;
    r.mode = uint16_t((e.data != nullptr ? S_IFREG : S_IFDIR) | e.perm);
    r.ctime = 1767348000;
    r.mask = DB_INO | DB_MODE | DB_UID | DB_GID | DB_SIZE | DB_CSUM | DB_CTIME;
    if (e.data != nullptr) {
      r.size = int64_t(strlen(e.data));
      sha_buf(e.data, int32_t(r.size), r.csum);
    }
    ASSERT_EQ(0, db_argput(db, e.path.c_str(), DB_REC_LEN, DB_KIND_SNAP,
                           rec_bytes(r).data()));
  }
  ASSERT_EQ(0, db_close(db));
}

const char TOOL_10[] = "tool 1.0\n", TOOL_11[] = "tool 1.1\n",
           DATA[] = "data\n", EVIL[] = "evil\n";

class NtCompare : public TmpDirTest {
 protected:
  void SetUp() override
  {
    TmpDirTest::SetUp();
    root_ = dir_ + "/root";
    // dpkg's records under the root, written as dpkg writes them: tool
    // upgraded from 1.0 to 1.1 during the day, its file on disk as 1.1
    // ships it.
    pkg_fake_put(root_, "/var/lib/dpkg/status",
                 "Package: tool\nStatus: install ok installed\n"
                 "Architecture: all\nVersion: 1.1\n\n");
    pkg_fake_put(root_, "/var/lib/dpkg/info/tool.list",
                 "/.\n/usr\n/usr/bin\n/usr/bin/tool\n");
    pkg_fake_put(root_, "/var/lib/dpkg/info/tool.md5sums",
                 fake_md5_hex(TOOL_11) + "  usr/bin/tool\n");
    pkg_fake_put(root_, "/var/log/dpkg.log",
                 "2026-01-02 10:00:05 upgrade tool:all 1.0 1.1\n");
    pkg_fake_put(root_, "/usr/bin/tool", TOOL_11);
    pkg_fake_put(root_, "/usr/bin/other", EVIL);
    ASSERT_EQ(0, mkdir(path("archives").c_str(), 0700));

    older_ = path("older.db");
    newer_ = path("newer.db");
    same_ = path("same.db");
    const std::vector<snap_ent> before = {
        {root_ + "/usr", nullptr, 0755},
        {root_ + "/usr/bin", nullptr, 0755},
        {root_ + "/usr/bin/tool", TOOL_10, 0755},
        {root_ + "/usr/bin/other", DATA, 0755},
        {root_ + "/usr/bin/gone", DATA, 0644},
    };
    write_snapshot(older_, before);
    write_snapshot(same_, before);
    write_snapshot(newer_, {
                               {root_ + "/usr", nullptr, 0755},
                               {root_ + "/usr/bin", nullptr, 0755},
                               {root_ + "/usr/bin/tool", TOOL_11, 0755},
                               {root_ + "/usr/bin/other", EVIL, 0755},
                               {root_ + "/usr/bin/new", DATA, 0600},
                           });
  }

  std::string root_, older_, newer_, same_;
};

// The window's options as kavexplain's command line and as the struct.
struct window_args {
  std::vector<std::string> argv;
  xp_window w;
};

window_args
window_of(const std::vector<std::string> &opts)
{
  window_args a;
  for (size_t i = 0; i < opts.size(); i += 2) {
    a.argv.push_back(opts[i]);
    if (opts[i] == "-f")
      continue;  // no argument; never used here: it would fetch
    a.argv.push_back(opts[i + 1]);
    std::string err;
    EXPECT_TRUE(xp_window_option(&a.w, opts[i][1], opts[i + 1].c_str(), &err))
        << err;
  }
  return a;
}

TEST_F(NtCompare, AsThePrograms) {
  std::string t = std::to_string(pkg_fake_time("2026-01-02 09:00:00")),
              tt = std::to_string(pkg_fake_time("2026-01-02 11:00:00"));
  const std::string missing = path("missing");
  pkg_fake_put(path("bare"), "/var/lib/dpkg/info/.keep", "");
  const struct {
    const char *name;
    bool same, explain;
    std::vector<std::string> opts;
    bool changed;
    int status;  // kavexplain's, where it ran
    bool stopped;
  } cases[] = {
      {"no change", true, false, {}, false, 0, false},
      {"no change, explained", true, true, {"-r", root_}, false, 0, false},
      // Nothing to triage: records that cannot be read do not matter.
      {"no change, no records", true, true, {"-r", missing}, false, 0, false},
      {"changes", false, false, {}, true, 0, false},
      {"changes explained in the window",
       false,
       true,
       {"-r", root_, "-a", path("archives"), "-t", t, "-T", tt},
       true,
       1,
       false},
      {"changes explained, times of the files",
       false,
       true,
       {"-r", root_},
       true,
       1,
       false},
      {"changes, root missing", false, true, {"-r", missing}, true, 2, true},
      {"changes, no status file",
       false,
       true,
       {"-r", path("bare")},
       true,
       2,
       true},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    const std::string &older = older_, &newer = c.same ? same_ : newer_;
    window_args a = window_of(c.opts);
    nt_result r;
    r.nr_list = r.nr_report = r.nr_stopped = "junk";
    r.nr_status = 99;
    std::string err;
    ASSERT_TRUE(nt_compare(older, newer, c.explain, a.w, &r, &err)) << err;

    prog_result cmp = run_prog({KAVCMP_PATH, "-x", older, newer}, dir_);
    ASSERT_EQ(0, cmp.status) << cmp.err;
    EXPECT_EQ(cmp.out, r.nr_list);
    EXPECT_EQ(c.changed, r.nr_changed);
    EXPECT_EQ(c.changed, !r.nr_list.empty());
    if (!c.explain || !c.changed) {
      EXPECT_EQ("", r.nr_report);
      EXPECT_EQ(0, r.nr_status);
      EXPECT_EQ("", r.nr_stopped);
      continue;
    }
    std::vector<std::string> argv = {KAVEXPLAIN_PATH};
    argv.insert(argv.end(), a.argv.begin(), a.argv.end());
    argv.push_back(older);
    argv.push_back(newer);
    prog_result xp = run_prog(argv, dir_);
    EXPECT_EQ(c.status, xp.status) << xp.err;
    EXPECT_EQ(xp.status, r.nr_status);
    EXPECT_EQ(xp.out, r.nr_report);
    if (c.stopped) {
      EXPECT_EQ("", r.nr_report);
      EXPECT_EQ(xp.err, r.nr_stopped + "\n");
    } else {
      EXPECT_EQ("", xp.err);
      EXPECT_EQ("", r.nr_stopped);
    }
  }
}

// The report says what the engine found: the upgraded tool is claimed by
// its package's records (no archive is at hand to verify it), the
// rewritten file is unexplained, the file renamed is a move. Checked here so
// that the rows above compare a report with something in it.
TEST_F(NtCompare, ReportHoldsTheVerdicts) {
  window_args a = window_of(
      {"-r", root_, "-t", std::to_string(pkg_fake_time("2026-01-02 09:00:00")),
       "-T", std::to_string(pkg_fake_time("2026-01-02 11:00:00"))});
  nt_result r;
  std::string err;
  ASSERT_TRUE(nt_compare(older_, newer_, true, a.w, &r, &err)) << err;
  EXPECT_EQ(1, r.nr_status);
  EXPECT_EQ(0u, r.nr_report.find("unexplained 1, conffile 0, package 0, "
                                 "moved 2, claimed 1,"))
      << r.nr_report;
  EXPECT_NE(std::string::npos,
            r.nr_report.find("  tool 1.0 \u2192 1.1: 1 path"))
      << r.nr_report;
  EXPECT_NE(std::string::npos, r.nr_report.find(root_ + "/usr/bin/other: "))
      << r.nr_report;
  EXPECT_EQ(std::string::npos, r.nr_report.find(root_ + "/usr/bin/tool: c"))
      << r.nr_report;
}

// A snapshot that cannot be read: false, with kavcmp's message, whether
// or not the comparison is triaged.
TEST_F(NtCompare, UnreadableSnapshot) {
  const std::string missing = path("missing.db"), cut = path("cut.db");
  std::string bytes = read_file(newer_);
  write_file(cut, bytes.substr(0, bytes.size() - 3));
  window_args a = window_of({"-r", root_});
  for (bool explain : {false, true})
    for (const auto &pair :
         {std::make_pair(missing, newer_), std::make_pair(older_, missing),
          std::make_pair(older_, cut)}) {
      SCOPED_TRACE(pair.first + " " + pair.second +
                   (explain ? " explained" : ""));
      nt_result r;
      std::string err;
      EXPECT_FALSE(nt_compare(pair.first, pair.second, explain, a.w, &r, &err));
      prog_result cmp =
          run_prog({KAVCMP_PATH, "-x", pair.first, pair.second}, dir_);
      EXPECT_EQ(1, cmp.status);
      EXPECT_EQ(cmp.err, err + "\n");  // kavcmp names no program
    }
}

}  // namespace
