// report.cc: the verdicts as a report for a person, or as JSON lines whose
// "path" and "change" read as kavjson writes them.
#include "explain/report.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <tuple>
#include <utility>

#include "db/db.h"
#include "explain/explain_int.h"
#include "text/text.h"

namespace {

std::string
what_changed(const xp_path &p)
{
  if (p.xp_kind != DB_KIND_CHANGED)
    return text_change_word(p.xp_kind);
  std::string s = "changed";
  uint32_t diff = db_rec_diff(&p.xp_recs[0], &p.xp_recs[1]);
  const char *sep = " ";
  for (const db_attr &a : DB_ATTRS)
    if (diff & a.bit) {
      s += sep;
      s += a.name;
      sep = ",";
    }
  return s;
}

// Writes s whole; false when out refused it.
bool
put(FILE *out, const std::string &s)
{
  errno = 0;
  if (fwrite(s.data(), 1, s.size(), out) == s.size())
    return true;
  if (errno == 0)
    errno = EIO;
  return false;
}

std::string
versions(const xp_path &p)
{
  const std::string &o = p.xp_older, &n = p.xp_version;
  if (o.empty() && n.empty())
    return "";
  if (o == n)
    return n + " (reinstalled)";
  return (o.empty() ? "none" : o) + " \u2192 " + (n.empty() ? "none" : n);
}

// What a path's line adds when its package was being changed while a
// snapshot was taken.
std::string
during(const xp_path &p)
{
  return p.xp_during ? "; " + text_esc(p.xp_package) +
                           " was being changed while a snapshot was taken"
                     : "";
}

// The lines of a section: a heading and its lines, indented; nothing
// when it has none.
std::string
section(const char *heading, const std::vector<std::string> &lines)
{
  if (lines.empty())
    return "";
  std::string s = std::string(heading) + ":\n";
  for (const std::string &l : lines)
    s += "  " + text_esc(l) + "\n";
  return s;
}

// The downgrades, with how many paths each accounts for.
std::string
downgrades(const std::vector<xp_path> &paths, const xp_notes &notes)
{
  std::vector<std::string> lines;
  for (const pkg_op &op : notes.xn_downgrades) {
    size_t n = 0;
    for (const xp_path &p : paths)
      n += p.xp_verdict == XP_DOWNGRADED && p.xp_package == op.po_name;
    lines.push_back(op.po_name + " " + op.po_old + " \u2192 " + op.po_new +
                    ": " + std::to_string(n) + (n == 1 ? " path" : " paths"));
  }
  return section("downgrades", lines);
}

// The claims, by package, versions and what would verify them.
std::string
claims(const std::vector<xp_path> &paths)
{
  std::map<std::tuple<std::string, std::string, std::string, std::string>,
           std::pair<size_t, bool>>
      groups;
  for (const xp_path &p : paths)
    if (p.xp_verdict == XP_CLAIMED) {
      auto &g = groups[{p.xp_package, p.xp_older, p.xp_version, p.xp_expected}];
      g.first++;
      g.second |= !p.xp_kept.empty();
    }
  std::vector<std::string> lines;
  for (const auto &g : groups) {
    xp_path p;
    p.xp_older = std::get<1>(g.first);
    p.xp_version = std::get<2>(g.first);
    std::string v = versions(p);
    size_t n = g.second.first;
    lines.push_back(std::get<0>(g.first) + (v.empty() ? "" : " ") + v + ": " +
                    std::to_string(n) + (n == 1 ? " path" : " paths") +
                    ", as the host's records say" +
                    (g.second.second ? " (kept records)" : "") +
                    "; to verify: " + std::get<3>(g.first));
  }
  return section("claimed", lines);
}

// Places where a change gives an intruder a hold on the host, by what it
// gives, most first. A path's place is found anywhere in its name, so
// that a host under a root (the package paths of kavexplain -r) ranks as
// the host itself would; a name that only looks like one ranks too high,
// which costs a reader a glance, never a verdict.
struct gain_place {
  // A part of the name: one that ends in "/" or "." anywhere in it
  // ("/etc/cron." for cron.d, cron.daily and the others), else at its end.
  const char *gp_part;
  int gp_rank;
};
constexpr gain_place GAIN_PLACES[] = {
    {"/etc/ld.so.preload", 1}, {"/etc/ld.so.conf", 1},
    {"/etc/ld.so.conf.d/", 1}, {"/etc/pam.d/", 2},
    {"/etc/pam.conf", 2},      {"/etc/security/", 2},
    {"/etc/sudoers", 3},       {"/etc/sudoers.d/", 3},
    {"/etc/sudoers.d", 3},     {"/etc/pam.d", 2},
    {"/etc/ld.so.conf.d", 1},  {"/etc/crontab", 4},
    {"/etc/cron.", 4},         {"/var/spool/cron/", 4},
    {"/etc/anacrontab", 4},    {"/etc/systemd/", 5},
    {"/lib/systemd/", 5},      {"/run/systemd/system/", 5},
    {"/etc/init.d/", 5},       {"/etc/rc0.d/", 5},
    {"/etc/rc1.d/", 5},        {"/etc/rc2.d/", 5},
    {"/etc/rc3.d/", 5},        {"/etc/rc4.d/", 5},
    {"/etc/rc5.d/", 5},        {"/etc/rc6.d/", 5},
    {"/etc/rcS.d/", 5},        {"/authorized_keys", 6},
    {"/authorized_keys2", 6},
};
// Directories whose programs and libraries others run: a new or changed
// executable or shared object there ranks after the places above.
constexpr const char *RUN_DIRS[] = {
    "/bin/",           "/sbin/",           "/usr/bin/",      "/usr/sbin/",
    "/usr/local/bin/", "/usr/local/sbin/", "/lib/",          "/lib64/",
    "/usr/lib/",       "/usr/lib64/",      "/usr/local/lib/"};
constexpr int GAIN_RUN = 7, GAIN_REST = 8;

bool
has_part(const std::string &name, const char *part)
{
  size_t n = strlen(part);
  if (part[n - 1] == '/' || part[n - 1] == '.')
    return name.find(part) != std::string::npos;
  return name.size() >= n && name.compare(name.size() - n, n, part) == 0;
}

// Whether the record carries a capability set.
bool
has_capability(const db_rec &r)
{
  if (r.ext == nullptr)
    return false;
  static const char CAP[] = "security.capability";
  db_xattr a;
  for (size_t pos = 0; db_xattr_next(r.ext, &pos, &a) > 0;)
    if (a.name_len == sizeof CAP - 1 && memcmp(a.name, CAP, a.name_len) == 0)
      return true;
  return false;
}

// What the path gives whoever changed it: 0 a set-ID bit or a
// capability on a file; 1 the dynamic loader's settings; 2 PAM; 3
// sudoers; 4 cron; 5 systemd units and init scripts; 6 ssh's
// authorized_keys; 7 an executable or library where others run them; 8
// anything else.
int
gain_rank(const xp_path &p)
{
  const db_rec &now = *xp_now(p);
  bool present = p.xp_kind != DB_KIND_DELETED;
  if (present && !S_ISDIR(now.mode) &&
      ((now.mode & (S_ISUID | S_ISGID)) != 0 || has_capability(now)))
    return 0;
  for (const gain_place &g : GAIN_PLACES)
    if (has_part(p.xp_name, g.gp_part))
      return g.gp_rank;
  if (present && S_ISREG(now.mode))
    for (const char *dir : RUN_DIRS)
      if (has_part(p.xp_name, dir) &&
          ((now.mode & 0111) != 0 ||
           p.xp_name.find(".so") != std::string::npos))
        return GAIN_RUN;
  return GAIN_REST;
}

// The unexplained paths, what an intruder gains most first, in tree
// order within each rank.
std::string
unexplained(const std::vector<xp_path> &paths)
{
  std::vector<std::pair<int, const xp_path *>> order;
  for (const xp_path &p : paths)
    if (p.xp_verdict == XP_UNEXPLAINED)
      order.emplace_back(gain_rank(p), &p);
  std::stable_sort(order.begin(), order.end(),
                   [](const auto &a, const auto &b) {
                     return a.first < b.first;
                   });
  std::string s = order.empty() ? "" : "unexplained:\n";
  for (const auto &o : order) {
    const xp_path &p = *o.second;
    s += "  " + text_esc(p.xp_name) + ": " + what_changed(p) + "; expected " +
         text_esc(p.xp_expected) + " (" + XP_EVIDENCE_WORDS[p.xp_evidence] +
         ")" + during(p) + "\n";
  }
  return s;
}

// The paths the rules explained, by rule in the table's order, with their
// count and the evidence they rest on.
std::string
by_rule(const std::vector<xp_path> &paths)
{
  std::vector<std::string> lines;
  for (const char *rule : XP_RULE_NAMES) {
    size_t n = 0;
    bool ev[3] = {};
    for (const xp_path &p : paths)
      if (p.xp_verdict == XP_PACKAGE && p.xp_rule == rule) {
        n++;
        ev[p.xp_evidence] = true;
      }
    if (n == 0)
      continue;
    std::string l = std::string(rule) + ": " + std::to_string(n) +
                    (n == 1 ? " path" : " paths");
    const char *sep = ", ";
    for (int k = 0; k < 3; k++)
      if (ev[k]) {
        l += sep;
        l += XP_EVIDENCE_WORDS[k];
        sep = " and ";
      }
    lines.push_back(l);
  }
  return section("explained by rule", lines);
}

}  // namespace

int
xp_report_text(const std::vector<xp_path> &paths, const xp_notes &notes,
               FILE *out)
{
  size_t count[XP_VERDICTS] = {};
  for (const xp_path &p : paths)
    count[p.xp_verdict]++;
  std::string s;
  for (int v : {XP_UNEXPLAINED, XP_CONFFILE, XP_PACKAGE, XP_MOVED, XP_CLAIMED,
                XP_DOWNGRADED})
    s += std::string(v == XP_UNEXPLAINED ? "" : ", ") + XP_VERDICT_WORDS[v] +
         " " + std::to_string(count[v]);
  s += "\n";
  s += section("not verified", notes.xn_failed);
  s += section("not trusted", notes.xn_untrusted);
  s += section("not fetched", notes.xn_unfetched);
  s += section("trusted as upgraded", notes.xn_vouched);
  s += downgrades(paths, notes);
  s += unexplained(paths);
  s += claims(paths);
  if (count[XP_CONFFILE] > 0)
    s += "conffile edits:\n";
  for (const xp_path &p : paths)
    if (p.xp_verdict == XP_CONFFILE)
      s += "  " + text_esc(p.xp_name) + ": " + what_changed(p) + ", not as " +
           text_esc(p.xp_package + " " + p.xp_version) + " installed it (" +
           XP_EVIDENCE_WORDS[p.xp_evidence] + ")" + during(p) + "\n";
  // By package and versions; a group's evidence is the weakest of its
  // paths.
  std::map<std::tuple<std::string, std::string, std::string>,
           std::pair<size_t, int>>
      groups;
  for (const xp_path &p : paths) {
    if (p.xp_verdict != XP_PACKAGE || p.xp_rule != nullptr)
      continue;
    auto &g = groups[{p.xp_package, p.xp_older, p.xp_version}];
    if (g.first++ == 0 || p.xp_evidence == XP_EV_DPKG)
      g.second = p.xp_evidence;
  }
  if (!groups.empty())
    s += "packages:\n";
  for (const auto &g : groups) {
    xp_path p;
    p.xp_older = std::get<1>(g.first);
    p.xp_version = std::get<2>(g.first);
    std::string v = versions(p);
    s += "  " + text_esc(std::get<0>(g.first) + (v.empty() ? "" : " ") + v) +
         ": " + std::to_string(g.second.first) +
         (g.second.first == 1 ? " path" : " paths") + ", all match, " +
         XP_EVIDENCE_WORDS[g.second.second] + "\n";
  }
  s += by_rule(paths);
  if (count[XP_MOVED] > 0)
    s += "moved:\n";
  for (const xp_path &p : paths)
    if (p.xp_verdict == XP_MOVED && p.xp_kind == DB_KIND_DELETED)
      s += "  " + text_esc(p.xp_name) + " \u2192 " + text_esc(p.xp_peer) + "\n";
  return put(out, s) ? 0 : -1;
}

std::string
xp_report_json_members(const xp_path &p)
{
  std::string line;
  // Text from the package manager cut to a path's length.
  auto str = [&line](const char *key, std::string v) {
    if (v.size() > DB_PATH_MAX)
      v.resize(DB_PATH_MAX);
    line += std::string(",\"") + key + "\":" + text_json(v.c_str());
  };
  line += std::string(",\"verdict\":\"") + XP_VERDICT_WORDS[p.xp_verdict] +
          "\",\"evidence\":\"" + XP_EVIDENCE_WORDS[p.xp_evidence] + "\"";
  if (!p.xp_kept.empty())
    str("kept_records", p.xp_kept);
  if (!p.xp_package.empty())
    str("package", p.xp_package);
  if (!p.xp_version.empty())
    str("version", p.xp_version);
  if (!p.xp_older.empty())
    str("older_version", p.xp_older);
  if (p.xp_verdict == XP_UNEXPLAINED || p.xp_verdict == XP_CLAIMED ||
      p.xp_verdict == XP_DOWNGRADED)
    str("expected", p.xp_expected);
  if (p.xp_verdict == XP_MOVED)
    str(p.xp_kind == DB_KIND_DELETED ? "moved_to" : "moved_from", p.xp_peer);
  if (p.xp_during)
    line += ",\"during_walk\":true";
  if (p.xp_rule != nullptr)
    line += std::string(",\"rule\":\"") + p.xp_rule + "\"";
  return line;
}

int
xp_report_json(const std::vector<xp_path> &paths, FILE *out)
{
  for (const xp_path &p : paths) {
    std::string path = p.xp_name;
    if (path.size() > DB_PATH_MAX)
      path.resize(DB_PATH_MAX);
    std::string line = std::string("{\"change\":\"") +
                       text_change_word(p.xp_kind) +
                       "\",\"path\":" + text_json(path.c_str()) +
                       xp_report_json_members(p) + "}\n";
    if (!put(out, line))
      return -1;
  }
  return 0;
}
