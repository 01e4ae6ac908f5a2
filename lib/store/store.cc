// store.cc: the database directory's names, its opening, its lock and
// its list of snapshots.
#include "store/store.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

#include "port/port.h"
#include "proc/proc.h"
#include "store/trusted.h"

namespace {

constexpr size_t NUM_LEN = 6;    // the snapshot's number
constexpr size_t TIME_LEN = 16;  // YYYYMMDDThhmmssZ
constexpr size_t NAME_LEN = sizeof ST_PREFIX - 1 + NUM_LEN + 1 + TIME_LEN;
constexpr int NUM_MAX = 999999;

// The names of the job's own that must not be links, in the order they
// are checked.
constexpr const char *OWN_NAMES[] = {"lock",
                                     "report",
                                     "report.unexplained",
                                     "report.explained",
                                     "report.triage",
                                     "partial",
                                     "partial.sig",
                                     "partial.pkg",
                                     "partial.pkg.sig",
                                     "accept.log",
                                     "accept.log.sig",
                                     "accept.log.partial",
                                     "accept.log.partial.sig"};

bool
digits(std::string_view s, size_t at, size_t n)
{
  for (size_t i = at; i < at + n; i++)
    if (s[i] < '0' || s[i] > '9')
      return false;
  return true;
}

// The name's time part for now, or "" when the year has not four digits.
std::string
time_part(int64_t now)
{
  time_t t = time_t(now);
  struct tm tm;
  char buf[32];
  if (int64_t(t) != now || gmtime_r(&t, &tm) == nullptr ||
      tm.tm_year + 1900 < 0 || tm.tm_year + 1900 > 9999 ||
      strftime(buf, sizeof buf, "%Y%m%dT%H%M%SZ", &tm) != TIME_LEN)
    return "";
  return buf;
}

// mkdir -p, each directory made mode 0700.
bool
make_dirs(const std::string &path)
{
  for (size_t at = path.find('/', 1);; at = path.find('/', at + 1)) {
    std::string part = path.substr(0, at);
    if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
      return false;
    if (at == std::string::npos)
      return true;
  }
}

}  // namespace

bool
st_is_snapshot(std::string_view name)
{
  constexpr size_t p = sizeof ST_PREFIX - 1;
  return name.size() == NAME_LEN && name.substr(0, p) == ST_PREFIX &&
         digits(name, p, NUM_LEN) && name[p + 6] == '-' &&
         digits(name, p + 7, 8) && name[p + 15] == 'T' &&
         digits(name, p + 16, 6) && name[p + 22] == 'Z';
}

bool
st_is_baseline(std::string_view name)
{
  return st_is_snapshot(name) &&
         name.substr(0, sizeof ST_BASE_PREFIX - 1) == ST_BASE_PREFIX;
}

std::string
st_next_name(std::string_view prev, int64_t now)
{
  int num = 0;
  if (!prev.empty()) {
    if (!st_is_snapshot(prev))
      return "";
    // Decimal, leading zeros and all.
    for (size_t i = 0; i < NUM_LEN; i++)
      num = num * 10 + (prev[sizeof ST_PREFIX - 1 + i] - '0');
    if (num == NUM_MAX)
      return "";
    num++;
  }
  std::string when = time_part(now);
  if (when.empty())
    return "";
  char seq[16];
  snprintf(seq, sizeof seq, "%06d-", num);
  return ST_PREFIX + std::string(seq) + when;
}

std::string
st_baseline_name(int64_t now)
{
  std::string when = time_part(now);
  return when.empty() ? "" : ST_BASE_PREFIX + when;
}

bool
st_dir_open(const std::string &path, bool make, st_dir *d, std::string *err)
{
  const std::string &p = path;
  // "dir/" would follow a link named dir.
  std::string opened = p;
  while (opened.size() > 1 && opened.back() == '/')
    opened.pop_back();
  if (make && !make_dirs(opened)) {
    *err = p + ": cannot make the database directory: " + strerror(errno);
    return false;
  }
  fd_guard fd(open(opened.c_str(),
                   O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat st;
  if (fd.get() < 0) {
    int e = errno;
    if (lstat(opened.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
      *err = p + ": the database directory is a symbolic link";
    else if (e == ENOTDIR || e == ENOENT)
      *err = p + ": the database directory is not a directory";
    else
      *err = p + ": cannot open the database directory: " + strerror(e);
    return false;
  }
  if (fstat(fd.get(), &st) != 0) {
    *err = p + ": cannot read its status: " + strerror(errno);
    return false;
  }
  if (st.st_uid != 0 && st.st_uid != geteuid()) {
    *err = p + ": owned by uid " + std::to_string(st.st_uid) +
           ", not by root; the snapshots could be replaced";
    return false;
  }
  if ((st.st_mode & 07777) != 0700) {
    char mode[16];
    snprintf(mode, sizeof mode, "%o", unsigned(st.st_mode & 07777));
    *err = p + ": mode " + mode + ", want 700; chmod 700 " + p;
    return false;
  }
  for (const char *name : OWN_NAMES) {
    if (fstatat(fd.get(), name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT)
        continue;
      *err = p + "/" + name + ": cannot read its status: " + strerror(errno);
      return false;
    }
    if (S_ISLNK(st.st_mode)) {
      *err = p + "/" + name +
             ": a symbolic link where a file of kavnightly's own belongs";
      return false;
    }
  }
  // The directories above it, and the same directory reached by a walk
  // from "/" that trusts no name another user could swap.
  int walked;
  std::string real;
  if (!st_open_trusted(opened, ST_WANT_DIR, "the database directory", &walked,
                       &real, err))
    return false;
  struct stat wst;
  bool same = fstat(walked, &wst) == 0 && fstat(fd.get(), &st) == 0 &&
              wst.st_dev == st.st_dev && wst.st_ino == st.st_ino;
  close(walked);
  if (!same) {
    *err = p + ": the database directory was replaced while it was checked";
    return false;
  }
  st_dir_close(d);
  d->sd_path = p;
  d->sd_real = real;
  d->sd_fd = fd.release();
  return true;
}

void
st_dir_close(st_dir *d)
{
  if (d->sd_lock >= 0)
    close(d->sd_lock);
  if (d->sd_fd >= 0)
    close(d->sd_fd);
  d->sd_lock = d->sd_fd = -1;
}

bool
st_lock(st_dir *d, bool shared, int wait_s, bool *busy, std::string *err)
{
  *busy = false;
  const std::string lock = d->sd_path + "/lock";
  if (d->sd_lock < 0) {
    int flags = shared ? O_RDONLY : O_RDWR | O_CREAT;
    int fd = openat(d->sd_fd, "lock",
                    flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    // A lock no run has ever made has no holder.
    if (fd < 0 && shared && errno == ENOENT)
      return true;
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
      *err = lock + ": cannot open: " + strerror(errno);
      if (fd >= 0)
        close(fd);
      return false;
    }
    if (!S_ISREG(st.st_mode)) {
      *err = lock + ": cannot open: not a regular file";
      close(fd);
      return false;
    }
    d->sd_lock = fd;
  }
  // Polled rather than waited for with an alarm: no signal is left to the
  // caller.
  const int64_t deadline = proc_now_ms() + 1000 * int64_t(std::max(wait_s, 0));
  for (;;) {
    if (flock(d->sd_lock, (shared ? LOCK_SH : LOCK_EX) | LOCK_NB) == 0)
      return true;
    if (errno != EWOULDBLOCK && errno != EINTR) {
      *err = lock + ": cannot lock: " + strerror(errno);
      break;
    }
    if (proc_now_ms() >= deadline) {
      *busy = true;
      *err = lock + ": another run still holds it after " +
             std::to_string(wait_s) + " s; giving up";
      break;
    }
    const timespec tick = {0, 100 * 1000 * 1000};
    nanosleep(&tick, nullptr);
  }
  close(d->sd_lock);
  d->sd_lock = -1;
  return false;
}

bool
st_list(const st_dir &d, std::vector<std::string> *names, std::string *err)
{
  names->clear();
  int fd = openat(d.sd_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  std::unique_ptr<DIR, int (*)(DIR *)> dir(fd < 0 ? nullptr : fdopendir(fd),
                                           closedir);
  if (dir == nullptr) {
    if (fd >= 0)
      close(fd);
    *err = d.sd_path + ": cannot list: " + strerror(errno);
    return false;
  }
  errno = 0;
  while (struct dirent *de = readdir(dir.get())) {
    struct stat st;
    if (st_is_snapshot(de->d_name) &&
        fstatat(d.sd_fd, de->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(st.st_mode))
      names->push_back(de->d_name);
    errno = 0;
  }
  if (errno != 0) {
    *err = d.sd_path + ": cannot list: " + strerror(errno);
    return false;
  }
  std::sort(names->begin(), names->end());
  return true;
}
