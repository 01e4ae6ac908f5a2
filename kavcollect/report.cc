// report.cc: the per-host reports and the fleet summary.
#include "kavcollect/report.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <tuple>

#include "db/print.h"
#include "diag/diag.h"
#include "explain/report.h"
#include "text/json.h"
#include "text/text.h"

namespace {

constexpr size_t FLEET_NAMES_MAX = 10;  // hosts named per group

int
put(const std::string &s)
{
  errno = 0;
  if (fwrite(s.data(), 1, s.size(), stdout) != s.size()) {
    if (errno == 0)
      errno = EIO;
    return -1;
  }
  return 0;
}

// The change as kavjson writes a frame of a difference database, without
// its braces' opening: the caller puts its own fields first.
std::string
json_change(const collect_change &c)
{
  static thread_local json_state st;
  st.js_len = 0;  // one line at a time: never enough to write out
  db_frame fr;
  snprintf(fr.path, sizeof fr.path, "%s", c.cc_path.c_str());
  fr.kind = c.cc_kind;
  uint8_t data[2 * DB_REC_LEN];
  db_rec_pack(&c.cc_recs[0], data);
  fr.len = DB_REC_LEN;
  if (c.cc_kind == DB_KIND_CHANGED) {
    db_rec_pack(&c.cc_recs[1], data + DB_REC_LEN);
    fr.len = 2 * DB_REC_LEN;
  }
  if (json_record(&fr, data, &st) != 0 || st.js_len < 2)
    return "}\n";
  return std::string(st.js_buf + 1, st.js_len - 1);
}

// Each snapshot set aside, on stderr: it needs someone to look, as a
// failure does, though the host's collection went on.
void
warn_aside(const collect_result *r)
{
  for (const collect_aside &a : r->cr_aside)
    warn_msg3("kavcollect", r->cr_host.c_str(),
              (a.ca_name + ": SET ASIDE: " + a.ca_why).c_str());
}

// The section's triage, when it was triaged (or tried).
const triage_section *
triaged(const triage_host *t, size_t i)
{
  return t != nullptr && i < t->th_sections.size() ? &t->th_sections[i]
                                                   : nullptr;
}

// The report of one triaged section, as kavexplain writes it.
int
put_triage(const triage_section &ts)
{
  if (!ts.ts_done)
    return put("Not triaged on the collector: " + text_esc(ts.ts_error) + "\n");
  if (fflush(stdout) != 0)
    return -1;
  return xp_report_text(ts.ts_paths, ts.ts_notes, stdout);
}

// An operation's versions as lib/explain writes them, with "->" for its
// arrow: the rest of the summary is ASCII.
std::string
op_versions(const std::string &older, const std::string &newer)
{
  if (older == newer)
    return newer + " (reinstalled)";
  return (older.empty() ? "none" : older) + " -> " +
         (newer.empty() ? "none" : newer);
}

// Up to FLEET_NAMES_MAX of the hosts, and how many more.
std::string
host_names(const std::vector<const std::string *> &hosts)
{
  std::string out;
  size_t n = hosts.size();
  for (size_t i = 0; i < n && i < FLEET_NAMES_MAX; i++)
    out += (i > 0 ? ", " : "") + *hosts[i];
  if (n > FLEET_NAMES_MAX)
    out += " and " + std::to_string(n - FLEET_NAMES_MAX) + " more";
  return out;
}

// Whether a verdict leaves the change to be looked at.
bool
unexplained_verdict(xp_verdict_kind v)
{
  return v != XP_PACKAGE && v != XP_MOVED;
}

}  // namespace

int
report_host(const collect_result *r, const triage_host *t)
{
  warn_aside(r);
  if (!r->cr_error.empty()) {
    warn_msg3("kavcollect", r->cr_host.c_str(), r->cr_error.c_str());
    return 0;
  }
  if (r->cr_first) {
    std::string line = r->cr_host + ": first collection: " +
                       std::to_string(r->cr_fetched.size()) +
                       " snapshots, baseline " + r->cr_fetched.front() + "\n";
    return put(line);
  }
  rec_view view;
  memset(&view, 0, sizeof view);
  view.rv_human = true;
  for (size_t i = 0; i < r->cr_sections.size(); i++) {
    const collect_section &s = r->cr_sections[i];
    if (s.cs_changes.empty())
      continue;
    std::string head =
        "Changes on " + r->cr_host + " in " + s.cs_newer + " since " +
        (s.cs_since_base ? "the baseline, " : "the previous snapshot, ") +
        s.cs_older + ":\n";
    if (put(head) != 0)
      return -1;
    // Triaged, the report takes the list's place, as in the host's own
    // nightly report; a triage not done leaves the list.
    const triage_section *ts = triaged(t, i);
    if (ts != nullptr && put_triage(*ts) != 0)
      return -1;
    if (ts != nullptr && ts->ts_done)
      continue;
    for (const collect_change &c : s.cs_changes)
      if (rec_view_print(&view, c.cc_kind, c.cc_recs, c.cc_path.c_str()) != 0)
        return -1;
  }
  return 0;
}

int
report_host_json(const collect_result *r, const triage_host *t)
{
  std::string host = "{\"host\":" + text_json(r->cr_host);
  warn_aside(r);
  for (const collect_aside &a : r->cr_aside)
    if (put(host + ",\"set_aside\":" + text_json(a.ca_name) +
            ",\"reason\":" + text_json(a.ca_why) + "}\n") != 0)
      return -1;
  if (!r->cr_error.empty()) {
    warn_msg3("kavcollect", r->cr_host.c_str(), r->cr_error.c_str());
    return put(host + ",\"error\":" + text_json(r->cr_error) + "}\n");
  }
  if (r->cr_first)
    return put(host + ",\"first\":true,\"collected\":" +
               std::to_string(r->cr_fetched.size()) +
               ",\"baseline\":" + text_json(r->cr_fetched.front()) + "}\n");
  for (size_t i = 0; i < r->cr_sections.size(); i++) {
    const collect_section &s = r->cr_sections[i];
    std::string head = host + ",\"since\":" +
                       (s.cs_since_base ? "\"baseline\"" : "\"previous\"") +
                       ",\"older_snapshot\":" + text_json(s.cs_older) +
                       ",\"newer_snapshot\":" + text_json(s.cs_newer);
    const triage_section *ts = triaged(t, i);
    bool done = ts != nullptr && ts->ts_done;
    if (ts != nullptr && !ts->ts_done && !s.cs_changes.empty() &&
        put(head + ",\"triage_error\":" + text_json(ts->ts_error) + "}\n") != 0)
      return -1;
    if (done) {
      for (const std::string &f : ts->ts_notes.xn_failed)
        if (put(head + ",\"not_verified\":" + text_json(f) + "}\n") != 0)
          return -1;
      for (const std::string &f : ts->ts_notes.xn_unfetched)
        if (put(head + ",\"not_fetched\":" + text_json(f) + "}\n") != 0)
          return -1;
      for (const pkg_op &op : ts->ts_ops)
        if (put(head + ",\"operation\":" + text_json(op.po_action) +
                ",\"package\":" + text_json(op.po_name) +
                (op.po_old.empty()
                     ? ""
                     : ",\"older_version\":" + text_json(op.po_old)) +
                (op.po_new.empty() ? ""
                                   : ",\"version\":" + text_json(op.po_new)) +
                ",\"verified\":" +
                (triage_op_verified(*ts, op) ? "true" : "false") + "}\n") != 0)
          return -1;
    }
    for (size_t k = 0; k < s.cs_changes.size(); k++) {
      std::string line = head + "," + json_change(s.cs_changes[k]);
      // The verdict's members go before the closing brace.
      if (done && k < ts->ts_paths.size() && line.size() >= 2)
        line.insert(line.size() - 2, xp_report_json_members(ts->ts_paths[k]));
      if (put(line) != 0)
        return -1;
    }
  }
  return 0;
}

namespace {

// The key of a change across hosts: path, kind, and the records without
// inode and change time, their SHA-256 included (a snapshot may record
// contents by it alone).
std::string
change_key(const collect_change &c)
{
  uint8_t key[2 * DB_REC_LEN];
  std::string sums;
  for (size_t i = 0; i < 2; i++) {
    db_rec rec = c.cc_recs[i];
    rec.ino = 0;
    rec.ctime = 0;
    rec.ext = nullptr;
    db_rec_pack(&rec, key + i * DB_REC_LEN);
    if (c.cc_ext[i].ce_set)
      sums.append(reinterpret_cast<const char *>(c.cc_ext[i].ce_sha256),
                  DB_SHA256_LEN);
    sums += char(c.cc_ext[i].ce_set);
    sums.append(c.cc_ext[i].ce_xa.begin(), c.cc_ext[i].ce_xa.end());
  }
  return c.cc_path + '\0' + char(c.cc_kind) +
         std::string(reinterpret_cast<char *>(key), sizeof key) + sums;
}

}  // namespace

std::vector<fleet_change>
report_group_changes(const std::vector<collect_result> &rs,
                     const std::vector<triage_host> *ts)
{
  std::map<std::string, fleet_change> groups;
  for (size_t h = 0; h < rs.size(); h++) {
    const collect_result &r = rs[h];
    for (size_t i = 0; i < r.cr_sections.size(); i++) {
      const collect_section &s = r.cr_sections[i];
      if (!s.cs_with_prev)
        continue;
      const triage_section *t =
          ts != nullptr && h < ts->size() ? triaged(&(*ts)[h], i) : nullptr;
      for (size_t k = 0; k < s.cs_changes.size(); k++) {
        const collect_change &c = s.cs_changes[k];
        xp_verdict_kind v = XP_UNEXPLAINED;
        if (t != nullptr && t->ts_done && k < t->ts_paths.size())
          v = t->ts_paths[k].xp_verdict;
        if (!unexplained_verdict(v))
          continue;
        fleet_change &g = groups[change_key(c) + char(v)];
        g.fc_change = &c;
        g.fc_verdict = v;
        if (g.fc_hosts.empty() || g.fc_hosts.back() != &r.cr_host)
          g.fc_hosts.push_back(&r.cr_host);
      }
    }
  }
  std::vector<fleet_change> out;
  for (auto &kv : groups)
    out.push_back(std::move(kv.second));
  std::stable_sort(out.begin(), out.end(),
                   [](const fleet_change &a, const fleet_change &b) {
                     return a.fc_hosts.size() < b.fc_hosts.size();
                   });
  return out;
}

std::vector<fleet_op>
report_group_ops(const std::vector<collect_result> &rs,
                 const std::vector<triage_host> &ts)
{
  std::map<std::tuple<bool, std::string, std::string, std::string>, fleet_op>
      groups;
  for (size_t h = 0; h < rs.size() && h < ts.size(); h++) {
    const collect_result &r = rs[h];
    for (size_t i = 0; i < r.cr_sections.size(); i++) {
      const triage_section *t = triaged(&ts[h], i);
      if (!r.cr_sections[i].cs_with_prev || t == nullptr || !t->ts_done)
        continue;
      for (const pkg_op &op : t->ts_ops) {
        bool v = triage_op_verified(*t, op);
        fleet_op &g = groups[{v, op.po_name, op.po_old, op.po_new}];
        g.fo_name = op.po_name;
        g.fo_old = op.po_old;
        g.fo_new = op.po_new;
        g.fo_verified = v;
        if (g.fo_hosts.empty() || g.fo_hosts.back() != &r.cr_host)
          g.fo_hosts.push_back(&r.cr_host);
      }
    }
  }
  std::vector<fleet_op> out;
  for (auto &kv : groups)
    out.push_back(std::move(kv.second));
  std::stable_sort(out.begin(), out.end(),
                   [](const fleet_op &a, const fleet_op &b) {
                     if (a.fo_verified != b.fo_verified)
                       return !a.fo_verified;
                     return a.fo_hosts.size() < b.fo_hosts.size();
                   });
  return out;
}

std::string
report_op_line(const fleet_op &op)
{
  size_t n = op.fo_hosts.size();
  return text_esc(op.fo_name + " " + op_versions(op.fo_old, op.fo_new)) +
         " on " + std::to_string(n) + (n == 1 ? " host, " : " hosts, ") +
         (op.fo_verified ? "verified" : "claimed only") + ": " +
         host_names(op.fo_hosts);
}

int
report_fleet(const std::vector<collect_result> &results,
             const std::vector<triage_host> *triage)
{
  size_t changed = 0, failed = 0, aside = 0, aside_hosts = 0;
  for (const collect_result &r : results) {
    failed += !r.cr_error.empty();
    aside += r.cr_aside.size();
    aside_hosts += !r.cr_aside.empty();
    bool any = false;
    for (const collect_section &s : r.cr_sections)
      any |= s.cs_with_prev && !s.cs_changes.empty();
    changed += any;
  }
  std::vector<fleet_change> groups = report_group_changes(results, triage);
  std::vector<fleet_op> ops;
  if (triage != nullptr)
    ops = report_group_ops(results, *triage);
  if (groups.empty() && ops.empty() && aside == 0)
    return 0;
  std::string out = "Fleet: " + std::to_string(results.size()) + " hosts, " +
                    std::to_string(changed) + " changed, " +
                    std::to_string(failed) + " failed; ";
  if (triage == nullptr)
    out += std::to_string(groups.size()) +
           " distinct changes, all unexplained"
           " (no triage on the collector)\n";
  else
    out += std::to_string(ops.size()) + " package operations, " +
           std::to_string(groups.size()) +
           " distinct changes not explained (triaged on the collector)\n";
  if (aside > 0) {
    out += "Set aside: " + std::to_string(aside) +
           (aside == 1 ? " snapshot of " : " snapshots of ") +
           std::to_string(aside_hosts) +
           (aside_hosts == 1 ? " host\n" : " hosts\n");
    for (const collect_result &r : results) {
      if (r.cr_aside.empty())
        continue;
      out += r.cr_host + ": " + std::to_string(r.cr_aside.size()) +
             " set aside:";
      for (const collect_aside &a : r.cr_aside)
        out += " " + a.ca_name;
      out += "\n";
    }
  }
  if (!ops.empty())
    out += "Package operations:\n";
  for (const fleet_op &op : ops)
    out += report_op_line(op) + "\n";
  if (triage != nullptr && !groups.empty())
    out += "Not explained:\n";
  for (const fleet_change &g : groups) {
    size_t n = g.fc_hosts.size();
    out += text_esc(g.fc_change->cc_path) + " " +
           text_change_word(g.fc_change->cc_kind) +
           (n > 1 ? " identically on " : " on ") + std::to_string(n) +
           (n > 1 ? " hosts" : " host") +
           (g.fc_verdict == XP_UNEXPLAINED
                ? std::string()
                : std::string(" (") + XP_VERDICT_WORDS[g.fc_verdict] + ")") +
           ": " + host_names(g.fc_hosts) + "\n";
  }
  return put(out);
}
