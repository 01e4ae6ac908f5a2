// pack.cc: a host's snapshots kept so that a quiet night costs what
// changed. The newest is kept whole, and so is the baseline, both read
// every night; each other one as a difference from the snapshot after it
// (NAME.from-NNNNNN), so that reading an old one rebuilds it from the
// nearest whole one after it, each step checked by its SHA-256.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "delta/delta.h"
#include "kavcollect/store.h"

namespace {

// The file that holds e in the store.
std::string
stored_name(const snap_entry &e)
{
  return e.se_from == 0 ? e.se_name
                        : e.se_name + STORE_FROM + store_number6(e.se_from);
}

// Reads a file of the store whole, refusing one over max bytes.
bool
read_stored(const std::string &path, uint64_t max, std::string *bytes,
            std::string *err)
{
  bytes->clear();
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0) {
    *err = store_sys_err(path);
    if (fd >= 0)
      close(fd);
    return false;
  }
  if (!S_ISREG(st.st_mode) || uint64_t(st.st_size) > max) {
    close(fd);
    *err = path + (S_ISREG(st.st_mode) ? ": larger than its snapshot"
                                       : ": not a regular file");
    return false;
  }
  bytes->resize(size_t(st.st_size));
  size_t at = 0;
  while (at < bytes->size()) {
    ssize_t n = read(fd, &(*bytes)[at], bytes->size() - at);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0) {
      *err = n == 0 ? path + ": cut short while read" : store_sys_err(path);
      close(fd);
      return false;
    }
    at += size_t(n);
  }
  close(fd);
  return true;
}

// Whether bytes are e as the sums have it; an entry whose SHA-256 is not
// known yet (store_open_host hashing a difference the sums lack) is taken
// as it comes.
bool
check(const std::string &dir, const snap_entry &e, const std::string &bytes,
      std::string *err)
{
  if (e.se_sha.empty())
    return true;
  sha256_ctx sha;
  sha.update(bytes.data(), bytes.size());
  std::string hex;
  if (!sha.final(&hex)) {
    *err = "SHA-256 failed";
    return false;
  }
  if (bytes.size() == e.se_size && hex == e.se_sha)
    return true;
  *err = dir + "/" + stored_name(e) +
         ": not the snapshot of the sums (SHA-256 " + hex + ", sums " +
         e.se_sha + "): altered in the store";
  return false;
}

// Writes bytes to a new temporary file of dir: synced when it is to take
// a name in the store.
bool
write_tmp(const std::string &dir, const std::string &bytes, bool sync,
          std::string *tmp, std::string *err)
{
  int fd;
  if (!store_tmp_open(dir, &fd, tmp, err))
    return false;
  for (size_t at = 0; at < bytes.size();) {
    ssize_t n = write(fd, bytes.data() + at, bytes.size() - at);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0) {
      *err = store_sys_err(*tmp);
      close(fd);
      unlink(tmp->c_str());
      return false;
    }
    at += size_t(n);
  }
  bool ok = sync ? store_tmp_close(fd, *tmp, err) : close(fd) == 0;
  if (!ok) {
    if (err->empty())
      *err = store_sys_err(*tmp);
    unlink(tmp->c_str());
  }
  return ok;
}

// Puts bytes in place as dir/name: written, synced, renamed, and the
// directory synced.
bool
put_stored(const std::string &dir, const std::string &name,
           const std::string &bytes, std::string *err)
{
  std::string tmp;
  if (!write_tmp(dir, bytes, true, &tmp, err))
    return false;
  std::string to = dir + "/" + name;
  if (rename(tmp.c_str(), to.c_str()) != 0) {
    *err = store_sys_err(to);
    unlink(tmp.c_str());
    return false;
  }
  return store_sync_dir(dir, err);
}

// Removes dir/name, once the other form of its snapshot stands.
bool
remove_stored(const std::string &dir, const std::string &name, std::string *err)
{
  std::string path = dir + "/" + name;
  if (unlink(path.c_str()) != 0) {
    *err = store_sys_err(path);
    return false;
  }
  return store_sync_dir(dir, err);
}

// Keeps held[i], kept as a difference, whole again.
bool
make_whole(const std::string &dir, std::vector<snap_entry> *held, size_t i,
           std::string *err)
{
  snap_entry &e = (*held)[i];
  std::string bytes;
  std::string old = stored_name(e);
  if (!store_snap_read(dir, *held, i, &bytes, err) ||
      !put_stored(dir, e.se_name, bytes, err))
    return false;
  e.se_from = 0;
  return remove_stored(dir, old, err);
}

}  // namespace

bool
store_snap_read(const std::string &dir, const std::vector<snap_entry> &held,
                size_t i, std::string *bytes, std::string *err)
{
  // The chain from held[i] to the first one kept whole; each reference is
  // a later snapshot, so it ends.
  std::vector<size_t> chain = {i};
  while (held[chain.back()].se_from != 0) {
    const snap_entry &e = held[chain.back()];
    auto at = std::lower_bound(held.begin(), held.end(), e.se_from,
                               [](const snap_entry &h, uint32_t num) {
                                 return h.se_num < num;
                               });
    if (at == held.end() || at->se_num != e.se_from || e.se_from <= e.se_num) {
      *err = dir + "/" + stored_name(e) + ": the store holds no snapshot " +
             store_number6(e.se_from) + " to rebuild it from";
      return false;
    }
    chain.push_back(size_t(at - held.begin()));
  }
  const snap_entry &top = held[chain.back()];
  if (!read_stored(dir + "/" + top.se_name, top.se_size, bytes, err) ||
      !check(dir, top, *bytes, err))
    return false;
  for (size_t k = chain.size() - 1; k-- > 0;) {
    const snap_entry &e = held[chain[k]];
    std::string d, out, why;
    std::string path = dir + "/" + stored_name(e);
    if (!read_stored(path, e.se_size, &d, err))
      return false;
    uint64_t size = e.se_size;
    if (e.se_sha.empty() && !delta_size(d, &size)) {
      *err = path + ": not a difference";
      return false;
    }
    if (!delta_apply(*bytes, d, size, &out, &why)) {
      *err = path + ": " + why;
      return false;
    }
    if (!check(dir, e, out, err))
      return false;
    bytes->swap(out);
  }
  return true;
}

store_file::~store_file()
{
  if (sf_tmp)
    unlink(sf_path.c_str());
}

bool
store_snap_file(const std::string &dir, const std::vector<snap_entry> &held,
                size_t i, store_file *out, std::string *err)
{
  std::string bytes;
  if (!store_snap_read(dir, held, i, &bytes, err))
    return false;
  if (held[i].se_from == 0) {
    out->sf_path = dir + "/" + held[i].se_name;
    return true;
  }
  // Read once and removed soon: no need to reach the disk.
  if (!write_tmp(dir, bytes, false, &out->sf_path, err))
    return false;
  out->sf_tmp = true;
  return true;
}

bool
store_pack(const std::string &dir, std::vector<snap_entry> *held, size_t base,
           std::string *err)
{
  std::vector<snap_entry> &h = *held;
  if (base < h.size() && h[base].se_from != 0 &&
      !make_whole(dir, held, base, err))
    return false;
  if (h.size() < 2)
    return true;
  // The one below the newest first: it is what every night adds; then the
  // oldest whole ones, each from a later one still whole.
  std::vector<size_t> todo;
  size_t last = h.size() - 1;
  if (last - 1 != base && h[last - 1].se_from == 0)
    todo.push_back(last - 1);
  for (size_t i = 0; i + 1 < last && todo.size() < size_t(STORE_PACK_MAX); i++)
    if (i != base && h[i].se_from == 0)
      todo.push_back(i);
  std::string ref, target, d, back;
  size_t ref_of = SIZE_MAX;
  for (size_t i : todo) {
    if (ref_of != i + 1 && !store_snap_read(dir, h, i + 1, &ref, err))
      return false;
    if (!store_snap_read(dir, h, i, &target, err) ||
        !delta_make(ref, target, &d, err))
      return false;
    // A difference no smaller than the snapshot saves nothing.
    if (d.size() < target.size()) {
      std::string why;
      if (!delta_apply(ref, d, target.size(), &back, &why) || back != target) {
        *err = dir + "/" + h[i].se_name +
               ": its difference does not read back as it; kept whole";
        return false;
      }
      snap_entry e = h[i];
      e.se_from = h[i + 1].se_num;
      if (!put_stored(dir, stored_name(e), d, err))
        return false;
      h[i].se_from = e.se_from;
      if (!remove_stored(dir, h[i].se_name, err))
        return false;
    }
    ref.swap(target);
    ref_of = i;
  }
  return true;
}

bool
store_set_aside_held(const std::string &dir, std::vector<snap_entry> *held,
                     size_t k, const std::string &why,
                     std::vector<snap_entry> *aside, std::string *err)
{
  std::vector<snap_entry> &h = *held;
  for (size_t j = 0; j < h.size(); j++)
    if (h[j].se_from == h[k].se_num && !make_whole(dir, held, j, err))
      return false;
  snap_entry e = h[k];
  std::vector<std::string> from, to;
  std::string diff;
  if (e.se_from == 0) {
    from.push_back(dir + "/" + e.se_name);
    to.push_back("");
  } else {
    // bad/ holds what the administrator can read: the bytes rebuilt, or
    // the difference as it is when they cannot be.
    std::string bytes, tmp, unused;
    diff = stored_name(e);
    if (store_snap_read(dir, h, k, &bytes, &unused) &&
        write_tmp(dir, bytes, true, &tmp, &unused)) {
      from.push_back(tmp);
      to.push_back("");
    } else {
      from.push_back(dir + "/" + diff);
      to.push_back(diff.substr(e.se_name.size()));
      diff.clear();
    }
  }
  for (const char *ext : COLLECT_COMPANIONS) {
    std::string path = dir + "/" + e.se_name + ext;
    if (access(path.c_str(), F_OK) == 0) {
      from.push_back(path);
      to.push_back(ext);
    }
  }
  h.erase(h.begin() + long(k));
  if (!store_set_aside(dir, e, from, to, why, aside, err))
    return false;
  if (!diff.empty() && !remove_stored(dir, diff, err))
    return false;
  return store_put_sums(dir, h, err);
}
