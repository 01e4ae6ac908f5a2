// pkg_cache.cc: kavrel's cache of package archives under the root. apt's
// hook keeps there what apt installs; what a window's operations need and
// is nowhere at hand is fetched there with apt's own tools (as a collector
// fetches into its own directory of archives); and what no snapshot in
// force needs any longer is pruned. An archive there counts only as any
// other does: once a signed index lists its digest.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>
#include <tuple>

#include "diag/diag.h"
#include "pkg/pkg.h"
#include "pkg/pkg_int.h"
#include "proc/proc.h"

namespace {

// The architecture of name in the records, or in the newest kept records
// that know it; "" when none does.
std::string
arch_of(const pkg_db *db, const std::string &name)
{
  const pkg_meta *m = pkg_find(db, name);
  if (m != nullptr && !m->pm_arch.empty())
    return m->pm_arch;
  for (const auto &k : db->pd_kept) {
    m = pkg_find(k.get(), name);
    if (m != nullptr && !m->pm_arch.empty())
      return m->pm_arch;
  }
  return "";
}

// The flat names of the archives the records of db and those kept with
// it hold installed.
std::set<std::string>
needed(const pkg_db *db)
{
  std::set<std::string> names;
  auto add = [&names](const pkg_db *d) {
    for (const auto &m : d->pd_pkgs)
      if (!m->pm_version.empty())
        names.insert(pkg_flat_name(m->pm_name, m->pm_version, m->pm_arch));
  };
  add(db);
  for (const auto &k : db->pd_kept)
    add(k.get());
  return names;
}

bool
ends_with(const std::string &s, const char *tail)
{
  size_t n = strlen(tail);
  return s.size() > n && s.compare(s.size() - n, n, tail) == 0;
}

// The cache under root, made (mode 0755, with its parents) when missing.
// False with *err when it cannot be made or is not a directory.
bool
cache_make(const std::string &root, std::string *dir, std::string *err)
{
  *dir = root;
  std::string rest = PKG_CACHE_DIR;
  for (size_t at = 0; at <= rest.size();) {
    size_t end = rest.find('/', at);
    if (end == std::string::npos)
      end = rest.size();
    *dir += "/" + rest.substr(at, end - at);
    at = end + 1;
    // The mode whatever the umask: a job's 077 would hide the cache from
    // the administrator, and apt's hook makes it 0755 too.
    if (mkdir(dir->c_str(), 0755) == 0)
      chmod(dir->c_str(), 0755);
    else if (errno != EEXIST) {
      *err = diag_sys_text("mkdir()", dir->c_str());
      return false;
    }
  }
  struct stat st;
  if (lstat(dir->c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    *err = *dir + ": not a directory";
    return false;
  }
  return true;
}

// The last line of text, for a failure's reason.
std::string
last_line(std::string text)
{
  while (!text.empty() && text.back() == '\n')
    text.pop_back();
  size_t nl = text.rfind('\n');
  return nl == std::string::npos ? text : text.substr(nl + 1);
}

// Whether the archive of k is worth fetching for a db of another
// machine's records: a verified index lists it, and none of a mirror
// places it at a file that is there (the indexes of apt's lists directory
// place none). One that no verified index lists would count for nothing
// once fetched, and the host's records, which name it, must not choose
// what the collector downloads.
bool
fetchable(pkg_db *db, const pkg_key &k)
{
  pkg_index_load(db);
  auto listed = pkg_index_find(db, k.pk_name, k.pk_version, k.pk_arch);
  for (const auto &l : listed)
    if (!l.second.empty() && access(l.second.c_str(), R_OK) == 0)
      return false;
  return !listed.empty();
}

}  // namespace

std::string
pkg_flat_name(const std::string &name, const std::string &version,
              const std::string &arch)
{
  std::string ver = version;
  for (size_t at; (at = ver.find(':')) != std::string::npos;)
    ver.replace(at, 1, "%3a");
  return name + "_" + ver + "_" + arch + ".deb";
}

bool
pkg_cache_prune(const pkg_db *db, std::vector<std::string> *removed,
                std::string *err)
{
  std::string dir = db->pd_root + "/" + PKG_CACHE_DIR;
  int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (dfd < 0) {
    if (errno == ENOENT)
      return true;
    *err = diag_sys_text("open()", dir.c_str());
    return false;
  }
  DIR *d = fdopendir(dfd);
  if (d == nullptr) {
    *err = diag_sys_text("fdopendir()", dir.c_str());
    close(dfd);
    return false;
  }
  std::set<std::string> keep = needed(db);
  std::vector<std::string> names;
  errno = 0;
  for (dirent *e; (e = readdir(d)) != nullptr; errno = 0)
    names.emplace_back(e->d_name);
  bool ok = errno == 0;
  if (!ok)
    *err = diag_sys_text("readdir()", dir.c_str());
  std::sort(names.begin(), names.end());
  for (const std::string &n : names) {
    if (!ok)
      break;
    // Only what the hook or a fetch puts there: never a link, a
    // directory, or a name the cache's own files do not have.
    struct stat st;
    if (!ends_with(n, ".deb") || n[0] == '.' || keep.count(n) != 0 ||
        fstatat(dfd, n.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(st.st_mode))
      continue;
    if (unlinkat(dfd, n.c_str(), 0) != 0) {
      *err = diag_sys_text("unlink()", (dir + "/" + n).c_str());
      ok = false;
      break;
    }
    removed->push_back(dir + "/" + n);
  }
  closedir(d);
  return ok;
}

std::vector<pkg_key>
pkg_archives_missing(pkg_db *db, const std::vector<pkg_op> &ops)
{
  std::vector<pkg_key> keys;
  for (const pkg_op &op : ops) {
    std::string arch = arch_of(db, op.po_name);
    if (arch.empty())
      continue;
    for (const std::string *v : {&op.po_old, &op.po_new})
      if (!v->empty() && !pkg_archive_near(db, op.po_name, *v, arch))
        keys.push_back({op.po_name, *v, arch});
  }
  pkg_keys_unique(&keys);
  if (db->pd_away && !keys.empty())
    keys.erase(std::remove_if(keys.begin(), keys.end(),
                              [db](const pkg_key &k) {
                                return !fetchable(db, k);
                              }),
               keys.end());
  return keys;
}

void
pkg_fetch_into(const std::string &dir, const std::string &root,
               const std::vector<pkg_key> &keys, int seconds,
               std::vector<std::string> *failed)
{
  for (const pkg_key &k : keys) {
    // apt-get download writes into the directory it runs in; env -C
    // starts it there. An archive for all architectures is asked for by
    // its name alone, as apt names it.
    std::string want = k.pk_name + (k.pk_arch == "all" ? "" : ":" + k.pk_arch) +
                       "=" + k.pk_version;
    std::string dir_opt = "Dir=" + root + "/";
    std::vector<const char *> argv = {"env", "-C", dir.c_str(), "apt-get",
                                      "-q"};
    if (!root.empty())
      argv.insert(argv.end(), {"-o", dir_opt.c_str()});
    // apt would hand the download to its own unprivileged user, which a
    // sandboxed job cannot switch to; the archive is verified anyway. Its
    // binary caches are not written: a fetch changes nothing of apt's.
    argv.insert(argv.end(), {"-o", "APT::Sandbox::User=root", "-o",
                             "Dir::Cache::pkgcache=", "-o",
                             "Dir::Cache::srcpkgcache=", "download",
                             want.c_str(), nullptr});
    proc_cmd cmd = {};
    cmd.cm_argv = argv.data();
    cmd.cm_out = {PROC_OUT_COLLECT, -1, 4096};
    cmd.cm_err = {PROC_OUT_COLLECT, -1, 4096};
    cmd.cm_own_group = true;
    cmd.cm_deadline = proc_now_ms() + int64_t(seconds) * 1000;
    proc_result r{};
    std::string why;
    std::string file = dir + "/" +
                       pkg_flat_name(k.pk_name, k.pk_version, k.pk_arch);
    bool ran = proc_run(cmd, &r, &why);
    bool ended_well = ran && r.pr_end == PROC_EXITED && r.pr_code == 0;
    if (ran && r.pr_end == PROC_TIMED_OUT)
      why = "apt-get download: no archive after " + std::to_string(seconds) +
            " s";
    else if (ran && !ended_well)
      why = "apt-get download: " + last_line(r.pr_err);
    else if (ended_well && access(file.c_str(), R_OK) != 0)
      why = "apt-get download: no file " + file;
    if (!why.empty()) {
      // What a download cut short left would only fail to verify.
      if (!ended_well)
        unlink(file.c_str());
      failed->push_back(k.pk_name + " " + k.pk_version + " " + k.pk_arch +
                        ": " + why);
    }
  }
}

bool
pkg_fetch(const std::string &root, const std::vector<pkg_key> &keys,
          int seconds, std::vector<std::string> *failed, std::string *err)
{
  if (keys.empty())
    return true;
  std::string dir;
  if (!cache_make(root, &dir, err))
    return false;
  pkg_fetch_into(dir, root, keys, seconds, failed);
  return true;
}
