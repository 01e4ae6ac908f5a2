// pkg_lock.cc: dpkg's frontend lock, taken as dpkg and apt take it.
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "diag/diag.h"
#include "pkg/pkg.h"
#include "proc/proc.h"

namespace {

// One try at the write lock on the whole file: 1 when taken, 0 when
// another process holds a lock on it, -1 with errno on any other failure.
int
lock_try(int fd)
{
  struct flock fl = {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = 0;
  fl.l_len = 0;  // to the end, however far the file grows
  if (fcntl(fd, F_SETLK, &fl) == 0)
    return 1;
  return errno == EACCES || errno == EAGAIN ? 0 : -1;
}

}  // namespace

bool
pkg_lock_frontend(const std::string &file, int wait_s, int *fd, bool *busy,
                  std::string *err)
{
  *fd = -1;
  *busy = false;
  // A write lock needs the file open for writing.
  int f = open(file.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0640);
  if (f < 0) {
    *err = file + ": " + strerror(errno);
    return false;
  }
  // Polling, not F_SETLKW under an alarm: no signal handler to race
  // with, and a tenth of a second is nothing beside a walk.
  int64_t deadline = proc_now_ms() + int64_t(wait_s) * 1000;
  int r;
  while ((r = lock_try(f)) == 0 && proc_now_ms() < deadline) {
    struct timespec tenth = {0, 100 * 1000 * 1000};
    nanosleep(&tenth, nullptr);
  }
  if (r == 1) {
    *fd = f;
    return true;
  }
  if (r < 0) {
    *err = diag_sys_text("fcntl(F_SETLK)", file.c_str());
  } else {
    *busy = true;
    *err = file + ": still locked by another process after " +
           std::to_string(wait_s) + " s";
  }
  close(f);
  return false;
}
