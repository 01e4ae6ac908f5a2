// host.cc: one host's night on the collector: its list checked against
// the store's history, what is new fetched, then compared.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <set>

#include "kavcollect/store.h"

namespace {

// The output of "list", at most STORE_SMALL_MAX bytes.
bool
fetch_list(const collect_opts *o, const char *host, const std::string &ctl,
           time_t deadline, std::string *text, std::string *err)
{
  ssh_session s;
  if (!ssh_start(&s, o, host, ctl, "list", deadline, err))
    return false;
  char buf[1 << 14];
  ssize_t n;
  std::string fault;
  while ((n = ssh_read(&s, buf, sizeof buf)) > 0) {
    text->append(buf, size_t(n));
    if (text->size() > STORE_SMALL_MAX) {
      fault = "list: longer than any list of snapshots";
      break;
    }
  }
  if (n < 0)
    fault = errno == ETIMEDOUT
                ? "no answer within the time limit"
                : std::string("reading from ssh: ") + strerror(errno);
  std::string ended;
  bool clean = ssh_finish(&s, !fault.empty(), &ended);
  if (!fault.empty()) {
    *err = fault;
    return false;
  }
  if (!clean) {
    *err = ended;
    return false;
  }
  return true;
}

// Every snapshot the store knows of, held or set aside, oldest first: the
// history the host's list must go on from.
std::vector<snap_entry>
known(const std::vector<snap_entry> &held, const std::vector<snap_entry> &aside)
{
  std::vector<snap_entry> all(held);
  all.insert(all.end(), aside.begin(), aside.end());
  std::sort(all.begin(), all.end(),
            [](const snap_entry &a, const snap_entry &b) {
              return a.se_num < b.se_num;
            });
  return all;
}

// The store's baseline for the host: the one named in its baseline file
// (accepted on the collector), else the first collected.
bool
find_baseline(const std::string &dir, const std::vector<snap_entry> &held,
              size_t *base, std::string *err)
{
  std::string text;
  if (!store_read_small(dir + "/" STORE_BASELINE, &text, err))
    return false;
  while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
    text.pop_back();
  *base = 0;
  if (text.empty())
    return true;
  for (size_t i = 0; i < held.size(); i++) {
    if (held[i].se_name == text) {
      *base = i;
      return true;
    }
  }
  *err = dir + "/" STORE_BASELINE ": names no snapshot of the store";
  return false;
}

// A host becomes a directory name and an argument of ssh: no path, no
// option, nothing a shell or a report would mangle.
bool
host_ok(const char *host)
{
  size_t n = strlen(host);
  return n > 0 && n <= 255 && host[0] != '-' && host[0] != '.' &&
         strspn(host,
                "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                "0123456789._-@:") == n;
}

// The compare, with at most co_gate's number running at once.
bool
gated_compare(const collect_opts *o, const std::string &older,
              const std::string &newer, std::vector<collect_change> *out,
              std::string *err)
{
  collect_gate *g = o->co_gate;
  {
    std::unique_lock<std::mutex> lock(g->cg_mutex);
    g->cg_wait.wait(lock, [g] { return g->cg_free > 0; });
    g->cg_free--;
  }
  bool ok = collect_compare(older, newer, out, err);
  {
    std::lock_guard<std::mutex> lock(g->cg_mutex);
    g->cg_free++;
  }
  g->cg_wait.notify_one();
  return ok;
}

void
collect_in(const collect_opts *o, const char *host, const std::string &ctl,
           collect_result *r)
{
  time_t deadline = time(nullptr) + o->co_time_limit;
  std::string dir = std::string(o->co_store) + "/" + host;
  std::string &err = r->cr_error;
  std::vector<snap_entry> held, aside, listed, fetch;
  if (!store_open_host(dir, &held, &aside, &err))
    return;
  std::string text;
  if (!fetch_list(o, host, ctl, deadline, &text, &err) ||
      !collect_parse_list(text, &listed, &err) ||
      !collect_history(known(held, aside), listed, &fetch, &err))
    return;

  std::string signers = dir + "/" STORE_SIGNERS;
  if (access(signers.c_str(), F_OK) != 0)
    signers.clear();
  bool first = held.empty();
  std::set<std::string> verified;
  for (const snap_entry &want : fetch) {
    std::string why;
    store_got got =
        store_fetch(o, host, ctl, dir, want, signers, deadline, &aside, &why);
    if (got == STORE_FAILED) {
      err = why;
      break;
    }
    // A bad one is out of the history: the next is compared with the
    // last good one before it.
    if (got == STORE_SET_ASIDE) {
      r->cr_aside.push_back({want.se_name, why});
      continue;
    }
    held.push_back(want);
    verified.insert(want.se_name);
    r->cr_fetched.push_back(want.se_name);
  }
  // What was fetched stays, with its sums, even when a later one failed:
  // the next run compares it.
  std::string sums_why;
  if (!fetch.empty() && !store_put_sums(dir, held, &sums_why) && err.empty())
    err = sums_why;
  if (!err.empty() || held.empty())
    return;
  if (first) {
    r->cr_first = true;
    r->cr_compared = held.back().se_name;
    return;
  }

  std::string mark;
  if (!store_read_small(dir + "/" STORE_COMPARED, &mark, &err))
    return;
  while (!mark.empty() && mark.back() == '\n')
    mark.pop_back();
  uint32_t mark_num = 0;
  bool marked = collect_snap_name(mark, &mark_num);
  std::set<std::string> fetched(r->cr_fetched.begin(), r->cr_fetched.end());
  // A snapshot held from before its load was checked on the way in (by an
  // older collector, or altered in the store since) may yet be damaged:
  // it is set aside when a comparison finds it, and the comparisons made
  // again without it.
  size_t damaged;
  std::string damage;
  do {
    r->cr_sections.clear();
    damaged = SIZE_MAX;
    // The snapshots after the newest one reported, each compared with
    // the one before it; the newest also with the baseline.
    size_t next = held.size();
    while (next > 0 && (marked ? held[next - 1].se_num > mark_num
                               : fetched.count(held[next - 1].se_name) != 0))
      next--;
    if (next == 0)
      next = 1;  // the first has nothing before it
    if (next >= held.size())
      return;
    size_t base;
    if (!find_baseline(dir, held, &base, &err))
      return;
    auto use = [&](size_t i) {
      if (signers.empty() || verified.count(held[i].se_name) != 0)
        return true;
      if (store_verify(dir + "/" + held[i].se_name, signers, &err) !=
          ST_SIG_GOOD)
        return false;
      verified.insert(held[i].se_name);
      return true;
    };
    auto compare = [&](size_t older, size_t i) {
      collect_section sec;
      sec.cs_since_base = older == base;
      sec.cs_with_prev = older + 1 == i;
      sec.cs_older = held[older].se_name;
      sec.cs_newer = held[i].se_name;
      if (!use(older) || !use(i))
        return false;
      if (!gated_compare(o, dir + "/" + sec.cs_older, dir + "/" + sec.cs_newer,
                         &sec.cs_changes, &err)) {
        // The baseline is never set aside: without it there is nothing
        // to compare with, and the host fails.
        for (size_t k : {older, i}) {
          if (k != base &&
              !collect_check(dir + "/" + held[k].se_name, &damage) &&
              errno == EBADMSG) {
            damaged = k;
            break;
          }
        }
        return false;
      }
      r->cr_sections.push_back(std::move(sec));
      return true;
    };
    bool done = true;
    for (size_t i = next; done && i < held.size(); i++)
      done = compare(i - 1, i);
    size_t last = held.size() - 1;
    if (done && base + 1 < last)
      done = compare(base, last);
    if (done) {
      r->cr_compared = held.back().se_name;
      return;
    }
    if (damaged != SIZE_MAX) {
      err.clear();
      snap_entry e = held[damaged];
      std::vector<std::string> from, to;
      for (const char *ext : {"", COLLECT_COMPANIONS[0], COLLECT_COMPANIONS[1]})
        if (access((dir + "/" + e.se_name + ext).c_str(), F_OK) == 0) {
          from.push_back(dir + "/" + e.se_name + ext);
          to.push_back(ext);
        }
      damage = "cannot be loaded: " + damage;
      held.erase(held.begin() + long(damaged));
      if (!store_set_aside(dir, e, from, to, damage, &aside, &err) ||
          !store_put_sums(dir, held, &err))
        return;
      r->cr_aside.push_back({e.se_name, damage});
    }
  } while (damaged != SIZE_MAX);
}

}  // namespace

void
collect_host(const collect_opts *o, const char *host, collect_result *out)
{
  out->cr_host = host;
  out->cr_error.clear();
  out->cr_first = false;
  if (!host_ok(host)) {
    out->cr_error = "not a host name the store can hold";
    return;
  }
  // The host's name is no file name here: aliases of one address, user
  // and port must not share a connection (each has its own key).
  static std::atomic<unsigned> serial(0);
  std::string ctl = std::string(o->co_ctl_dir) + "/" + std::to_string(serial++);
  collect_in(o, host, ctl, out);
  ssh_close(o, host, ctl);
  if (!out->cr_error.empty())
    out->cr_sections.clear();
}

bool
collect_mark(const collect_opts *o, const collect_result *r, std::string *err)
{
  if (r->cr_compared.empty())
    return true;
  return store_write_file(std::string(o->co_store) + "/" + r->cr_host,
                          STORE_COMPARED, r->cr_compared + "\n", err);
}
