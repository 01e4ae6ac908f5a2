// port_linux.cc: the Linux side of port.h.
#include "port/port.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/sysmacros.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace {

// statx attributes that have a BSD file flag. Linux keeps immutable and
// append-only for the superuser, but the BSD system bits live above the
// 16 bits a record stores, so the user bits carry them.
constexpr struct {
  uint64_t attr;
  uint32_t flag;
} statx_flags[] = {
    {STATX_ATTR_NODUMP, UF_NODUMP},
    {STATX_ATTR_IMMUTABLE, UF_IMMUTABLE},
    {STATX_ATTR_APPEND, UF_APPEND},
};

// The status of name in dirfd, or with AT_EMPTY_PATH in flags of dirfd
// itself.
int
stat_from_statx(int dirfd, const char *name, int flags, port_stat *st)
{
  struct statx x;
  if (statx(dirfd, name, flags | AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT,
            STATX_BASIC_STATS, &x) != 0)
    return -1;
  memset(st, 0, sizeof *st);
  st->st_dev = makedev(x.stx_dev_major, x.stx_dev_minor);
  st->st_ino = x.stx_ino;
  st->st_mode = x.stx_mode;
  st->st_nlink = x.stx_nlink;
  st->st_uid = x.stx_uid;
  st->st_gid = x.stx_gid;
  st->st_rdev = makedev(x.stx_rdev_major, x.stx_rdev_minor);
  st->st_size = off_t(x.stx_size);
  st->st_blksize = blksize_t(x.stx_blksize);
  st->st_blocks = blkcnt_t(x.stx_blocks);
  st->st_atim = {x.stx_atime.tv_sec, x.stx_atime.tv_nsec};
  st->st_mtim = {x.stx_mtime.tv_sec, x.stx_mtime.tv_nsec};
  st->st_ctim = {x.stx_ctime.tv_sec, x.stx_ctime.tv_nsec};
  uint64_t attrs = x.stx_attributes & x.stx_attributes_mask;
  for (const auto &f : statx_flags)
    if (attrs & f.attr)
      st->st_flags |= f.flag;
  return 0;
}

// What getdents64() fills at once: the C library's own size, so a
// directory of some hundred entries takes one call and the one that says
// it has ended.
constexpr size_t PORT_DIR_BUF = 32 * 1024;

// A port_dir that owns fd whatever happens, or null with ENOMEM (fd then
// closed).
port_dir *dir_from_fd(int fd);

}  // namespace

struct port_dir {
  int fd;
  size_t at, len;  // the next entry and the end of those read in buf
  alignas(8) char buf[PORT_DIR_BUF];
};

namespace {

port_dir *
dir_from_fd(int fd)
{
  fd_guard g(fd);
  port_dir *d = static_cast<port_dir *>(malloc(sizeof *d));
  if (d == nullptr) {
    errno = ENOMEM;
    return nullptr;
  }
  d->fd = g.release();
  d->at = 0;
  d->len = 0;
  return d;
}

}  // namespace

int
port_lstat(const char *path, port_stat *st)
{
  return stat_from_statx(AT_FDCWD, path, 0, st);
}

int
port_lstatat(int dirfd, const char *name, port_stat *st)
{
  return stat_from_statx(dirfd, name, 0, st);
}

int
port_open_statat(int dirfd, const char *name, port_stat *st)
{
  // The owner is not known before the status, so O_NOATIME is tried
  // first; only a process that may not act as the owner is refused it.
  int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  int fd = openat(dirfd, name, flags | O_NOATIME);
  if (fd < 0 && errno == EPERM)
    fd = openat(dirfd, name, flags);
  if (fd < 0)
    return -1;
  fd_guard g(fd);
  if (stat_from_statx(fd, "", AT_EMPTY_PATH, st) != 0)
    return -1;
  return g.release();
}

port_dir *
port_opendir(const char *path)
{
  int fd = open(path, O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC);
  return fd < 0 ? nullptr : dir_from_fd(fd);
}

port_dir *
port_opendirat(int dirfd, const char *name)
{
  // O_NONBLOCK as for any object the walk opens: should a FIFO have taken
  // the directory's place, O_DIRECTORY refuses it before anything waits.
  int fd = openat(dirfd, name,
                  O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  return fd < 0 ? nullptr : dir_from_fd(fd);
}

int
port_dirfd(const port_dir *dir)
{
  return dir->fd;
}

int
port_closedir(port_dir *dir)
{
  int r = close(dir->fd);
  int e = errno;
  free(dir);
  errno = e;
  return r;
}

int
port_readdir(port_dir *dir, struct dirent **ent)
{
  if (dir->at >= dir->len) {
    int saved = errno;
    ssize_t n = getdents64(dir->fd, dir->buf, sizeof dir->buf);
    int r = n < 0 ? errno : 0;
    errno = saved;
    if (n <= 0) {
      *ent = nullptr;
      return r;
    }
    dir->at = 0;
    dir->len = size_t(n);
  }
  // The system's records are laid out as the C library's struct dirent,
  // which is how its own readdir() hands them over.
  *ent = reinterpret_cast<struct dirent *>(dir->buf + dir->at);
  dir->at += (*ent)->d_reclen;
  return 0;
}

int
port_open_object(const char *path, const port_stat *st)
{
  int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  if (S_ISDIR(st->st_mode))
    flags |= O_DIRECTORY;
  // O_NOATIME is refused (EPERM) unless the process owns the file or may
  // act as its owner; try it where it is likely to be granted. No program
  // of the suite changes its user id, so it is asked for once, not once
  // per file: under a hypervisor a system call costs about 1 us.
  static const uid_t me = geteuid();
  int fd;
  if (me == 0 || me == st->st_uid) {
    fd = open(path, flags | O_NOATIME);
    if (fd < 0 && errno == EPERM)
      fd = open(path, flags);
  } else {
    fd = open(path, flags);
  }
  if (fd < 0)
    return -1;
  fd_guard g(fd);
  struct stat now;
  if (fstat(fd, &now) != 0)
    return -1;
  if (now.st_dev != st->st_dev || now.st_ino != st->st_ino ||
      (now.st_mode & S_IFMT) != (st->st_mode & S_IFMT)) {
    errno = ESTALE;
    return -1;
  }
  return g.release();
}

int
port_dir_names(int fd, port_name_fn fn, void *arg)
{
  dir_guard d(dir_from_fd(fd));
  if (d.get() == nullptr)
    return -1;
  for (;;) {
    struct dirent *ent;
    int r = port_readdir(d.get(), &ent);
    if (r != 0) {
      errno = r;
      return -1;
    }
    if (ent == nullptr)
      return 0;
    r = fn(ent->d_name, strlen(ent->d_name), arg);
    if (r != 0)
      return r;
  }
}

int
port_on_status_signal(void (*fn)(int))
{
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = fn;
  sa.sa_flags = SA_RESTART;
  sigemptyset(&sa.sa_mask);
  if (sigaction(SIGUSR1, &sa, nullptr) != 0)
    return -1;
#ifdef SIGINFO
  if (sigaction(SIGINFO, &sa, nullptr) != 0)
    return -1;
#endif
  return 0;
}

int
port_ncpu()
{
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    int n = CPU_COUNT(&set);
    if (n > 0)
      return n;
  }
  long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? int(n) : 1;
}

int
port_spawn_closefrom(posix_spawn_file_actions_t *fa, int lowfd)
{
  return posix_spawn_file_actions_addclosefrom_np(fa, lowfd);
}

ssize_t
port_read_nowait(int fd, void *buf, size_t n)
{
  iovec v = {buf, n};
  ssize_t r;
  do
    r = preadv2(fd, &v, 1, -1, RWF_NOWAIT);
  while (r < 0 && errno == EINTR);
  // Older kernels and some file systems refuse the flag itself.
  if (r < 0 && (errno == EOPNOTSUPP || errno == EINVAL || errno == ENOSYS)) {
    do
      r = read(fd, buf, n);
    while (r < 0 && errno == EINTR);
  }
  return r;
}
