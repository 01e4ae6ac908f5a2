// pkg_deb.cc: package archives of the dpkg back end. An archive counts only
// when its SHA-256 is the one a signed apt index lists (pkg_index.cc);
// it is then read whole, ahead on every core where the archives wanted
// are known.
#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>
#include <tuple>

#include "db/print.h"
#include "pkg/pkg_int.h"
#include "port/port.h"
#include "sha1/sha1.h"
#include "sha256/sha256.h"

namespace {

using archive_ptr = std::unique_ptr<archive, decltype(&archive_read_free)>;

// libarchive's text for the last failure, which it may not have set.
std::string
la_error(archive *a)
{
  const char *s = archive_error_string(a);
  return s != nullptr ? s : "damaged archive";
}

// The SHA-256 of a file, in hex; "" when it cannot be read.
std::string
file_sha256(const std::string &name)
{
  int fd = open(name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return "";
  sha256_ctx ctx;
  if (sha256_init(&ctx) != 0) {
    close(fd);
    return "";
  }
  std::unique_ptr<char[]> buf(new char[1 << 20]);
  ssize_t n;
  while ((n = read(fd, buf.get(), 1 << 20)) > 0 || (n < 0 && errno == EINTR))
    if (n > 0)
      sha256_update(&ctx, buf.get(), size_t(n));
  close(fd);
  uint8_t d[SHA256_LEN];
  sha256_final(&ctx, d);  // frees the context
  if (n < 0)
    return "";
  char text[2 * SHA256_LEN + 1];
  hex_encode(d, text, 2 * SHA256_LEN);
  return text;
}

// One entry of an archive's data member as the archive holds it: the
// path it names ("/" for the top), the path a hard link names, and the
// file; or a file of its control member by name. Read apart from the back
// end's state, so that archives can be read on several threads at once.
struct raw_file {
  std::string rf_path;
  std::string rf_hard;      // "" for none
  bool rf_control = false;  // rf_path is a control file's name
  pkg_afile rf_file;
};

// The outer archive's data member as the inner archive reads it.
la_ssize_t
outer_cb(archive *, void *arg, const void **out)
{
  size_t n;
  la_int64_t offset;
  int r =
      archive_read_data_block(static_cast<archive *>(arg), out, &n, &offset);
  if (r == ARCHIVE_EOF)
    return 0;
  return r == ARCHIVE_OK ? la_ssize_t(n) : -1;
}

// The SHA-1 and the SHA-256 of the entry's contents; false when they
// cannot be read.
bool
entry_sums(archive *a, pkg_afile *f)
{
  sha1_ctx ctx;
  sha1_init(&ctx);
  sha256_ctx ctx256;
  if (sha256_init(&ctx256) != 0)
    return false;
  static const char zeros[4096] = {};
  const void *block;
  size_t n;
  la_int64_t offset, at = 0;
  int r;
  // Read in place; the holes of a sparse entry are zeros.
  while ((r = archive_read_data_block(a, &block, &n, &offset)) == ARCHIVE_OK) {
    while (at < offset) {
      size_t gap = std::min(sizeof zeros, size_t(offset - at));
      sha1_update(&ctx, zeros, int32_t(gap));
      sha256_update(&ctx256, zeros, gap);
      at += la_int64_t(gap);
    }
    sha1_update(&ctx, block, int32_t(n));
    sha256_update(&ctx256, block, n);
    at = offset + la_int64_t(n);
  }
  if (r != ARCHIVE_EOF) {
    sha256_free(&ctx256);
    return false;
  }
  sha1_final(&ctx, f->pa_sum);
  sha256_final(&ctx256, f->pa_sum256);
  return true;
}

// The entries of the data member, or with control the regular files of
// the control member: those named by one component under the top
// ("./postinst"), the only ones dpkg keeps, by the same rules as a data
// member's names.
bool
member_read(archive *outer, const std::string &file, bool control,
            std::vector<raw_file> *out, std::string *err)
{
  archive_ptr a(archive_read_new(), archive_read_free);
  archive_read_support_filter_all(a.get());
  archive_read_support_format_tar(a.get());
  if (archive_read_open(a.get(), outer, nullptr, outer_cb, nullptr) !=
      ARCHIVE_OK) {
    *err = file + ": " + la_error(a.get());
    return false;
  }
  archive_entry *e;
  int r;
  while ((r = archive_read_next_header(a.get(), &e)) == ARCHIVE_OK) {
    raw_file rf;
    rf.rf_path = pkg_member_path(archive_entry_pathname(e));
    if (rf.rf_path.empty())
      continue;
    if (control) {
      if (rf.rf_path.find('/', 1) != std::string::npos || rf.rf_path == "/" ||
          !S_ISREG(archive_entry_mode(e)) ||
          archive_entry_hardlink(e) != nullptr)
        continue;
      rf.rf_path.erase(0, 1);
      rf.rf_control = true;
    }
    pkg_afile &f = rf.rf_file;
    memset(&f, 0, sizeof f);
    f.pa_mode = uint16_t(archive_entry_mode(e));
    f.pa_uid = uint32_t(archive_entry_uid(e));
    f.pa_gid = uint32_t(archive_entry_gid(e));
    const char *hard = archive_entry_hardlink(e);
    if (hard != nullptr) {
      rf.rf_hard = pkg_member_path(hard);
      if (rf.rf_hard.empty())
        rf.rf_hard = "/";  // names the top, which is never a file
    } else if (S_ISLNK(f.pa_mode)) {
      const char *target = archive_entry_symlink(e);
      if (target == nullptr)
        target = "";
      sha_buf(target, int32_t(strlen(target)), f.pa_sum);
      if (sha256_buf(target, strlen(target), f.pa_sum256) == nullptr) {
        *err = "out of memory";
        return false;
      }
    } else if (S_ISREG(f.pa_mode) && !entry_sums(a.get(), &f)) {
      break;
    }
    out->push_back(std::move(rf));
  }
  if (r != ARCHIVE_EOF) {
    *err = file + ": " + la_error(a.get());
    return false;
  }
  return true;
}

// The files of the archive at file, whose digest the caller checked.
bool
deb_files(const std::string &file, std::vector<raw_file> *out, std::string *err)
{
  archive_ptr a(archive_read_new(), archive_read_free);
  archive_read_support_format_ar(a.get());
  if (archive_read_open_filename(a.get(), file.c_str(), 65536) != ARCHIVE_OK) {
    *err = file + ": " + la_error(a.get());
    return false;
  }
  archive_entry *e;
  while (archive_read_next_header(a.get(), &e) == ARCHIVE_OK) {
    const char *name = archive_entry_pathname(e);
    if (name != nullptr && strncmp(name, "control.tar", 11) == 0 &&
        !member_read(a.get(), file, true, out, err))
      return false;
    if (name != nullptr && strncmp(name, "data.tar", 8) == 0)
      return member_read(a.get(), file, false, out, err);
  }
  *err = file + ": no data member";
  return false;
}

// Reads the archive at file, once its SHA-256 is one of sums, the
// digests the signed indexes list for it.
bool
deb_read(const std::string &file, const std::vector<std::string> &sums,
         std::vector<raw_file> *out, std::string *err)
{
  std::string sum = file_sha256(file);
  if (std::find(sums.begin(), sums.end(), sum) == sums.end()) {
    *err = file + ": its SHA-256 is not the one the signed index lists";
    return false;
  }
  return deb_files(file, out, err);
}

// The archive's files by host path: each path diverted and its links
// followed, a hard link taking its target's file; its control files by
// name; its paths as dpkg lists them.
void
deb_settle(pkg_db *db, pkg_archive *ar, const std::vector<raw_file> &raw)
{
  for (const raw_file &rf : raw) {
    if (rf.rf_control) {
      ar->pr_control[rf.rf_path] = rf.rf_file;
      continue;
    }
    ar->pr_list.push_back(rf.rf_path == "/" ? "/." : rf.rf_path);
    if (rf.rf_path == "/")
      continue;
    pkg_afile f = rf.rf_file;
    if (!rf.rf_hard.empty()) {
      auto t = ar->pr_files.find(std::string(
          pkg_canon_view(db, pkg_located(db, ar->pr_name, rf.rf_hard))));
      if (t != ar->pr_files.end())
        f = t->second;
    }
    ar->pr_files[std::string(pkg_canon_view(db, pkg_located(db, ar->pr_name,
                                                            rf.rf_path)))] = f;
  }
}

// Where an archive of name at version is looked for by its name alone:
// in the repository given with -a, then in apt's cache, then in kavrel's,
// where apt's hook keeps what apt installs and a fetch puts what was
// missing. Whichever holds it, it counts only once a signed index lists
// its digest.
std::vector<std::string>
flat_places(const pkg_db *db, const std::string &name,
            const std::string &version, const std::string &arch)
{
  std::string flat = pkg_flat_name(name, version, arch);
  std::vector<std::string> places;
  if (db->pd_away) {
    if (!db->pd_away_cache.empty())
      places.push_back(db->pd_away_cache + "/" + flat);
    return places;
  }
  if (!db->pd_adir.empty())
    places.push_back(db->pd_adir + "/" + flat);
  places.push_back(db->pd_root + "/var/cache/apt/archives/" + flat);
  places.push_back(db->pd_root + "/" + PKG_CACHE_DIR + "/" + flat);
  return places;
}

// Finds the archive of name at version: 1 and its file and the digests
// the signed indexes list for it, 0 when none is at hand or no verified
// index lists it (an index that does not verify is a note of pkg_notes).
int
archive_find(pkg_db *db, const std::string &name, const std::string &version,
             const std::string &arch, std::string *file,
             std::vector<std::string> *sums)
{
  std::vector<std::string> places = flat_places(db, name, version, arch);
  // The indexes are read when an archive may be at hand: one a repository
  // given with -a places by its index, or one of these.
  std::vector<std::pair<std::string, std::string>> listed;
  bool near = !db->pd_adir.empty() || !db->pd_away_sources.empty();
  for (const std::string &p : places)
    near |= access(p.c_str(), R_OK) == 0;
  if (near) {
    pkg_index_load(db);
    listed = pkg_index_find(db, name, version, arch);
  }
  for (auto l = listed.rbegin(); l != listed.rend(); ++l)
    if (!l->second.empty())
      places.insert(places.begin(), l->second);
  file->clear();
  for (const std::string &p : places)
    if (access(p.c_str(), R_OK) == 0) {
      *file = p;
      break;
    }
  // An archive no signed index lists cannot be told from a forged one.
  if (file->empty() || listed.empty())
    return 0;
  for (const auto &l : listed)
    sums->push_back(l.first);
  return 1;
}

std::unique_ptr<pkg_archive>
archive_new(const std::string &name, const std::string &version,
            const std::string &arch, const std::string &file)
{
  auto ar = std::make_unique<pkg_archive>();
  ar->pr_name = name;
  ar->pr_version = version;
  ar->pr_arch = arch;
  ar->pr_file = file;
  return ar;
}

// One archive to read ahead: found in the main thread, read on any.
struct read_job {
  const pkg_key *rj_key;
  std::string rj_name;  // "name version arch"
  std::string rj_file, rj_err;
  std::vector<std::string> rj_sums;
  std::vector<raw_file> rj_raw;
  bool rj_ok;
};

// Reads every job's archive, on every core.
void
read_all(std::vector<read_job> *jobs)
{
  std::atomic<size_t> next(0);
  auto work = [jobs, &next] {
    for (size_t i; (i = next++) < jobs->size();) {
      read_job &j = (*jobs)[i];
      j.rj_ok = deb_read(j.rj_file, j.rj_sums, &j.rj_raw, &j.rj_err);
    }
  };
  std::vector<std::thread> threads;
  for (int t = 1; t < port_ncpu() && size_t(t) < jobs->size(); t++)
    threads.emplace_back(work);
  work();
  for (std::thread &t : threads)
    t.join();
}

}  // namespace

// An archive's member name as a host path: "./usr/bin/x" (or
// "usr/bin/x") as "/usr/bin/x", any trailing '/' cut, "/" for the top.
// "" for a name that could reach outside the root or name a path
// twice over: an absolute one, or one with a "..", "." or empty
// component. Such a member explains no path.
std::string
pkg_member_path(const char *name)
{
  std::string path = name != nullptr ? name : "";
  if (path == "." || path == "./")
    return "/";
  if (path.compare(0, 2, "./") == 0)
    path.erase(0, 1);
  else if (!path.empty() && path[0] != '/')
    path.insert(0, "/");
  else
    return "";
  while (path.size() > 1 && path.back() == '/')
    path.pop_back();
  for (size_t at = 0; at < path.size();) {
    size_t end = path.find('/', at + 1);
    if (end == std::string::npos)
      end = path.size();
    std::string_view part(path.data() + at + 1, end - at - 1);
    if (part.empty() || part == "." || part == "..")
      return "";
    at = end;
  }
  return path;
}

bool
pkg_archive_near(const pkg_db *db, const std::string &name,
                 const std::string &version, const std::string &arch)
{
  auto hit = db->pd_archives.find(name + " " + version + " " + arch);
  if (hit != db->pd_archives.end())
    return hit->second != nullptr;
  for (const std::string &p : flat_places(db, name, version, arch))
    if (access(p.c_str(), R_OK) == 0)
      return true;
  return false;
}

int
pkg_archive_get(pkg_db *db, const std::string &name, const std::string &version,
                const std::string &arch, const pkg_archive **out,
                std::string *err)
{
  std::string key = name + " " + version + " " + arch;
  auto failed = db->pd_failed.find(key);
  if (failed != db->pd_failed.end()) {
    *err = failed->second;
    return -1;
  }
  auto hit = db->pd_archives.find(key);
  if (hit != db->pd_archives.end()) {
    *out = hit->second.get();
    return *out != nullptr ? 1 : 0;
  }
  std::string file;
  std::vector<std::string> sums;
  if (archive_find(db, name, version, arch, &file, &sums) == 0) {
    db->pd_archives[key] = nullptr;
    *out = nullptr;
    return 0;
  }
  std::vector<raw_file> raw;
  // An archive that does not verify is asked for by every path of its
  // package: it is read once, and so told once.
  if (!deb_read(file, sums, &raw, err)) {
    db->pd_failed[key] = *err;
    return -1;
  }
  auto ar = archive_new(name, version, arch, file);
  deb_settle(db, ar.get(), raw);
  *out = ar.get();
  db->pd_archives[key] = std::move(ar);
  return 1;
}

bool
pkg_archive_load(pkg_db *db, const pkg_key &k, const std::string &file,
                 std::string *err)
{
  std::vector<raw_file> raw;
  if (!deb_files(file, &raw, err))
    return false;
  auto ar = archive_new(k.pk_name, k.pk_version, k.pk_arch, file);
  deb_settle(db, ar.get(), raw);
  db->pd_archives[k.pk_name + " " + k.pk_version + " " + k.pk_arch] =
      std::move(ar);
  return true;
}

void
pkg_archive_read_ahead(pkg_db *db, const std::vector<pkg_key> &keys)
{
  // The indexes read and searched once for every package wanted.
  std::vector<std::string> names;
  for (const pkg_key &k : keys)
    if (pkg_archive_near(db, k.pk_name, k.pk_version, k.pk_arch) ||
        !db->pd_adir.empty() || !db->pd_away_sources.empty())
      names.push_back(k.pk_name);
  if (!names.empty()) {
    pkg_index_load(db);
    pkg_index_scan(db, names);
  }
  std::vector<read_job> jobs;
  for (const pkg_key &k : keys) {
    std::string key = k.pk_name + " " + k.pk_version + " " + k.pk_arch;
    if (db->pd_archives.count(key) != 0 || db->pd_failed.count(key) != 0)
      continue;
    read_job j{&k, key, "", "", {}, {}, false};
    if (archive_find(db, k.pk_name, k.pk_version, k.pk_arch, &j.rj_file,
                     &j.rj_sums) == 0)
      db->pd_archives[key] = nullptr;
    else
      jobs.push_back(std::move(j));
  }
  read_all(&jobs);
  for (read_job &j : jobs) {
    const pkg_key &k = *j.rj_key;
    if (!j.rj_ok) {
      db->pd_failed[j.rj_name] = j.rj_err;
      continue;
    }
    auto ar = archive_new(k.pk_name, k.pk_version, k.pk_arch, j.rj_file);
    deb_settle(db, ar.get(), j.rj_raw);
    db->pd_archives[j.rj_name] = std::move(ar);
  }
}

void
pkg_keys_unique(std::vector<pkg_key> *keys)
{
  auto tied = [](const pkg_key &k) {
    return std::tie(k.pk_name, k.pk_version, k.pk_arch);
  };
  std::sort(keys->begin(), keys->end(),
            [&tied](const pkg_key &a, const pkg_key &b) {
              return tied(a) < tied(b);
            });
  keys->erase(std::unique(keys->begin(), keys->end(),
                          [&tied](const pkg_key &a, const pkg_key &b) {
                            return tied(a) == tied(b);
                          }),
              keys->end());
}
