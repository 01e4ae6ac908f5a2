// report_test.cc: the fleet summary's groups: package operations across
// hosts, verified apart from claimed, and the same change on several
// hosts as one.
#include "kavcollect/report.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// One host's operation as its triage found it: the versions and how the
// path that shows it came out.
struct op_row {
  const char *host, *name, *old_v, *new_v;
  xp_verdict_kind verdict;  // of the path of the package; MOVED for none
  xp_evidence_kind evidence;
  uint8_t kind = DB_KIND_CHANGED;  // of that path
};

// The results and triages of hosts, a section since the previous snapshot
// each (and one since the baseline with a decoy operation, never counted).
void
build_ops(const std::vector<op_row> &rows, std::vector<collect_result> *rs,
          std::vector<triage_host> *ts)
{
  rs->clear();
  ts->clear();
  for (const op_row &row : rows) {
    if (rs->empty() || rs->back().cr_host != row.host) {
      rs->emplace_back();
      rs->back().cr_host = row.host;
      ts->emplace_back();
      for (bool prev : {true, false}) {
        collect_section s;
        s.cs_with_prev = prev;
        s.cs_since_base = !prev;
        rs->back().cr_sections.push_back(s);
        triage_section t;
        t.ts_done = true;
        if (!prev)
          t.ts_ops.push_back({0, "install", "decoy", "", "1"});
        ts->back().th_sections.push_back(std::move(t));
      }
    }
    triage_section &t = ts->back().th_sections[0];
    pkg_op op{0, *row.old_v == '\0' ? "install" : "upgrade", row.name,
              row.old_v, row.new_v};
    t.ts_ops.push_back(op);
    if (row.verdict != XP_MOVED) {
      xp_path p;
      p.xp_name = std::string("/usr/share/") + row.name;
      p.xp_kind = row.kind;
      p.xp_verdict = row.verdict;
      p.xp_evidence = row.evidence;
      p.xp_package = row.name;
      p.xp_version = row.new_v;
      p.xp_older = row.old_v;
      t.ts_paths.push_back(p);
    }
  }
}

TEST(ReportGroupOps, AcrossHosts) {
  const xp_verdict_kind PK = XP_PACKAGE, CL = XP_CLAIMED, NONE = XP_MOVED;
  const xp_evidence_kind AR = XP_EV_ARCHIVE, DP = XP_EV_DPKG;
  const struct {
    const char *what;
    std::vector<op_row> rows;
    std::vector<std::string> want;
  } cases[] = {
      {"one upgrade on two hosts",
       {{"h1", "nginx-light", "", "1.22.1-9+deb12u12", PK, AR},
        {"h2", "nginx-light", "", "1.22.1-9+deb12u12", PK, AR}},
       {"nginx-light none -> 1.22.1-9+deb12u12 on 2 hosts, verified: h1, h2"}},
      {"verified on one host, only claimed on the other",
       {{"h1", "b", "1.0", "1.1", PK, AR}, {"h2", "b", "1.0", "1.1", CL, DP}},
       {"b 1.0 -> 1.1 on 1 host, claimed only: h2",
        "b 1.0 -> 1.1 on 1 host, verified: h1"}},
      {"a package's verdict resting on dpkg's records is a claim",
       {{"h1", "b", "1.0", "1.1", PK, DP}},
       {"b 1.0 -> 1.1 on 1 host, claimed only: h1"}},
      {"no path shows it",
       {{"h1", "b", "1.0", "1.1", NONE, AR}},
       {"b 1.0 -> 1.1 on 1 host, claimed only: h1"}},
      {"other versions are other operations; fewest hosts first",
       {{"h1", "b", "1.0", "1.1", PK, AR},
        {"h2", "b", "1.0", "1.1", PK, AR},
        {"h3", "b", "1.0", "1.2", PK, AR}},
       {"b 1.0 -> 1.2 on 1 host, verified: h3",
        "b 1.0 -> 1.1 on 2 hosts, verified: h1, h2"}},
      {"a removal, shown by a path its old version shipped",
       {{"h1", "c", "1.0", "", PK, AR, DB_KIND_DELETED}},
       {"c 1.0 -> none on 1 host, verified: h1"}},
      {"an upgrade shown only by a path its old version shipped",
       {{"h1", "b", "1.0", "6.6", PK, AR, DB_KIND_DELETED}},
       {"b 1.0 -> 6.6 on 1 host, claimed only: h1"}},
      {"hosts named up to ten",
       {{"a01", "x", "1", "2", PK, AR},
        {"a02", "x", "1", "2", PK, AR},
        {"a03", "x", "1", "2", PK, AR},
        {"a04", "x", "1", "2", PK, AR},
        {"a05", "x", "1", "2", PK, AR},
        {"a06", "x", "1", "2", PK, AR},
        {"a07", "x", "1", "2", PK, AR},
        {"a08", "x", "1", "2", PK, AR},
        {"a09", "x", "1", "2", PK, AR},
        {"a10", "x", "1", "2", PK, AR},
        {"a11", "x", "1", "2", PK, AR},
        {"a12", "x", "1", "2", PK, AR}},
       {"x 1 -> 2 on 12 hosts, verified: a01, a02, a03, a04, a05, a06, a07, "
        "a08, a09, a10 and 2 more"}},
  };
  for (const auto &c : cases) {
    std::vector<collect_result> rs;
    std::vector<triage_host> ts;
    build_ops(c.rows, &rs, &ts);
    std::vector<std::string> got;
    for (const fleet_op &op : report_group_ops(rs, ts))
      got.push_back(report_op_line(op));
    EXPECT_EQ(c.want, got) << c.what;
  }
}

TEST(ReportGroupOps, NotTriagedCountsNothing) {
  std::vector<collect_result> rs;
  std::vector<triage_host> ts;
  build_ops({{"h1", "b", "1.0", "1.1", XP_PACKAGE, XP_EV_ARCHIVE}}, &rs, &ts);
  ts[0].th_sections[0].ts_done = false;
  EXPECT_TRUE(report_group_ops(rs, ts).empty());
}

// One change of one host: its path, kind, the first byte of its SHA-256
// (0 for a record without one), its inode, and its verdict.
struct change_row {
  const char *host, *path;
  uint8_t kind;
  uint8_t sha;
  uint64_t ino;
  xp_verdict_kind verdict;
};

void
build_changes(const std::vector<change_row> &rows,
              std::vector<collect_result> *rs, std::vector<triage_host> *ts)
{
  rs->clear();
  ts->clear();
  for (const change_row &row : rows) {
    if (rs->empty() || rs->back().cr_host != row.host) {
      rs->emplace_back();
      rs->back().cr_host = row.host;
      rs->back().cr_sections.emplace_back();
      rs->back().cr_sections[0].cs_with_prev = true;
      ts->emplace_back();
      ts->back().th_sections.emplace_back();
      ts->back().th_sections[0].ts_done = true;
    }
    collect_change c;
    c.cc_path = row.path;
    c.cc_kind = row.kind;
    memset(c.cc_recs, 0, sizeof c.cc_recs);
    for (db_rec &r : c.cc_recs) {
      r.mode = 0100644;
      r.ino = row.ino;
      r.ctime = int64_t(row.ino) * 7;  // differs with the inode
      r.mask = DB_MODE | DB_SHA256;
    }
    if (row.sha != 0) {
      c.cc_ext[0].ce_set = true;
      memset(c.cc_ext[0].ce_sha256, row.sha, DB_SHA256_LEN);
    }
    rs->back().cr_sections[0].cs_changes.push_back(c);
    xp_path p;
    p.xp_verdict = row.verdict;
    ts->back().th_sections[0].ts_paths.push_back(p);
  }
}

// A group as "path kind N verdict: hosts".
std::string
change_text(const fleet_change &g)
{
  std::string s = g.fc_change->cc_path + " " +
                  std::to_string(g.fc_change->cc_kind) + " " +
                  std::to_string(g.fc_hosts.size()) + " " +
                  XP_VERDICT_WORDS[g.fc_verdict] + ":";
  for (const std::string *h : g.fc_hosts)
    s += " " + *h;
  return s;
}

TEST(ReportGroupChanges, IdenticalAcrossHosts) {
  const uint8_t NEW = DB_KIND_NEW, CH = DB_KIND_CHANGED;
  const xp_verdict_kind UN = XP_UNEXPLAINED, PK = XP_PACKAGE, CF = XP_CONFFILE;
  const struct {
    const char *what;
    std::vector<change_row> rows;
    std::vector<std::string> want_triaged, want_plain;
  } cases[] = {
      {"the same new file on two hosts, other inodes",
       {{"h1", "/usr/sbin/x", NEW, 1, 10, UN},
        {"h2", "/usr/sbin/x", NEW, 1, 20, UN}},
       {"/usr/sbin/x 4 2 unexplained: h1 h2"},
       {"/usr/sbin/x 4 2 unexplained: h1 h2"}},
      {"other contents by SHA-256 alone are other changes",
       {{"h1", "/usr/sbin/x", NEW, 1, 10, UN},
        {"h2", "/usr/sbin/x", NEW, 2, 10, UN}},
       {"/usr/sbin/x 4 1 unexplained: h1", "/usr/sbin/x 4 1 unexplained: h2"},
       {"/usr/sbin/x 4 1 unexplained: h1", "/usr/sbin/x 4 1 unexplained: h2"}},
      {"another kind is another change",
       {{"h1", "/etc/a", NEW, 1, 10, UN}, {"h2", "/etc/a", CH, 1, 10, UN}},
       {"/etc/a 2 1 unexplained: h2", "/etc/a 4 1 unexplained: h1"},
       {"/etc/a 2 1 unexplained: h2", "/etc/a 4 1 unexplained: h1"}},
      {"explained by a package: told by its operation instead",
       {{"h1", "/usr/bin/b", CH, 1, 10, PK},
        {"h2", "/usr/bin/b", CH, 1, 10, PK},
        {"h2", "/etc/b.conf", CH, 3, 11, CF}},
       {"/etc/b.conf 2 1 conffile: h2"},
       {"/etc/b.conf 2 1 unexplained: h2",
        "/usr/bin/b 2 2 unexplained: h1 h2"}},
      {"explained on one host, not on the other",
       {{"h1", "/usr/bin/b", CH, 1, 10, PK},
        {"h2", "/usr/bin/b", CH, 1, 10, UN}},
       {"/usr/bin/b 2 1 unexplained: h2"},
       {"/usr/bin/b 2 2 unexplained: h1 h2"}},
  };
  for (const auto &c : cases) {
    std::vector<collect_result> rs;
    std::vector<triage_host> ts;
    build_changes(c.rows, &rs, &ts);
    std::vector<std::string> got;
    for (const fleet_change &g : report_group_changes(rs, &ts))
      got.push_back(change_text(g));
    EXPECT_EQ(c.want_triaged, got) << c.what << " (triaged)";
    got.clear();
    for (const fleet_change &g : report_group_changes(rs, nullptr))
      got.push_back(change_text(g));
    EXPECT_EQ(c.want_plain, got) << c.what << " (not triaged)";
  }
}

}  // namespace
