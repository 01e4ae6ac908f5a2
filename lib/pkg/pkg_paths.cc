// pkg_paths.cc: host paths of the dpkg back end, each link among a path's
// directories followed under the root and a diversion's target taken;
// the paths the package manager itself writes; and reading its files.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "db/print.h"
#include "pkg/pkg.h"
#include "pkg/pkg_int.h"
#include "sha256/sha256.h"

namespace {

// dir with every link among its components followed, one component at a
// time, each link's target read under the root: the long way, for a
// directory that is a link or a name with "." or "..".
std::string
resolve(const pkg_db *db, std::string_view dir)
{
  std::vector<std::string> todo;
  for (size_t at = 1; at <= dir.size();) {
    size_t end = dir.find('/', at);
    if (end == std::string_view::npos)
      end = dir.size();
    todo.emplace_back(dir.substr(at, end - at));
    at = end + 1;
  }
  std::string cur;
  int links = 0;
  while (!todo.empty()) {
    std::string c = todo.front();
    todo.erase(todo.begin());
    if (c.empty() || c == ".")
      continue;
    if (c == "..") {
      cur.erase(cur.empty() ? 0 : cur.rfind('/'));
      continue;
    }
    std::string next = cur + "/" + c;
    char target[4096];
    ssize_t n = readlink((db->pd_root + next).c_str(), target, sizeof target);
    if (n <= 0 || size_t(n) == sizeof target || ++links > 40) {
      cur = next;
      continue;
    }
    std::string t(target, size_t(n));
    if (t[0] == '/')
      cur.clear();
    std::vector<std::string> more;
    for (size_t at = 0; at <= t.size();) {
      size_t end = t.find('/', at);
      if (end == std::string::npos)
        end = t.size();
      more.push_back(t.substr(at, end - at));
      at = end + 1;
    }
    todo.insert(todo.begin(), more.begin(), more.end());
  }
  return cur;
}

// The host path of directory dir ("" for the root): its parent's, then
// one readlink to tell whether its last component is a link.
std::string_view
canon_dir(pkg_db *db, std::string_view dir)
{
  if (dir.empty())
    return dir;
  auto hit = db->pd_dirs.find(dir);
  if (hit != db->pd_dirs.end())
    return hit->second;
  size_t slash = dir.rfind('/');
  std::string_view base = dir.substr(slash + 1);
  std::string cand;
  if (slash == std::string_view::npos || base.empty() || base == "." ||
      base == "..") {
    cand = resolve(db, dir);
  } else {
    cand = std::string(canon_dir(db, dir.substr(0, slash)));
    cand.append(1, '/').append(base);
    char target[4096];
    if (readlink((db->pd_root + cand).c_str(), target, sizeof target) > 0)
      cand = resolve(db, cand);
  }
  std::string_view key = pkg_keep(db, std::string(dir));
  std::string_view val = cand == dir ? key : pkg_keep(db, std::move(cand));
  db->pd_dirs.emplace(key, val);
  return val;
}

}  // namespace

// The text kept in db, as a view.
std::string_view
pkg_keep(pkg_db *db, std::string text)
{
  db->pd_texts.push_back(std::move(text));
  return db->pd_texts.back();
}

bool
pkg_read_file(const std::string &name, std::string *out)
{
  out->clear();
  int fd = open(name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return false;
  // Read straight into the string: its size and a page more, then more
  // for a file that grew.
  struct stat st;
  size_t have = 0;
  out->resize(fstat(fd, &st) == 0 && st.st_size > 0 ? size_t(st.st_size) + 4096
                                                    : 65536);
  ssize_t n;
  while ((n = read(fd, &(*out)[have], out->size() - have)) > 0 ||
         (n < 0 && errno == EINTR)) {
    have += n > 0 ? size_t(n) : 0;
    if (have == out->size())
      out->resize(2 * have);
  }
  int e = errno;
  close(fd);
  out->resize(have);
  errno = e;
  return n == 0;
}

std::vector<std::string_view>
pkg_lines(std::string_view text)
{
  std::vector<std::string_view> v;
  size_t at = 0;
  while (at < text.size()) {
    size_t nl = text.find('\n', at);
    if (nl == std::string_view::npos)
      nl = text.size();
    v.push_back(text.substr(at, nl - at));
    at = nl + 1;
  }
  return v;
}

std::vector<std::string>
pkg_dir_names(const std::string &dir)
{
  std::vector<std::string> v;
  DIR *d = opendir(dir.c_str());
  if (d == nullptr)
    return v;
  while (dirent *e = readdir(d))
    v.push_back(e->d_name);
  closedir(d);
  return v;
}

bool
pkg_own_state(const std::string &path)
{
  static const char *const own[] = {"/var/lib/dpkg/",
                                    "/var/log/dpkg.log",
                                    "/var/log/apt/",
                                    "/var/lib/apt/",
                                    "/var/cache/apt/",
                                    "/var/cache/debconf/",
                                    "/var/log/alternatives.log"};
  for (const char *o : own) {
    size_t n = strlen(o);
    if (path.compare(0, n, o) == 0 ||
        (o[n - 1] == '/' && path.compare(0, n - 1, o, n - 1) == 0 &&
         path.size() == n - 1))
      return true;
  }
  return false;
}

std::string_view
pkg_located(const pkg_db *db, std::string_view name, std::string_view path)
{
  if (db->pd_diverts.empty())
    return path;
  auto d = db->pd_diverts.find(path);
  if (d == db->pd_diverts.end() || d->second.second == name)
    return path;
  return d->second.first;
}

std::string_view
pkg_canon_view(pkg_db *db, std::string_view path)
{
  // Another machine's links are not here to follow: its paths are taken
  // as they are named.
  if (db->pd_away)
    return path;
  // memrchr, not rfind: a byte at a time would cost more than the rest.
  const void *last = memrchr(path.data(), '/', path.size());
  if (last == nullptr || last == path.data())
    return path;
  size_t slash = size_t(static_cast<const char *>(last) - path.data());
  std::string_view dir = path.substr(0, slash);
  // A list names a directory's entries one after another.
  if (dir != db->pd_last_dir) {
    db->pd_last_host = canon_dir(db, dir);
    auto kept = db->pd_dirs.find(dir);  // a view that lives as long as db
    db->pd_last_dir = kept != db->pd_dirs.end() ? kept->first : "";
  }
  std::string_view host = db->pd_last_host;
  if (host == dir)
    return path;
  return pkg_keep(db, std::string(host).append(path.substr(slash)));
}

std::string
pkg_canon(pkg_db *db, const std::string &path)
{
  return std::string(pkg_canon_view(db, path));
}

std::string
pkg_sha256_hex(const std::string &data)
{
  uint8_t d[SHA256_LEN];
  char text[2 * SHA256_LEN + 1];
  if (sha256_buf(data.data(), data.size(), d) == nullptr)
    return "";  // no digest matches an empty text
  hex_encode(d, text, 2 * SHA256_LEN);
  return text;
}
