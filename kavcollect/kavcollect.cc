// kavcollect: fetches the hosts' snapshots over ssh into a store on this
// machine, refuses a history that a host rewrote or reset, compares what
// is new and reports per host, then across the fleet. Exit status: 0
// nothing changed anywhere, 1 changes somewhere, 2 a host failed (or the
// run did).
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "diag/diag.h"
#include "kavcollect/collect.h"
#include "kavcollect/report.h"
#include "kavcollect/triage.h"
#include "port/port.h"

namespace {

const char usage_text[] =
    "usage: kavcollect [-fj] [-n jobs] [-t seconds] [-F ssh_config] "
    "[-K keyring] [-S indexes] [-C archives] [-r root] store host ...\n";

[[noreturn]] void
usage()
{
  fwrite(usage_text, 1, sizeof usage_text - 1, stderr);
  exit(2);
}

int
number(const char *text, int lo, int hi)
{
  char *end;
  errno = 0;
  long v = strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < lo || v > hi)
    die_msg2(text, "not a number in range");
  return int(v);
}

// The store holds every host's history: only its owner may read it.
// Held locked for the run, so that two collectors never write in it at once.
void
open_store(const char *store)
{
  if (mkdir(store, 0700) != 0 && errno != EEXIST)
    die_sys2("mkdir", store);
  struct stat st;
  if (lstat(store, &st) != 0)
    die_sys1(store);
  if (!S_ISDIR(st.st_mode))
    die_msg2(store, "not a directory");
  if ((st.st_mode & 077) != 0 || st.st_uid != geteuid())
    die_msg2(store,
             "the store must be a directory of mode 0700 owned by the "
             "user running kavcollect");
  // A dot first: no host's directory can take the name.
  std::string lock = std::string(store) + "/.lock";
  int fd = open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0)
    die_sys1(lock.c_str());
  if (flock(fd, LOCK_EX | LOCK_NB) != 0)
    die_msg2(lock.c_str(), "another kavcollect holds the store");
  // The descriptor stays open, and the lock held, until the run ends.
}

// A directory the triage reads, named on the command line: there, or
// the run stops before any host is asked.
void
need_dir(const std::string &dir)
{
  struct stat st;
  if (stat(dir.c_str(), &st) != 0)
    die_sys1(dir.c_str());
  if (!S_ISDIR(st.st_mode))
    die_msg2(dir.c_str(), "not a directory");
}

// The triage's options taken; "file:" before a directory of indexes, as
// an apt source names a mirror, is dropped.
void
triage_check(triage_opts *t)
{
  if (t->to_fetched != nullptr &&
      (t->to_keyrings.empty() || t->to_cache.empty()))
    die_msg2("kavcollect",
             "-f fetches the archives the triage needs into -C: -K and -C "
             "are needed");
  bool any = !t->to_sources.empty() || !t->to_cache.empty() ||
             !t->to_root.empty();
  if (any && t->to_keyrings.empty())
    die_msg2("kavcollect", "-S, -C and -r triage the changes: -K is needed");
  for (const std::string &k : t->to_keyrings)
    if (access(k.c_str(), R_OK) != 0)
      die_sys1(k.c_str());
  for (std::string &s : t->to_sources) {
    if (s.compare(0, 5, "file:") == 0)
      s.erase(0, 5);
    need_dir(s);
  }
  if (!t->to_cache.empty())
    need_dir(t->to_cache);
  // apt-get download writes there, as the user running kavcollect.
  if (t->to_fetched != nullptr && access(t->to_cache.c_str(), W_OK | X_OK) != 0)
    die_sys1(t->to_cache.c_str());
  // The snapshots hold the host's paths under the root as they are named.
  while (t->to_root.size() > 1 && t->to_root.back() == '/')
    t->to_root.pop_back();
  if (t->to_root == "/")
    t->to_root.clear();
  if (!t->to_root.empty() && t->to_root[0] != '/')
    die_msg2(t->to_root.c_str(), "the root must be an absolute path");
}

}  // namespace

int
main(int argc, char *argv[])
{
  diag_exit_status(2);  // 1 says something changed
  bool json = false;
  int jobs = 8;
  collect_gate gate;
  collect_opts o = {nullptr, nullptr, 600, &gate, nullptr};
  triage_opts to;
  triage_fetched fetched;
  int ch;
  while ((ch = getopt(argc, argv, PORT_OPTS("fjn:t:F:K:S:C:r:"))) != -1) {
    switch (ch) {
      case 'f': to.to_fetched = &fetched; break;
      case 'j': json = true; break;
      case 'n': jobs = number(optarg, 1, 256); break;
      case 't': o.co_time_limit = number(optarg, 1, 86400); break;
      case 'F': o.co_ssh_config = optarg; break;
      case 'K': to.to_keyrings.emplace_back(optarg); break;
      case 'S': to.to_sources.emplace_back(optarg); break;
      case 'C': to.to_cache = optarg; break;
      case 'r': to.to_root = optarg; break;
      default: usage();  // getopt has said what was wrong
    }
  }
  if (argc - optind < 2)
    usage();
  triage_check(&to);
  bool triage = !to.to_keyrings.empty();
  o.co_store = argv[optind];
  open_store(o.co_store);
  size_t nhosts = size_t(argc - optind - 1);
  char **hosts = argv + optind + 1;
  // Two threads in one host's directory would remove each other's files.
  for (size_t i = 0; i < nhosts; i++)
    for (size_t j = 0; j < i; j++)
      if (strcmp(hosts[i], hosts[j]) == 0)
        die_msg2(hosts[i], "named twice");

  // The hosts' control sockets, in a directory only this run can enter.
  const char *tmp = getenv("TMPDIR");
  std::string ctl_dir =
      std::string(tmp != nullptr && *tmp == '/' ? tmp : "/tmp") +
      "/kavcollect.XXXXXX";
  if (mkdtemp(&ctl_dir[0]) == nullptr)
    die_sys2("mkdtemp", ctl_dir.c_str());
  o.co_ctl_dir = ctl_dir.c_str();

  // Each compare holds two snapshots: no more at once than there are
  // cores, whatever the number of sessions.
  int cores = int(std::thread::hardware_concurrency());
  gate.cg_free = cores == 0 ? 1 : cores < jobs ? cores : jobs;
  std::vector<collect_result> results(nhosts);
  std::vector<triage_host> triaged(triage ? nhosts : 0);
  std::atomic<size_t> next(0);
  auto work = [&] {
    for (size_t i; (i = next++) < nhosts;) {
      collect_host(&o, hosts[i], &results[i]);
      if (triage && results[i].cr_error.empty())
        triage_run(&o, &to, &results[i], &triaged[i]);
    }
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < jobs && size_t(t) < nhosts; t++)
    threads.emplace_back(work);
  for (std::thread &t : threads)
    t.join();
  rmdir(ctl_dir.c_str());

  int status = 0;
  for (size_t h = 0; h < nhosts; h++) {
    const collect_result &r = results[h];
    const triage_host *t = triage ? &triaged[h] : nullptr;
    if ((json ? report_host_json(&r, t) : report_host(&r, t)) != 0)
      die_sys1("stdout");
    if (!r.cr_error.empty() || !r.cr_aside.empty())
      status = 2;
    if (!r.cr_error.empty())
      continue;
    for (size_t i = 0; i < r.cr_sections.size(); i++) {
      const collect_section &s = r.cr_sections[i];
      if (s.cs_changes.empty())
        continue;
      // Triaged, a section counts as kavexplain's status says: 0 when
      // every change is explained, 2 when something did not verify or
      // it could not be triaged.
      int st = 1;
      if (t != nullptr && i < t->th_sections.size()) {
        const triage_section &ts = t->th_sections[i];
        st = ts.ts_done ? xp_status(ts.ts_paths, ts.ts_notes) : 2;
        if (!ts.ts_done)
          warn_msg3("kavcollect", r.cr_host.c_str(),
                    (s.cs_newer + ": not triaged: " + ts.ts_error).c_str());
      }
      if (st > status)
        status = st;
    }
  }
  if (!json && report_fleet(results, triage ? &triaged : nullptr) != 0)
    die_sys1("stdout");
  if (fflush(stdout) != 0)
    die_sys1("stdout");
  // Only a report that went out counts as made: the next run compares
  // again whatever this one could not mark.
  for (const collect_result &r : results) {
    std::string err;
    if (r.cr_error.empty() && !collect_mark(&o, &r, &err)) {
      warn_msg3("kavcollect", r.cr_host.c_str(), err.c_str());
      status = 2;
    }
  }
  return status;
}
