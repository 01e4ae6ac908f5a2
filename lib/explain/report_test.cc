// The report's unexplained section: what an intruder gains most first.
#include "explain/report.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "db/db.h"

namespace {

struct row {
  const char *name;
  uint8_t kind;
  uint16_t mode;
  bool capability;
};

// The unexplained section's paths, in the order the report gives them.
std::vector<std::string>
order_of(const std::vector<row> &rows)
{
  static uint8_t items[256];
  size_t len = 0;
  EXPECT_EQ(0, db_xattr_put(items, sizeof items, &len, "security.capability",
                            "\x01\x00\x00\x02", 4, nullptr));
  static db_ext ext = {};
  ext.xa = items;
  ext.xa_len = uint32_t(len);
  std::vector<xp_path> paths;
  for (const row &r : rows) {
    xp_path p;
    p.xp_name = r.name;
    p.xp_kind = r.kind;
    p.xp_recs[0] = {};
    p.xp_recs[0].mode = r.mode;
    p.xp_recs[0].mask = DB_MODE;
    p.xp_recs[1] = p.xp_recs[0];
    if (r.kind == DB_KIND_CHANGED)
      p.xp_recs[0].mode = S_IFREG | 0644;
    if (r.capability)
      p.xp_recs[r.kind == DB_KIND_CHANGED ? 1 : 0].ext = &ext;
    p.xp_expected = "x";
    paths.push_back(p);
  }
  char *buf = nullptr;
  size_t size = 0;
  FILE *f = open_memstream(&buf, &size);
  EXPECT_NE(nullptr, f);
  EXPECT_EQ(0, xp_report_text(paths, xp_notes(), f));
  fclose(f);
  std::string text(buf, size);
  free(buf);
  std::vector<std::string> names;
  size_t at = text.find("unexplained:\n");
  EXPECT_NE(std::string::npos, at) << text;
  for (at += 13; text.compare(at, 2, "  ") == 0; at = text.find('\n', at) + 1)
    names.push_back(text.substr(at + 2, text.find(':', at) - at - 2));
  return names;
}

constexpr uint8_t C = DB_KIND_CHANGED, N = DB_KIND_NEW, D = DB_KIND_DELETED;
constexpr uint16_t F = S_IFREG | 0644, X = S_IFREG | 0755, DIR = S_IFDIR | 0755;

TEST(XpReport, UnexplainedByGain) {
  // In tree order, as the engine gives them.
  std::vector<row> rows = {
      {"/etc/cron.d/job", N, F, false},
      {"/etc/hosts", C, F, false},
      {"/etc/ld.so.preload", N, F, false},
      {"/etc/pam.d/sshd", C, F, false},
      {"/etc/sudoers.d/extra", N, F, false},
      {"/etc/systemd/system/x.service", N, F, false},
      {"/home/a/.ssh/authorized_keys", C, F, false},
      {"/opt/data", N, F, false},
      {"/r/etc/ld.so.conf.d/x.conf", N, F, false},  // under a root
      {"/srv/dir", N, S_IFDIR | 02775, false},      // a set-group-ID directory
      {"/usr/bin/ping", C, X, true},                // a capability
      {"/usr/bin/tool", N, X, false},
      {"/usr/bin/tool2", C, S_IFREG | 04755, false},
      {"/usr/lib/libx.so.1", N, F, false},
      {"/usr/share/doc/x", N, F, false},
      {"/var/spool/cron/crontabs/root", D, F, false},
  };
  std::vector<std::string> want = {"/usr/bin/ping",
                                   "/usr/bin/tool2",  // set-ID, capability
                                   "/etc/ld.so.preload",
                                   "/r/etc/ld.so.conf.d/x.conf",  // the loader
                                   "/etc/pam.d/sshd",             // PAM
                                   "/etc/sudoers.d/extra",        // sudoers
                                   "/etc/cron.d/job",
                                   "/var/spool/cron/crontabs/root",  // cron
                                   "/etc/systemd/system/x.service",  // units
                                   "/home/a/.ssh/authorized_keys",   // ssh
                                   "/usr/bin/tool",
                                   "/usr/lib/libx.so.1",  // programs, libraries
                                   "/etc/hosts",
                                   "/opt/data",
                                   "/srv/dir",
                                   "/usr/share/doc/x"};
  EXPECT_EQ(want, order_of(rows));
}

}  // namespace
