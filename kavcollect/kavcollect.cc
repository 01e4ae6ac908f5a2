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
#include "port/port.h"

namespace {

const char usage_text[] =
    "usage: kavcollect [-j] [-n jobs] [-t seconds] [-F ssh_config] store "
    "host ...\n";

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

}  // namespace

int
main(int argc, char *argv[])
{
  diag_exit_status(2);  // 1 says something changed
  bool json = false;
  int jobs = 8;
  collect_gate gate;
  collect_opts o = {nullptr, nullptr, 600, &gate, nullptr};
  int ch;
  while ((ch = getopt(argc, argv, PORT_OPTS("jn:t:F:"))) != -1) {
    switch (ch) {
      case 'j': json = true; break;
      case 'n': jobs = number(optarg, 1, 256); break;
      case 't': o.co_time_limit = number(optarg, 1, 86400); break;
      case 'F': o.co_ssh_config = optarg; break;
      default: usage();  // getopt has said what was wrong
    }
  }
  if (argc - optind < 2)
    usage();
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
  std::atomic<size_t> next(0);
  auto work = [&] {
    for (size_t i; (i = next++) < nhosts;)
      collect_host(&o, hosts[i], &results[i]);
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < jobs && size_t(t) < nhosts; t++)
    threads.emplace_back(work);
  for (std::thread &t : threads)
    t.join();
  rmdir(ctl_dir.c_str());

  int status = 0;
  for (collect_result &r : results) {
    if ((json ? report_host_json(&r) : report_host(&r)) != 0)
      die_sys1("stdout");
    if (!r.cr_error.empty() || !r.cr_aside.empty())
      status = 2;
    if (!r.cr_error.empty())
      continue;
    for (const collect_section &s : r.cr_sections)
      if (!s.cs_changes.empty() && status == 0)
        status = 1;
  }
  if (!json && report_fleet(results) != 0)
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
