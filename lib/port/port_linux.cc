// port_linux.cc: the Linux side of port.h.
#include "port/port.h"

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/sysmacros.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

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

int
stat_from_statx(int dirfd, const char *name, port_stat *st)
{
  struct statx x;
  if (statx(dirfd, name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT,
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

// fdopendir() that owns fd whatever happens: the stream closes it from now
// on, or it is closed here when no stream can be made.
DIR *
stream_from_fd(int fd)
{
  fd_guard g(fd);
  DIR *d = fdopendir(fd);
  if (d != nullptr)
    g.release();
  return d;
}

}  // namespace

int
port_lstat(const char *path, port_stat *st)
{
  return stat_from_statx(AT_FDCWD, path, st);
}

int
port_lstatat(int dirfd, const char *name, port_stat *st)
{
  return stat_from_statx(dirfd, name, st);
}

DIR *
port_opendirat(int dirfd, const char *name)
{
  // O_NONBLOCK as for any object the walk opens: should a FIFO have taken
  // the directory's place, O_DIRECTORY refuses it before anything waits.
  int fd = openat(dirfd, name,
                  O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0)
    return nullptr;
  return stream_from_fd(fd);
}

int
port_readdir(DIR *dir, struct dirent **ent)
{
  // readdir() tells the end from an error only through errno.
  int saved = errno;
  errno = 0;
  *ent = readdir(dir);
  int r = *ent == nullptr ? errno : 0;
  errno = saved;
  return r;
}

int
port_open_object(const char *path, const port_stat *st)
{
  int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  if (S_ISDIR(st->st_mode))
    flags |= O_DIRECTORY;
  // O_NOATIME is refused (EPERM) unless the process owns the file or may
  // act as its owner; try it where it is likely to be granted.
  uid_t me = geteuid();
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
  dir_guard d(stream_from_fd(fd));
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

namespace {

// A page of a mapping that cannot be had (the file shrank, the disk failed)
// is a SIGBUS on the thread that touched it, and only a signal handler can
// take that thread back to where it started reading: the handler is the
// process's, set up once, and each thread reading a mapping has its way
// back and the window it reads in map_now.
struct map_reading {
  sigjmp_buf back;
  // Read by the handler and after the jump, so never kept in a register.
  const uint8_t *volatile at;
  volatile size_t len;
};
thread_local map_reading *map_now __attribute__((tls_model("initial-exec")));
struct sigaction map_before;  // the action ours replaced
pthread_once_t map_once = PTHREAD_ONCE_INIT;
bool map_ready;

void
on_sigbus(int sig, siginfo_t *info, void *)
{
  const map_reading *r = map_now;
  const uint8_t *addr = static_cast<const uint8_t *>(info->si_addr);
  if (r != nullptr && info->si_code > 0 && r->at != nullptr && addr >= r->at &&
      addr < r->at + r->len)
    siglongjmp(map_now->back, 1);
  // Not ours: the action before ours takes it, a fault when the
  // instruction runs again, a signal sent when it is raised again.
  sigaction(SIGBUS, &map_before, nullptr);
  if (info->si_code <= 0)
    raise(sig);
}

void
map_install()
{
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_sigaction = on_sigbus;
  // Not blocked while it runs, so the jump back leaves the mask as it was.
  sa.sa_flags = SA_SIGINFO | SA_NODEFER;
  sigemptyset(&sa.sa_mask);
  map_ready = sigaction(SIGBUS, &sa, &map_before) == 0;
}

// Each mapping is this long at most: memory and page tables stay bounded
// whatever the file's size.
constexpr size_t MAP_WINDOW = 4u << 20;

}  // namespace

int
port_map_feed(int fd, off_t off, size_t len, size_t slice, port_feed_fn fn,
              void *arg, size_t *done)
{
  *done = 0;
  if (pthread_once(&map_once, map_install) != 0 || !map_ready)
    return 0;
  map_reading r;
  r.at = nullptr;
  r.len = 0;
  map_reading *outer = map_now;
  if (sigsetjmp(r.back, 0) != 0) {
    map_now = outer;
    munmap(const_cast<uint8_t *>(r.at), r.len);
    return 1;
  }
  map_now = &r;
  size_t at = 0;
  while (at < len) {
    size_t n = std::min(MAP_WINDOW, len - at);
    void *m = mmap(nullptr, n, PROT_READ, MAP_SHARED, fd, off + off_t(at));
    if (m == MAP_FAILED)
      break;
    r.len = n;
    r.at = static_cast<const uint8_t *>(m);
    for (size_t s = 0; s < n; s += slice)
      fn(r.at + s, std::min(slice, n - s), arg);
    r.at = nullptr;
    munmap(m, n);
    at += n;
  }
  map_now = outer;
  *done = at;
  return 0;
}
