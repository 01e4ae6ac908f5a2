// port.h: what differs between the BSD host the tools were made for and
// this one. Everything else in the tree reads as if it ran on BSD.
#pragma once
#include <dirent.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>

// File flags, with the values the BSD host uses. Only the low 16 bits survive
// in a stored record.
#ifndef UF_NODUMP
constexpr uint32_t UF_NODUMP = 0x00000001;
constexpr uint32_t UF_IMMUTABLE = 0x00000002;
constexpr uint32_t UF_APPEND = 0x00000004;
constexpr uint32_t UF_OPAQUE = 0x00000008;
constexpr uint32_t UF_NOUNLINK = 0x00000010;
constexpr uint32_t SF_ARCHIVED = 0x00010000;
constexpr uint32_t SF_IMMUTABLE = 0x00020000;
constexpr uint32_t SF_APPEND = 0x00040000;
constexpr uint32_t SF_NOUNLINK = 0x00100000;
#endif

// A file status as lstat() gives it on BSD: struct stat plus the file flags
// word. It converts to struct stat for code that needs only the POSIX part.
struct port_stat : ::stat {
  uint32_t st_flags;
};

// getopt() that stops at the first operand, as on BSD; glibc's reorders argv
// unless the option string starts with '+'.
#if defined(__GLIBC__)
#define PORT_OPTS(s) "+" s
#else
#define PORT_OPTS(s) s
#endif

// The status of path without following a final symbolic link, st_flags
// included. 0, or -1 with errno.
int port_lstat(const char *path, port_stat *st);
// The same for name inside the directory open as dirfd; saves resolving
// the directory's whole path again for every entry.
int port_lstatat(int dirfd, const char *name, port_stat *st);

// Opens name inside dirfd for reading its contents and reads its status,
// as port_lstatat gives it, from the descriptor: the status and the
// contents are those of one object, whatever takes the name meanwhile. No
// link is followed, a FIFO or device swapped in cannot block the open, and
// the access time is kept where the process may ask for that. For a name
// the directory lists as a regular file; the caller checks the type in st,
// since something else may have taken its place. The descriptor, or -1
// with errno.
int port_open_statat(int dirfd, const char *name, port_stat *st);

// A directory open for reading its entries, read in large pieces straight
// from the system: making a C library stream of it costs two system calls
// more, which on a walk of every directory of a host add up. Owns its
// descriptor.
struct port_dir;

// Opens the directory path, following links as opendir() does. Null with
// errno.
port_dir *port_opendir(const char *path);
// Opens the directory name inside dirfd; a final link is not followed.
// Null with errno.
port_dir *port_opendirat(int dirfd, const char *name);
// The directory's descriptor, to look its entries up relative to it.
int port_dirfd(const port_dir *dir);
// Closes the directory. 0, or -1 with errno from close().
int port_closedir(port_dir *dir);

// readdir_r()'s contract without its buffer: *ent is the next entry, or
// null at the end of the directory; it stays valid until the next call.
// Returns 0 or an error number and leaves errno alone (set errno from the
// result before reporting it).
int port_readdir(port_dir *dir, struct dirent **ent);

// Opens the object that st (from port_lstat) describes at path for
// reading its contents: a regular file or a directory. No link is
// followed, a FIFO or device swapped in cannot block the open, and the
// access time is kept where the process may ask for that. -1 with errno;
// ESTALE when path no longer names the object st describes.
int port_open_object(const char *path, const port_stat *st);

// Called once per name by port_dir_names with the name and its length; 0
// goes on, anything else stops the reading and is returned.
typedef int (*port_name_fn)(const char *name, size_t len, void *arg);

// Hands fn every name in the directory open as fd, "." and ".." included,
// in the order the directory gives them (a directory cannot be read() on
// this host). fd is closed in every case. 0 after the last name, -1 with
// errno when the directory cannot be read, else fn's first non-zero result.
int port_dir_names(int fd, port_name_fn fn, void *arg);

// Calls fn when the user asks a running program for its status: SIGUSR1,
// and SIGINFO where the host has it. Interrupted system calls restart.
// 0, or -1 with errno.
int port_on_status_signal(void (*fn)(int));

// The number of CPUs this process may run on (its affinity mask, so
// taskset or a service's CPU affinity limit it); at least 1.
int port_ncpu();

// Has a child that posix_spawn starts close every descriptor from lowfd
// up before it runs the program, whatever flags they carry. 0, or an
// error number as the posix_spawn_file_actions_* calls return one.
int port_spawn_closefrom(posix_spawn_file_actions_t *fa, int lowfd);

// read() that does not wait for the disk: -1 with EAGAIN when none of the
// bytes asked for is in the page cache yet. A plain read() where the host
// or the file system cannot tell.
ssize_t port_read_nowait(int fd, void *buf, size_t n);

// Closes what it holds (a descriptor, a directory stream) on every early
// return; release() hands it on. errno is kept, so the caller reports the
// failure that made it return, not one from closing.
template <typename T, T NONE, int (*CLOSE)(T)>
class port_guard {
 public:
  explicit port_guard(T v) : v_(v) {}
  ~port_guard()
  {
    if (v_ != NONE) {
      int e = errno;
      CLOSE(v_);
      errno = e;
    }
  }
  port_guard(const port_guard &) = delete;
  port_guard &operator=(const port_guard &) = delete;
  T get() const { return v_; }
  T release()
  {
    T v = v_;
    v_ = NONE;
    return v;
  }

 private:
  T v_;
};
using fd_guard = port_guard<int, -1, ::close>;
using dir_guard = port_guard<port_dir *, nullptr, port_closedir>;

// Copies src into dst, cutting it to N - 1 bytes; dst is always terminated.
template <size_t N>
inline void
copy_cut(char (&dst)[N], const char *src)
{
  size_t n = strnlen(src, N - 1);
  memcpy(dst, src, n);
  dst[n] = '\0';
}
