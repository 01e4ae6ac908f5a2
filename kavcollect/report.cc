// report.cc: the per-host reports and the fleet summary.
#include "kavcollect/report.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "db/print.h"
#include "diag/diag.h"
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

}  // namespace

int
report_host(const collect_result *r)
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
  for (const collect_section &s : r->cr_sections) {
    if (s.cs_changes.empty())
      continue;
    std::string head =
        "Changes on " + r->cr_host + " in " + s.cs_newer + " since " +
        (s.cs_since_base ? "the baseline, " : "the previous snapshot, ") +
        s.cs_older + ":\n";
    if (put(head) != 0)
      return -1;
    for (const collect_change &c : s.cs_changes)
      if (rec_view_print(&view, c.cc_kind, c.cc_recs, c.cc_path.c_str()) != 0)
        return -1;
  }
  return 0;
}

int
report_host_json(const collect_result *r)
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
  for (const collect_section &s : r->cr_sections) {
    std::string head = host + ",\"since\":" +
                       (s.cs_since_base ? "\"baseline\"" : "\"previous\"") +
                       ",\"older_snapshot\":" + text_json(s.cs_older) +
                       ",\"newer_snapshot\":" + text_json(s.cs_newer) + ",";
    for (const collect_change &c : s.cs_changes)
      if (put(head + json_change(c)) != 0)
        return -1;
  }
  return 0;
}

int
report_fleet(const std::vector<collect_result> &results)
{
  struct group {
    const collect_change *g_change;
    std::vector<const std::string *> g_hosts;
  };
  std::map<std::string, group> groups;
  size_t changed = 0, failed = 0;
  for (const collect_result &r : results) {
    failed += !r.cr_error.empty();
    bool any = false;
    for (const collect_section &s : r.cr_sections) {
      if (!s.cs_with_prev)
        continue;
      for (const collect_change &c : s.cs_changes) {
        uint8_t key[2 * DB_REC_LEN];
        for (size_t i = 0; i < 2; i++) {
          db_rec rec = c.cc_recs[i];
          rec.ino = 0;
          rec.ctime = 0;
          db_rec_pack(&rec, key + i * DB_REC_LEN);
        }
        std::string k = c.cc_path + '\0' + char(c.cc_kind) +
                        std::string(reinterpret_cast<char *>(key), sizeof key);
        group &g = groups[k];
        g.g_change = &c;
        if (g.g_hosts.empty() || g.g_hosts.back() != &r.cr_host)
          g.g_hosts.push_back(&r.cr_host);
        any = true;
      }
    }
    changed += any;
  }
  if (groups.empty())
    return 0;
  std::vector<const group *> order;
  for (const auto &kv : groups)
    order.push_back(&kv.second);
  std::stable_sort(order.begin(), order.end(),
                   [](const group *a, const group *b) {
                     return a->g_hosts.size() < b->g_hosts.size();
                   });
  std::string out = "Fleet: " + std::to_string(results.size()) + " hosts, " +
                    std::to_string(changed) + " changed, " +
                    std::to_string(failed) + " failed; " +
                    std::to_string(groups.size()) +
                    " distinct changes, all unexplained"
                    " (no triage on the collector)\n";
  for (const group *g : order) {
    size_t n = g->g_hosts.size();
    out += text_esc(g->g_change->cc_path) + " " +
           text_change_word(g->g_change->cc_kind) +
           (n > 1 ? " identically on " : " on ") + std::to_string(n) +
           (n > 1 ? " hosts: " : " host: ");
    for (size_t i = 0; i < n && i < FLEET_NAMES_MAX; i++)
      out += (i > 0 ? ", " : "") + *g->g_hosts[i];
    if (n > FLEET_NAMES_MAX)
      out += " and " + std::to_string(n - FLEET_NAMES_MAX) + " more";
    out += "\n";
  }
  return put(out);
}
