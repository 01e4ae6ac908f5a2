// walk.cc: the file-system walk. Each level reads its directory through a
// descriptor and looks entries up relative to it, so the cost of an entry
// does not grow with the depth of its path; the full path is kept beside
// it for the policy, the visitor and the messages.
#include "kavbuild/walk.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "db/db.h"
#include "diag/diag.h"

namespace {

struct walker {
  pclt *tree;
  fs_visit_fn fn;
  fs_sync_fn sync;  // or null
  void *arg;
  // The directory being read, its separator and the current entry's name.
  // Shared by all levels: a level only writes behind its own prefix.
  char path[DB_PATH_MAX + 1];
};

bool
is_dot(const char *n)
{
  return n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0'));
}

// Puts name behind the prefix of plen bytes, cut to what fits in the
// buffer. plen may exceed the buffer when the directory's own path filled
// it; the buffer then keeps the prefix as far as it fits.
void
put_name(walker *w, size_t plen, const char *name, size_t nlen)
{
  if (plen >= DB_PATH_MAX)
    return;
  size_t n = nlen < DB_PATH_MAX - plen ? nlen : DB_PATH_MAX - plen;
  memcpy(w->path + plen, name, n);
  w->path[plen + n] = '\0';
}

// Reports a failure of the walk with errno's text, unless settling what
// the visitor holds turned up an earlier one, which was reported instead.
int
fail(const walker *w, const char *what, const char *path)
{
  if (w->sync != nullptr) {
    int e = errno;
    int r = w->sync(w->arg);
    if (r != 0)
      return r;
    errno = e;
  }
  warn_sys2(what, path);
  return -1;
}

// The types (PCL_T_REG, PCL_T_DIR) whose contents an entry of list may ask
// for: entries that record a digest, those of an ancestor's list only when
// they govern the directories below.
uint8_t
may_read(const pcl *list, int inherited)
{
  uint8_t types = 0;
  for (unsigned i = 0; i < list->pl_count; i++) {
    const pclent &e = list->pl_ents[i];
    if ((e.pe_flags & PCLENT_RECORD) && (e.pe_mask & (DB_CSUM | DB_SHA256)) &&
        (!inherited || (e.pe_flags & PCLENT_INHERIT)))
      types |= e.pe_types == 0 ? PCL_T_REG | PCL_T_DIR : e.pe_types;
  }
  return types & (PCL_T_REG | PCL_T_DIR);
}

int walk_dir(walker *w, port_dir *dir, size_t plen);

int
walk_entry(walker *w, port_dir *dir, size_t plen, const struct dirent *de,
           const pcl *list, int inherited, uint8_t open_types)
{
  const char *name = de->d_name;
  size_t nlen = strlen(name);
  put_name(w, plen, name, nlen);
  // A cut path may name another object, which would then be recorded
  // under this name.
  if (plen + nlen > DB_PATH_MAX) {
    errno = ENAMETOOLONG;
    return fail(w, "lstat()", w->path);
  }
  // A regular file or a directory that may be digested is opened here,
  // relative to its directory, and its status read from the descriptor:
  // one look-up of one name instead of the whole path for the status and
  // again for the digest, and the status and the contents are of the same
  // object. The listing's type is only a guess, so the status has the last
  // word; an open that fails leaves the entry to lstat() as any other.
  // A directory is opened again below to be walked: the digest reads its
  // names from this descriptor on another thread.
  port_stat st;
  int opened = -1;
  uint8_t type = de->d_type == DT_REG   ? PCL_T_REG
                 : de->d_type == DT_DIR ? PCL_T_DIR
                                        : 0;
  if (open_types & type)
    opened = port_open_statat(port_dirfd(dir), name, &st);
  bool known = opened >= 0;
  if (known &&
      (st.st_mode & S_IFMT) != (type == PCL_T_REG ? S_IFREG : S_IFDIR)) {
    close(opened);
    opened = -1;
  }
  fd_guard fd(opened);
  // An entry removed since its directory was read is left out, as if the
  // directory had not listed it: any user who may create files in a
  // directory the walk reads could otherwise end the build.
  if (!known && port_lstatat(port_dirfd(dir), name, &st) != 0)
    return errno == ENOENT ? 0 : fail(w, "lstat()", w->path);
  pcl_step step = pcl_walk_step(list, name, &st, inherited);
  if (step.ps_record) {
    int r = w->fn(w->path, &st, step.ps_ent->pe_mask, w->arg, step.ps_ent,
                  fd.release());
    if (r != 0)
      return r;
  }
  if (!step.ps_descend)
    return 0;
  // Opened relative to the directory read and without following a link,
  // so a directory swapped for a link since its status was read is not
  // walked through.
  // One removed since then has nothing left to walk.
  dir_guard sub(port_opendirat(port_dirfd(dir), name));
  if (sub.get() == nullptr)
    return errno == ENOENT ? 0 : fail(w, "opendir()", w->path);
  size_t sublen = plen + nlen + 1;
  if (sublen <= DB_PATH_MAX) {
    w->path[sublen - 1] = '/';
    w->path[sublen] = '\0';
  }
  int r = walk_dir(w, sub.get(), sublen);
  // Back to this entry's own path, for a "readdir_r()" message.
  put_name(w, plen, name, nlen);
  return r;
}

int
walk_dir(walker *w, port_dir *dir, size_t plen)
{
  int inherited = 0;
  const pcl *list = pclt_lookup(w->tree, w->path, &inherited);
  uint8_t open_types = may_read(list, inherited);
  for (;;) {
    struct dirent *ent;
    int err = port_readdir(dir, &ent);
    if (err != 0) {
      errno = err;
      return fail(w, "readdir_r()", w->path);
    }
    if (ent == nullptr)
      return 0;
    if (is_dot(ent->d_name)) {
      // Not walked, but still the last name read: a "readdir_r()" message
      // names the entry read last in this directory, whichever it was.
      put_name(w, plen, ent->d_name, strlen(ent->d_name));
      continue;
    }
    int r = walk_entry(w, dir, plen, ent, list, inherited, open_types);
    if (r != 0)
      return r;
  }
}

// Nothing is in flight before the top directory is read, so its failure
// needs no settling.
int
walk_top(pclt *t, const char *path, fs_visit_fn fn, fs_sync_fn sync, void *arg)
{
  dir_guard dir(port_opendir(path));
  if (dir.get() == nullptr) {
    warn_sys2("opendir()", path);
    return -1;
  }
  walker w;
  w.tree = t;
  w.fn = fn;
  w.sync = sync;
  w.arg = arg;
  copy_cut(w.path, path);
  size_t plen = strlen(w.path);
  if (strcmp(w.path, "/") != 0) {
    if (plen < DB_PATH_MAX) {
      w.path[plen] = '/';
      w.path[plen + 1] = '\0';
    }
    plen++;
  }
  return walk_dir(&w, dir.get(), plen);
}

}  // namespace

int
fs_walk(pclt *t, const char *path, fs_visit_fn fn, void *arg)
{
  return walk_top(t, path, fn, nullptr, arg);
}

int
fs_walk_root(pclt *t, fs_visit_fn fn, void *arg)
{
  return walk_top(t, "/", fn, nullptr, arg);
}

int
fs_walk_sync(pclt *t, const char *path, fs_visit_fn fn, fs_sync_fn sync,
             void *arg)
{
  return walk_top(t, path, fn, sync, arg);
}
