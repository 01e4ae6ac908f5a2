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

// The names of the store's whole file: snapshots to fetch whole.
bool
read_whole(const std::string &dir, std::set<std::string> *names,
           std::string *err)
{
  std::string text;
  if (!store_read_small(dir + "/" STORE_WHOLE, &text, err))
    return false;
  for (size_t at = 0, nl; (nl = text.find('\n', at)) != std::string::npos;
       at = nl + 1)
    names->insert(text.substr(at, nl - at));
  return true;
}

bool
write_whole(const std::string &dir, const std::set<std::string> &names,
            std::string *err)
{
  if (names.empty()) {
    std::string path = dir + "/" STORE_WHOLE;
    if (unlink(path.c_str()) != 0 && errno != ENOENT) {
      *err = path + ": " + strerror(errno);
      return false;
    }
    return true;
  }
  std::string text;
  for (const std::string &n : names)
    text += n + "\n";
  return store_write_file(dir, STORE_WHOLE, text, err);
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
  std::set<std::string> verified, whole;
  if (!read_whole(dir, &whole, &err))
    return;
  const size_t whole_before = whole.size();
  // A name no longer to fetch (taken, or rotated away) is forgotten.
  for (auto it = whole.begin(); it != whole.end();)
    it = std::any_of(fetch.begin(), fetch.end(),
                     [&](const snap_entry &e) { return e.se_name == *it; })
             ? std::next(it)
             : whole.erase(it);
  store_base ref;
  for (const snap_entry &want : fetch) {
    // A difference from the newest held, unless the host cannot make one
    // or made a wrong one for this snapshot before.
    store_base *from = nullptr;
    if (!held.empty() && !ref.sb_unknown && whole.count(want.se_name) == 0 &&
        want.se_size <= COLLECT_DELTA_SNAP_MAX &&
        held.back().se_size <= COLLECT_DELTA_SNAP_MAX) {
      // Read once for the fetches that follow from it; one that cannot
      // be read is for the comparisons to report.
      std::string unused;
      if (ref.sb_entry.se_name == held.back().se_name)
        from = &ref;
      else if (store_snap_read(dir, held, held.size() - 1, &ref.sb_bytes,
                               &unused)) {
        ref.sb_entry = held.back();
        store_base_records(dir, &ref);
        from = &ref;
      }
    }
    std::string why;
    store_got got = store_fetch(o, host, ctl, dir, want, from, signers,
                                deadline, &aside, &why);
    if (got == STORE_BAD_DIFF) {
      // The host's fault, and nothing of it kept: the next run asks for
      // the snapshot whole.
      whole.insert(want.se_name);
      std::string unused;
      write_whole(dir, whole, &unused);
      err = why;
      break;
    }
    if (got == STORE_FAILED) {
      err = why;
      break;
    }
    whole.erase(want.se_name);
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
  if (whole.size() < whole_before && err.empty())
    write_whole(dir, whole, &err);
  // What was fetched stays, with its sums, even when a later one failed:
  // the next run compares it.
  std::string sums_why;
  if (!fetch.empty() && !store_put_sums(dir, held, &sums_why) && err.empty())
    err = sums_why;
  if (!err.empty() || held.empty())
    return;
  if (!fetch.empty()) {
    size_t keep;
    if (!find_baseline(dir, held, &keep, &err))
      return;
    collect_gate_hold g(o->co_gate);
    if (!store_pack(dir, &held, keep, &err))
      return;
  }
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
    // Whether the signature of held[i], as the file f, verifies.
    auto use = [&](size_t i, const store_file &f) {
      if (signers.empty() || verified.count(held[i].se_name) != 0)
        return true;
      std::string name = dir + "/" + held[i].se_name;
      if (store_verify(f.sf_path, name + ".sig", signers, &err) !=
          ST_SIG_GOOD) {
        if (err.compare(0, f.sf_path.size(), f.sf_path) == 0)
          err = name + err.substr(f.sf_path.size());
        return false;
      }
      verified.insert(held[i].se_name);
      return true;
    };
    auto compare = [&](size_t older, size_t i) {
      collect_section sec;
      sec.cs_since_base = older == base;
      sec.cs_with_prev = older + 1 == i;
      sec.cs_older = held[older].se_name;
      sec.cs_newer = held[i].se_name;
      collect_gate_hold g(o->co_gate);
      store_file files[2];
      if (!store_snap_file(dir, held, older, &files[0], &err) ||
          !store_snap_file(dir, held, i, &files[1], &err) ||
          !use(older, files[0]) || !use(i, files[1]))
        return false;
      if (!collect_compare(files[0].sf_path, files[1].sf_path, &sec.cs_changes,
                           &err)) {
        for (int k = 0; k < 2; k++)
          if (files[k].sf_tmp &&
              err.compare(0, files[k].sf_path.size(), files[k].sf_path) == 0)
            err = dir + "/" + held[k == 0 ? older : i].se_name +
                  err.substr(files[k].sf_path.size());
        // The baseline is never set aside: without it there is nothing
        // to compare with, and the host fails.
        for (int k = 0; k < 2; k++) {
          size_t at = k == 0 ? older : i;
          if (at != base && !collect_check(files[k].sf_path, &damage) &&
              errno == EBADMSG) {
            damaged = at;
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
      std::string name = held[damaged].se_name;
      damage = "cannot be loaded: " + damage;
      if (!store_set_aside_held(dir, &held, damaged, damage, &aside, &err))
        return;
      r->cr_aside.push_back({name, damage});
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
