// store.cc: a host's directory in the store. Nothing stands under a
// snapshot's name before all of it is on disk: every file is written under
// a temporary name, synced and renamed, and the directory synced after.
#include <dirent.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>

#include "kavcollect/store.h"

namespace {

// NAME.from-NNNNNN: true, with the snapshot's name and the number of its
// reference, for the name of a difference kept in the store.
bool
from_name(const std::string &file, std::string *snap, uint32_t *from)
{
  size_t at = file.find(STORE_FROM);
  uint32_t num;
  if (at == std::string::npos || !collect_snap_name(file.substr(0, at), &num))
    return false;
  std::string digits = file.substr(at + strlen(STORE_FROM));
  if (digits.size() != 6 ||
      strspn(digits.c_str(), "0123456789") != digits.size())
    return false;
  *snap = file.substr(0, at);
  *from = uint32_t(strtoul(digits.c_str(), nullptr, 10));
  return true;
}

}  // namespace

std::string
store_hex(const uint8_t *bytes, size_t n)
{
  static const char digits[] = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; i++) {
    s += digits[bytes[i] >> 4];
    s += digits[bytes[i] & 15];
  }
  return s;
}

sha256_ctx::sha256_ctx() : ctx_(EVP_MD_CTX_new())
{
  ok_ = ctx_ != nullptr && EVP_DigestInit_ex(ctx_, EVP_sha256(), nullptr) == 1;
}

sha256_ctx::~sha256_ctx()
{
  EVP_MD_CTX_free(ctx_);
}

void
sha256_ctx::update(const void *p, size_t n)
{
  ok_ = ok_ && EVP_DigestUpdate(ctx_, p, n) == 1;
}

bool
sha256_ctx::final(std::string *hex)
{
  uint8_t md[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  if (!ok_ || EVP_DigestFinal_ex(ctx_, md, &n) != 1)
    return false;
  *hex = store_hex(md, n);
  return true;
}

bool
store_sha256_file(const std::string &path, uint64_t *size, std::string *hex,
                  std::string *err)
{
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    *err = store_sys_err(path);
    return false;
  }
  sha256_ctx sha;
  static thread_local char buf[1 << 16];
  uint64_t total = 0;
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) {
    sha.update(buf, size_t(n));
    total += uint64_t(n);
  }
  int e = errno;
  close(fd);
  if (n < 0) {
    errno = e;
    *err = store_sys_err(path);
    return false;
  }
  *size = total;
  if (!sha.final(hex)) {
    *err = path + ": SHA-256 failed";
    return false;
  }
  return true;
}

bool
store_sync_dir(const std::string &dir, std::string *err)
{
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0 || fsync(fd) != 0) {
    *err = store_sys_err(dir);
    if (fd >= 0)
      close(fd);
    return false;
  }
  close(fd);
  return true;
}

bool
store_tmp_open(const std::string &dir, int *fd, std::string *tmp,
               std::string *err)
{
  std::string name = dir + "/" STORE_TMP_PREFIX "XXXXXX";
  std::unique_ptr<char[]> buf(new char[name.size() + 1]);
  memcpy(buf.get(), name.c_str(), name.size() + 1);
  *fd = mkostemp(buf.get(), O_CLOEXEC);  // mode 0600
  if (*fd < 0) {
    *err = store_sys_err(name);
    return false;
  }
  *tmp = buf.get();
  return true;
}

bool
store_tmp_close(int fd, const std::string &tmp, std::string *err)
{
  if (fsync(fd) != 0) {
    *err = store_sys_err(tmp);
    close(fd);
    return false;
  }
  if (close(fd) != 0) {
    *err = store_sys_err(tmp);
    return false;
  }
  return true;
}

bool
store_write_file(const std::string &dir, const char *name,
                 const std::string &text, std::string *err)
{
  std::string tmp;
  int fd;
  if (!store_tmp_open(dir, &fd, &tmp, err))
    return false;
  size_t at = 0;
  while (at < text.size()) {
    ssize_t n = write(fd, text.data() + at, text.size() - at);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0) {
      *err = store_sys_err(tmp);
      close(fd);
      unlink(tmp.c_str());
      return false;
    }
    at += size_t(n);
  }
  std::string path = dir + "/" + name;
  if (!store_tmp_close(fd, tmp, err) ||
      rename(tmp.c_str(), path.c_str()) != 0) {
    if (err->empty())
      *err = store_sys_err(path);
    unlink(tmp.c_str());
    return false;
  }
  return store_sync_dir(dir, err);
}

bool
store_read_small(const std::string &path, std::string *text, std::string *err)
{
  text->clear();
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT)
      return true;
    *err = store_sys_err(path);
    return false;
  }
  char buf[4096];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0 && text->size() < STORE_SMALL_MAX)
    text->append(buf, size_t(n));
  int e = errno;
  close(fd);
  errno = e;
  if (n < 0) {
    *err = store_sys_err(path);
    return false;
  }
  return true;
}

bool
store_open_host(const std::string &dir, std::vector<snap_entry> *held,
                std::vector<snap_entry> *aside, std::string *err)
{
  held->clear();
  aside->clear();
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    *err = store_sys_err(dir);
    return false;
  }
  // Unlike the sums of the held, these are the only record of what was
  // set aside: a damaged file stops the host rather than let the bad
  // snapshots be fetched again as if new.
  std::string bad = dir + "/" STORE_BAD, text;
  if (!store_read_small(bad + "/" STORE_SUMS, &text, err))
    return false;
  if (!collect_parse_list(text, aside, err)) {
    *err = bad + "/" STORE_SUMS ": " + *err;
    return false;
  }
  std::set<std::string> set_aside;
  for (const snap_entry &a : *aside)
    set_aside.insert(a.se_name);
  DIR *d = opendir(dir.c_str());
  if (d == nullptr) {
    *err = store_sys_err(dir);
    return false;
  }
  // By snapshot: its whole file's name, or the number of the one it is
  // kept as a difference from.
  std::vector<std::string> names, unfinished;
  std::map<std::string, uint32_t> diffs;
  while (dirent *ent = readdir(d)) {
    std::string name = ent->d_name, snap;
    uint32_t num, from;
    if (name.compare(0, strlen(STORE_TMP_PREFIX), STORE_TMP_PREFIX) == 0)
      unlink((dir + "/" + name).c_str());  // what a killed run left
    else if (collect_snap_name(name, &num))
      (set_aside.count(name) != 0 ? unfinished : names).push_back(name);
    else if (from_name(name, &snap, &from)) {
      if (set_aside.count(snap) != 0) {
        unfinished.push_back(name);
        unfinished.push_back(snap);  // its companions
      } else if (!diffs.emplace(snap, from).second) {
        closedir(d);
        *err = dir + "/" + name + ": a second difference for " + snap;
        return false;
      }
    }
  }
  closedir(d);
  for (const std::string &name : unfinished) {
    for (const char *ext : {"", COLLECT_COMPANIONS[0], COLLECT_COMPANIONS[1]}) {
      std::string from = dir + "/" + name + ext;
      if (rename(from.c_str(), (bad + "/" + name + ext).c_str()) != 0 &&
          errno != ENOENT) {
        *err = store_sys_err(from);
        return false;
      }
    }
  }
  if (!unfinished.empty() &&
      (!store_sync_dir(dir, err) || !store_sync_dir(bad, err)))
    return false;
  // Both forms: a run was killed before the older one went. Either reads
  // back; the whole one stays, and the next run makes its difference again.
  for (const std::string &name : names) {
    auto it = diffs.find(name);
    if (it == diffs.end())
      continue;
    std::string path = dir + "/" + name + STORE_FROM +
                       store_number6(it->second);
    if (unlink(path.c_str()) != 0) {
      *err = store_sys_err(path);
      return false;
    }
    diffs.erase(it);
  }

  // The sums file saves reading every snapshot again each night; a whole
  // snapshot it lacks, or whose size it has wrong, is read again, and a
  // difference it lacks is rebuilt.
  if (!store_read_small(dir + "/" STORE_SUMS, &text, err))
    return false;
  std::vector<snap_entry> known;
  std::string ignored;
  collect_parse_list(text, &known, &ignored);
  std::map<std::string, const snap_entry *> by_name;
  for (const snap_entry &k : known)
    by_name[k.se_name] = &k;
  bool changed = false;
  for (const std::string &name : names) {
    snap_entry e;
    collect_snap_name(name, &e.se_num);
    e.se_name = name;
    struct stat st;
    std::string path = dir + "/" + name;
    if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
      *err = path + ": not a regular file";
      return false;
    }
    auto it = by_name.find(name);
    if (it != by_name.end() && it->second->se_size == uint64_t(st.st_size)) {
      e.se_size = it->second->se_size;
      e.se_sha = it->second->se_sha;
    } else {
      if (!store_sha256_file(path, &e.se_size, &e.se_sha, err))
        return false;
      changed = true;
    }
    held->push_back(std::move(e));
  }
  for (const auto &df : diffs) {
    snap_entry e;
    collect_snap_name(df.first, &e.se_num);
    e.se_name = df.first;
    e.se_from = df.second;
    e.se_size = 0;
    auto it = by_name.find(df.first);
    if (it != by_name.end()) {
      e.se_size = it->second->se_size;
      e.se_sha = it->second->se_sha;
    }
    held->push_back(std::move(e));
  }
  std::sort(held->begin(), held->end(),
            [](const snap_entry &a, const snap_entry &b) {
              return a.se_num < b.se_num;
            });
  for (size_t i = 1; i < held->size(); i++) {
    if ((*held)[i].se_num == (*held)[i - 1].se_num) {
      *err = dir + ": two snapshots numbered " +
             (*held)[i].se_name.substr(6, 6);
      return false;
    }
  }
  // Newest first, so that the reference of each is known by then.
  for (size_t i = held->size(); i-- > 0;) {
    snap_entry &e = (*held)[i];
    if (!e.se_sha.empty())
      continue;
    std::string bytes;
    e.se_size = UINT64_MAX;  // the bound of what is read: not known yet
    if (!store_snap_read(dir, *held, i, &bytes, err))
      return false;
    sha256_ctx sha;
    sha.update(bytes.data(), bytes.size());
    e.se_size = bytes.size();
    if (!sha.final(&e.se_sha)) {
      *err = dir + "/" + e.se_name + ": SHA-256 failed";
      return false;
    }
    changed = true;
  }
  if (changed || known.size() != held->size())
    return store_put_sums(dir, *held, err);
  return true;
}

bool
store_put_sums(const std::string &dir, const std::vector<snap_entry> &held,
               std::string *err)
{
  std::string text;
  for (const snap_entry &e : held)
    text += e.se_name + " " + std::to_string(e.se_size) + " " + e.se_sha + "\n";
  return store_write_file(dir, STORE_SUMS, text, err);
}

bool
store_set_aside(const std::string &dir, const snap_entry &e,
                const std::vector<std::string> &from,
                const std::vector<std::string> &to, const std::string &why,
                std::vector<snap_entry> *aside, std::string *err)
{
  std::string bad = dir + "/" STORE_BAD;
  if (mkdir(bad.c_str(), 0700) != 0 && errno != EEXIST) {
    *err = store_sys_err(bad);
    return false;
  }
  auto at = std::lower_bound(aside->begin(), aside->end(), e,
                             [](const snap_entry &a, const snap_entry &b) {
                               return a.se_num < b.se_num;
                             });
  if (at != aside->end() && at->se_num == e.se_num)
    *at = e;
  else
    aside->insert(at, e);
  std::string text;
  for (const snap_entry &a : *aside)
    text += a.se_name + " " + std::to_string(a.se_size) + " " + a.se_sha + "\n";
  if (!store_write_file(bad, STORE_SUMS, text, err))
    return false;
  for (size_t i = 0; i < from.size() && i < to.size(); i++) {
    if (from[i].empty())
      continue;
    std::string dest = bad + "/" + e.se_name + to[i];
    if (rename(from[i].c_str(), dest.c_str()) != 0) {
      *err = store_sys_err(dest);
      return false;
    }
  }
  return store_write_file(bad, (e.se_name + STORE_WHY).c_str(), why + "\n",
                          err) &&
         store_sync_dir(dir, err);
}

std::string
store_sys_err(const std::string &what)
{
  return what + ": " + strerror(errno);
}

std::string
store_number6(uint32_t num)
{
  char buf[16];
  snprintf(buf, sizeof buf, "%06u", unsigned(num));
  return buf;
}
