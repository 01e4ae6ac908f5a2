// store.cc: the database directory's names, its opening and lock, and
// reading and writing its files, every one relative to the directory's
// descriptor and without following a link.
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

#include "db/print.h"
#include "port/port.h"
#include "sha256/sha256.h"

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

std::string
sys_text(const st_dir &d, const std::string &name, const char *what)
{
  return d.sd_path + "/" + name + ": " + what + ": " + strerror(errno);
}

int64_t
now_ms()
{
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return int64_t(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
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

// Opens the regular file name of d for reading, without following a link
// and without blocking on a FIFO put in its place.
int
open_regular(const st_dir &d, const std::string &name, struct stat *st)
{
  fd_guard fd(openat(d.sd_fd, name.c_str(),
                     O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (fd.get() < 0 || fstat(fd.get(), st) != 0)
    return -1;
  if (!S_ISREG(st->st_mode)) {
    errno = EINVAL;  // said as "not a regular file" by the callers
    return -1;
  }
  return fd.release();
}

std::string
read_text(const st_dir &d, const std::string &name)
{
  if (errno == EINVAL)
    return d.sd_path + "/" + name + ": cannot read: not a regular file";
  if (errno == ELOOP)
    return d.sd_path + "/" + name + ": cannot read: a symbolic link";
  return sys_text(d, name, "cannot read");
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
  if (make && !make_dirs(p)) {
    *err = p + ": cannot make the database directory: " + strerror(errno);
    return false;
  }
  // The directories above it: st_open_trusted (trusted.h).
  fd_guard fd(open(p.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat st;
  if (fd.get() < 0) {
    int e = errno;
    if (lstat(p.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
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
  st_dir_close(d);
  d->sd_path = p;
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
  const int64_t deadline = now_ms() + 1000 * int64_t(std::max(wait_s, 0));
  for (;;) {
    if (flock(d->sd_lock, (shared ? LOCK_SH : LOCK_EX) | LOCK_NB) == 0)
      return true;
    if (errno != EWOULDBLOCK && errno != EINTR) {
      *err = lock + ": cannot lock: " + strerror(errno);
      break;
    }
    if (now_ms() >= deadline) {
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

bool
st_sync_file(const st_dir &d, const std::string &name, std::string *err)
{
  fd_guard fd(openat(d.sd_fd, name.c_str(),
                     O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (fd.get() < 0 || fsync(fd.get()) != 0) {
    *err = sys_text(d, name, "cannot write the file to disk");
    return false;
  }
  return true;
}

bool
st_sync_dir(const st_dir &d, std::string *err)
{
  // A file system that cannot sync a directory (EINVAL) keeps it as it
  // does.
  if (fsync(d.sd_fd) != 0 && errno != EINVAL) {
    *err = d.sd_path +
           ": cannot write the directory to disk: " + strerror(errno);
    return false;
  }
  return true;
}

bool
st_write(const st_dir &d, const std::string &name, std::string_view bytes,
         std::string *err)
{
  int fd = openat(d.sd_fd, name.c_str(),
                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    *err = sys_text(d, name, "cannot write");
    return false;
  }
  size_t at = 0;
  bool ok = true;
  while (ok && at < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + at, bytes.size() - at);
    if (n > 0)
      at += size_t(n);
    else if (n == 0 || errno != EINTR)
      ok = false;
  }
  ok = ok && fsync(fd) == 0;
  if (!ok)
    *err = sys_text(d, name, "cannot write");
  if (close(fd) != 0 && ok) {
    *err = sys_text(d, name, "cannot write");
    ok = false;
  }
  if (!ok)
    unlinkat(d.sd_fd, name.c_str(), 0);
  return ok;
}

bool
st_read(const st_dir &d, const std::string &name, std::string *bytes,
        bool *missing, std::string *err)
{
  bytes->clear();
  *missing = false;
  struct stat st;
  fd_guard fd(open_regular(d, name, &st));
  if (fd.get() < 0) {
    *missing = errno == ENOENT;
    *err = read_text(d, name);
    return false;
  }
  char buf[1 << 16];
  for (;;) {
    ssize_t n = read(fd.get(), buf, sizeof buf);
    if (n == 0)
      return true;
    if (n > 0)
      bytes->append(buf, size_t(n));
    else if (errno != EINTR) {
      *err = read_text(d, name);
      return false;
    }
  }
}

bool
st_exists(const st_dir &d, const std::string &name, bool any)
{
  struct stat st;
  return fstatat(d.sd_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
         (any || S_ISREG(st.st_mode));
}

bool
st_sha256(const st_dir &d, const std::string &name, std::string *hex,
          off_t *size, std::string *err)
{
  struct stat st;
  fd_guard fd(open_regular(d, name, &st));
  sha256_ctx ctx;
  if (fd.get() < 0 || sha256_init(&ctx) != 0) {
    *err = read_text(d, name);
    return false;
  }
  std::vector<char> buf(1 << 16);
  off_t total = 0;
  for (;;) {
    ssize_t n = read(fd.get(), buf.data(), buf.size());
    if (n == 0)
      break;
    if (n > 0) {
      sha256_update(&ctx, buf.data(), size_t(n));
      total += n;
    } else if (errno != EINTR) {
      *err = read_text(d, name);
      sha256_free(&ctx);
      return false;
    }
  }
  uint8_t sum[SHA256_LEN];
  sha256_final(&ctx, sum);
  char text[2 * SHA256_LEN + 1];
  hex_encode(sum, text, int(2 * SHA256_LEN));
  hex->assign(text, 2 * SHA256_LEN);
  if (size != nullptr)
    *size = total;
  return true;
}
