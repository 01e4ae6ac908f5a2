// store_file.cc: reading and writing the files of the database
// directory, every one relative to the directory's descriptor and without
// following a link.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "db/print.h"
#include "port/port.h"
#include "sha256/sha256.h"
#include "store/store.h"

namespace {

std::string
sys_text(const st_dir &d, const std::string &name, const char *what)
{
  return d.sd_path + "/" + name + ": " + what + ": " + strerror(errno);
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
