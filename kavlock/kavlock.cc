// kavlock: runs a command while holding a write lock on a whole file, the
// record lock (fcntl) that dpkg and apt take on dpkg's frontend lock, so
// that no package operation starts while the command runs and the command
// does not start while one is under way (pkg_lock_frontend).
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "diag/diag.h"
#include "pkg/pkg.h"
#include "port/port.h"
#include "proc/proc.h"

namespace {

const char usage_text[] =
    "usage: kavlock [-w seconds] file command [arg ...]\n";

// The statuses of kavlock's own, as timeout(1) and env(1) use them, so
// that a caller can tell them from the command's.
constexpr int ST_BUSY = 124;    // still locked by another after the wait
constexpr int ST_FAILED = 125;  // kavlock itself failed
constexpr int ST_CANNOT = 126;  // the command cannot be run
constexpr int ST_NOT_FOUND = 127;

[[noreturn]] void
usage()
{
  fwrite(usage_text, 1, sizeof usage_text - 1, stderr);
  exit(ST_FAILED);
}

// The seconds of -w: a whole number, at most a day.
int
wait_arg(const char *s)
{
  char *end;
  errno = 0;
  long v = strtol(s, &end, 10);
  if (errno != 0 || end == s || *end != '\0' || v < 0 || v > 86400)
    die_msg2("-w", "want a number of seconds from 0 to 86400");
  return int(v);
}

}  // namespace

int
main(int argc, char *argv[])
{
  diag_exit_status(ST_FAILED);
  int seconds = 0;
  int ch;
  while ((ch = getopt(argc, argv, PORT_OPTS("w:"))) != -1) {
    switch (ch) {
      case 'w': seconds = wait_arg(optarg); break;
      default: usage();  // getopt has said what was wrong
    }
  }
  if (argc - optind < 2)
    usage();
  const char *file = argv[optind];

  // dpkg makes the file when it is missing, and so does this; a link is
  // not followed.
  int fd;
  bool busy;
  std::string err;
  if (!pkg_lock_frontend(file, seconds, &fd, &busy, &err)) {
    warn_msg1(err.c_str());
    return busy ? ST_BUSY : ST_FAILED;
  }

  // The lock is this process's, on fd, left open: the command runs as a
  // child, and the lock goes when this process ends, however it ends.
  proc_cmd cmd = {};
  cmd.cm_argv = argv + optind + 1;
  cmd.cm_in = {PROC_IN_FD, 0, nullptr, 0};
  cmd.cm_out = {PROC_OUT_FD, 1, 0};
  cmd.cm_err = {PROC_OUT_FD, 2, 0};
  proc_child child;
  if (!proc_start(cmd, &child, &err)) {
    warn_msg1(err.c_str());
    return !child.pc_cannot_run ? ST_FAILED
           : errno == ENOENT    ? ST_NOT_FOUND
                                : ST_CANNOT;
  }
  proc_result r;
  if (!proc_wait(&child, &r, &err))
    die_msg1(err.c_str());
  if (r.pr_end == PROC_SIGNALED)
    return 128 + r.pr_code;
  return r.pr_code;
}
