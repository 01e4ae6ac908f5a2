// store_place.cc: files coming into place in the database directory and
// going: placing a snapshot with its companions, removing, rotating, and
// the scratch files of an interrupted run.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "store/store.h"

namespace {

std::string
sys_text(const st_dir &d, const char *what, const std::string &name)
{
  return std::string(what) + " " + d.sd_path + "/" + name + ": " +
         strerror(errno);
}

bool
move(const st_dir &d, const std::string &from, const std::string &to)
{
  return renameat(d.sd_fd, from.c_str(), d.sd_fd, to.c_str()) == 0;
}

// Undoes the renames of a placing that failed, the newest first: each
// name moved goes back, or, when it cannot, is removed, so that nothing
// stays under the new name.
void
move_back(const st_dir &d, const std::vector<std::string> &moved,
          const std::string &from, const std::string &to)
{
  int e = errno;
  for (auto ext = moved.rbegin(); ext != moved.rend(); ++ext)
    if (!move(d, to + *ext, from + *ext))
      unlinkat(d.sd_fd, (to + *ext).c_str(), 0);
  std::string ignored;
  st_sync_dir(d, &ignored);
  errno = e;
}

bool
unlink_if(const st_dir &d, const std::string &name, std::string *err)
{
  if (unlinkat(d.sd_fd, name.c_str(), 0) == 0 || errno == ENOENT)
    return true;
  *err = sys_text(d, "cannot remove", name);
  return false;
}

// The snapshot a companion's name belongs to, or "" when it is no
// companion's.
std::string
companion_of(const std::string &name)
{
  for (const char *ext : ST_COMPANIONS) {
    size_t n = strlen(ext);
    if (name.size() > n && name.compare(name.size() - n, n, ext) == 0 &&
        st_is_snapshot(std::string_view(name).substr(0, name.size() - n)))
      return name.substr(0, name.size() - n);
  }
  return "";
}

}  // namespace

bool
st_place(const st_dir &d, const std::string &from, const std::string &to,
         std::string *err)
{
  std::vector<std::string> moved;  // the extensions moved, "" the file
  for (const char *ext : ST_COMPANIONS) {
    if (!st_exists(d, from + ext, true))
      continue;
    if (!move(d, from + ext, to + ext)) {
      *err = sys_text(d, "cannot rename", from + ext);
      move_back(d, moved, from, to);
      return false;
    }
    moved.push_back(ext);
  }
  if (!st_sync_dir(d, err)) {
    move_back(d, moved, from, to);
    return false;
  }
  if (!move(d, from, to)) {
    *err = sys_text(d, "cannot rename", from);
    move_back(d, moved, from, to);
    return false;
  }
  moved.push_back("");
  if (!st_sync_dir(d, err)) {
    move_back(d, moved, from, to);
    return false;
  }
  return true;
}

bool
st_remove(const st_dir &d, const std::string &name, std::string *err)
{
  // The snapshot first: a companion left by a failure is no snapshot,
  // and the next rotation removes it (st_rotate).
  if (!unlink_if(d, name, err))
    return false;
  for (const char *ext : ST_COMPANIONS)
    if (!unlink_if(d, name + ext, err))
      return false;
  return true;
}

bool
st_rotate(const st_dir &d, int keep, std::vector<std::string> *removed,
          std::string *err)
{
  removed->clear();
  std::vector<std::string> names, others;
  if (!st_list(d, &names, err))
    return false;
  for (const std::string &n : names)
    if (!st_is_baseline(n))
      others.push_back(n);
  size_t extra = others.size() > size_t(keep < 0 ? 0 : keep)
                     ? others.size() - size_t(keep < 0 ? 0 : keep)
                     : 0;
  for (size_t i = 0; i < extra; i++) {
    if (!st_remove(d, others[i], err))
      return false;
    removed->push_back(others[i]);
  }
  // The companions whose snapshot is gone: an older run's rotation or
  // placing that failed half-way left them.
  int fd = openat(d.sd_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR *dir = fd < 0 ? nullptr : fdopendir(fd);
  if (dir == nullptr) {
    if (fd >= 0)
      close(fd);
    *err = d.sd_path + ": cannot list: " + strerror(errno);
    return false;
  }
  std::vector<std::string> orphans;
  while (struct dirent *de = readdir(dir)) {
    std::string of = companion_of(de->d_name);
    if (!of.empty() && !st_exists(d, of, true))
      orphans.push_back(de->d_name);
  }
  closedir(dir);
  for (const std::string &n : orphans) {
    if (!unlink_if(d, n, err))
      return false;
    removed->push_back(n);
  }
  return removed->empty() || st_sync_dir(d, err);
}

bool
st_clean(const st_dir &d, std::string *err)
{
  for (const char *name : ST_SCRATCH)
    if (!unlink_if(d, name, err))
      return false;
  return true;
}
