// kavlock: runs a command while holding a write lock on a whole file, the
// record lock (fcntl) that dpkg and apt take on dpkg's frontend lock, so
// that no package operation starts while the command runs and the command
// does not start while one is under way. flock(2) would not do: the two
// kinds of lock do not see each other on Linux.
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "diag/diag.h"
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

// One try at the write lock on the whole file: true when taken, false
// when another process holds a lock on it; any other failure ends the run.
bool
lock_try(int fd, const char *file)
{
  struct flock fl = {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = 0;
  fl.l_len = 0;  // to the end, however far the file grows
  if (fcntl(fd, F_SETLK, &fl) == 0)
    return true;
  if (errno != EACCES && errno != EAGAIN)
    die_sys2("fcntl(F_SETLK)", file);
  return false;
}

// Tries every tenth of a second until the lock is taken or the seconds
// have passed. Polling, not F_SETLKW under an alarm: no signal handler
// to race with, and a tenth of a second is nothing beside a walk.
bool
lock_wait(int fd, const char *file, int seconds)
{
  int64_t deadline = proc_now_ms() + int64_t(seconds) * 1000;
  while (!lock_try(fd, file)) {
    if (proc_now_ms() >= deadline)
      return false;
    struct timespec tenth = {0, 100 * 1000 * 1000};
    nanosleep(&tenth, nullptr);
  }
  return true;
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

  // A write lock needs the file open for writing. dpkg makes the file
  // when it is missing, and so does this; a link is not followed, so
  // that the lock cannot be steered onto a file elsewhere.
  int fd = open(file, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0640);
  if (fd < 0)
    die_sys1(file);
  if (!lock_wait(fd, file, seconds)) {
    char text[64];
    snprintf(text, sizeof text, "still locked by another process after %d s",
             seconds);
    warn_msg2(file, text);
    return ST_BUSY;
  }

  // The lock is this process's: the command runs as a child, and the lock
  // goes when this process ends, however it ends.
  proc_cmd cmd = {};
  cmd.cm_argv = argv + optind + 1;
  cmd.cm_in = {PROC_IN_FD, 0, nullptr, 0};
  cmd.cm_out = {PROC_OUT_FD, 1, 0};
  cmd.cm_err = {PROC_OUT_FD, 2, 0};
  proc_child child;
  std::string err;
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
