// pkg_kept.cc: dpkg's records of one moment, kept for later. dpkg forgets
// what a package shipped when it removes the package, so a path deleted
// with it can only be explained by a copy of the records taken before: a
// tar, compressed with xz, of the status file (less the packages'
// descriptions), each package's .list and .conffiles, the diversions and
// the stat overrides, named as under the root. The MD5 digests are left
// out: a deleted file cannot be re-hashed. The copies are read by the same
// parsers as the host's own files.
#include <archive.h>
#include <archive_entry.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>

#include "pkg/pkg.h"
#include "pkg/pkg_int.h"

namespace {

constexpr char DPKG_DIR[] = "var/lib/dpkg/";
constexpr char STATUS[] = "var/lib/dpkg/status";

using reader_ptr = std::unique_ptr<archive, decltype(&archive_read_free)>;
using writer_ptr = std::unique_ptr<archive, decltype(&archive_write_free)>;

// libarchive's text for the last failure, which it may not have set.
std::string
la_error(archive *a)
{
  const char *s = archive_error_string(a);
  return s != nullptr ? s : "damaged archive";
}

bool
ends_with(const std::string &s, const char *tail)
{
  size_t n = strlen(tail);
  return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

// The names to keep, under the root without its leading slash: the status
// file first, then the others in a fixed order. False with *err when the
// directory of the lists cannot be read.
bool
kept_names(const std::string &root, std::vector<std::string> *v,
           std::string *err)
{
  *v = {STATUS, "var/lib/dpkg/diversions", "var/lib/dpkg/statoverride"};
  std::string info = std::string(DPKG_DIR) + "info/";
  DIR *d = opendir((root + "/" + info).c_str());
  if (d == nullptr) {
    *err = root + "/" + info + ": " + strerror(errno);
    return errno == ENOENT;
  }
  std::vector<std::string> lists;
  while (dirent *e = readdir(d)) {
    std::string n = e->d_name;
    if (n[0] != '.' && (ends_with(n, ".list") || ends_with(n, ".conffiles")))
      lists.push_back(info + n);
  }
  closedir(d);
  std::sort(lists.begin(), lists.end());
  v->insert(v->end(), lists.begin(), lists.end());
  return true;
}

// The whole file and its modification time; false with errno.
bool
slurp(const std::string &name, std::string *out, time_t *mtime)
{
  int fd = open(name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return false;
  struct stat st;
  bool ok = fstat(fd, &st) == 0;
  *mtime = ok ? st.st_mtime : 0;
  out->clear();
  char buf[65536];
  ssize_t n = 0;
  while (ok && (n = read(fd, buf, sizeof buf)) != 0) {
    if (n > 0)
      out->append(buf, size_t(n));
    else if (errno != EINTR)
      ok = false;
  }
  int e = errno;
  close(fd);
  errno = e;
  return ok;
}

// The status file less each package's description, a sixth of its bytes
// even compressed, which nothing here reads.
std::string
status_kept(const std::string &text)
{
  std::string out;
  out.reserve(text.size());
  bool skip = false;
  for (size_t at = 0; at < text.size();) {
    size_t nl = text.find('\n', at);
    nl = nl == std::string::npos ? text.size() : nl + 1;
    bool cont = text[at] == ' ' || text[at] == '\t';
    skip = cont ? skip : text.compare(at, 12, "Description:") == 0;
    if (!skip)
      out.append(text, at, nl - at);
    at = nl;
  }
  return out;
}

// One member; false when the archive refused it.
bool
put_member(archive *a, const std::string &name, const std::string &data,
           time_t mtime)
{
  std::unique_ptr<archive_entry, decltype(&archive_entry_free)> e(
      archive_entry_new(), archive_entry_free);
  archive_entry_set_pathname(e.get(), name.c_str());
  archive_entry_set_filetype(e.get(), AE_IFREG);
  archive_entry_set_perm(e.get(), 0644);
  archive_entry_set_size(e.get(), la_int64_t(data.size()));
  archive_entry_set_mtime(e.get(), mtime, 0);
  return archive_write_header(a, e.get()) == ARCHIVE_OK &&
         archive_write_data(a, data.data(), data.size()) ==
             la_ssize_t(data.size());
}

// Writes the members to the descriptor; false with *err.
bool
write_records(const std::string &root, const char *file, int fd,
              std::string *err)
{
  writer_ptr a(archive_write_new(), archive_write_free);
  auto refused = [&]() {
    *err = std::string(file) + ": " + la_error(a.get());
    return false;
  };
  // xz at its fastest but one keeps a host's records well under a
  // megabyte in under half a second, and its CRC-64 tells a damaged copy
  // when it is read (zstd, as libarchive writes it, has no check).
  if (archive_write_add_filter_xz(a.get()) != ARCHIVE_OK ||
      archive_write_set_filter_option(a.get(), "xz", "compression-level",
                                      "1") != ARCHIVE_OK ||
      archive_write_set_format_pax_restricted(a.get()) != ARCHIVE_OK ||
      archive_write_set_bytes_in_last_block(a.get(), 1) != ARCHIVE_OK ||
      archive_write_open_fd(a.get(), fd) != ARCHIVE_OK)
    return refused();
  std::vector<std::string> names;
  if (!kept_names(root, &names, err))
    return false;
  for (const std::string &n : names) {
    std::string data;
    time_t mtime;
    if (!slurp(root + "/" + n, &data, &mtime)) {
      // A package's files may go while they are listed; the status file
      // must be there.
      if (errno == ENOENT && n != STATUS)
        continue;
      *err = root + "/" + n + ": " + strerror(errno);
      return false;
    }
    if (n == STATUS)
      data = status_kept(data);
    if (!put_member(a.get(), n, data, mtime))
      return refused();
  }
  return archive_write_close(a.get()) == ARCHIVE_OK || refused();
}

// Every member of the kept records in file, by name; false with *err.
bool
read_members(const std::string &file, std::map<std::string, std::string> *m,
             std::string *err)
{
  reader_ptr a(archive_read_new(), archive_read_free);
  archive_read_support_filter_all(a.get());
  archive_read_support_format_tar(a.get());
  if (archive_read_open_filename(a.get(), file.c_str(), 65536) != ARCHIVE_OK) {
    int e = archive_errno(a.get());
    // A file that cannot be opened says why; for one that is no archive,
    // libarchive's EILSEQ would say nothing.
    *err = file + ": " +
           (e > 0 && e != EILSEQ ? strerror(e) : la_error(a.get()));
    return false;
  }
  archive_entry *e;
  int r;
  char buf[65536];
  size_t total = 0;
  while ((r = archive_read_next_header(a.get(), &e)) == ARCHIVE_OK) {
    std::string name = archive_entry_pathname(e);
    if (m->count(name) != 0) {
      *err = file + ": " + name + " twice";
      return false;
    }
    // A few kilobytes of xz can stand for gigabytes: records past the
    // bound are damage, found before they are held.
    if (archive_entry_size(e) < 0 ||
        uint64_t(archive_entry_size(e)) > PKG_KEPT_MAX - total) {
      *err = file + ": " + name + ": more than " +
             std::to_string(PKG_KEPT_MAX >> 20) +
             " MiB of records in all, not records kept by kavexplain -s";
      return false;
    }
    std::string &data = (*m)[name];
    la_ssize_t n = 0;
    while (data.size() <= size_t(archive_entry_size(e)) &&
           (n = archive_read_data(a.get(), buf, sizeof buf)) > 0)
      data.append(buf, size_t(n));
    total += data.size();
    if (n < 0 || la_int64_t(data.size()) != archive_entry_size(e)) {
      *err = file + ": " + name + ": " +
             (n < 0 ? la_error(a.get()) : "cut short");
      return false;
    }
  }
  if (r != ARCHIVE_EOF) {
    *err = file + ": " + la_error(a.get());
    return false;
  }
  if (m->count(STATUS) == 0) {
    *err = file + ": no " + STATUS + ", not records kept by kavexplain -s";
    return false;
  }
  return true;
}

// A package's file of info/ among the members, named with or without its
// architecture, as on the host; null when neither is there.
std::string *
info_member(std::map<std::string, std::string> *m, const pkg_meta *p,
            const char *ext)
{
  std::string base = std::string(DPKG_DIR) + "info/" + p->pm_name;
  auto it = m->find(base + ":" + p->pm_arch + ext);
  if (it == m->end())
    it = m->find(base + ext);
  return it == m->end() ? nullptr : &it->second;
}

}  // namespace

bool
pkg_save(const char *root, const char *file, std::string *err)
{
  int fd = open(file, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) {
    *err = std::string(file) + ": " + strerror(errno);
    return false;
  }
  bool ok = write_records(root, file, fd, err);
  if (ok && fsync(fd) != 0) {
    *err = std::string(file) + ": " + strerror(errno);
    ok = false;
  }
  // Half the records would read as records without the rest: the file
  // goes, but never a device or what a link points to, which is emptied.
  struct stat st, named;
  bool reg = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  bool named_so = reg && lstat(file, &named) == 0 &&
                  named.st_dev == st.st_dev && named.st_ino == st.st_ino;
  if (!ok && reg && !named_so && ftruncate(fd, 0) != 0)
    *err += " (and the file is left cut short)";
  if (close(fd) != 0 && ok) {
    *err = std::string(file) + ": " + strerror(errno);
    ok = false;
  }
  if (!ok && named_so)
    unlink(file);
  return ok;
}

bool
pkg_kept_load(pkg_db *db, const std::vector<std::string> &kept,
              std::string *err)
{
  for (const std::string &file : kept) {
    std::map<std::string, std::string> m;
    if (!read_members(file, &m, err))
      return false;
    auto k = std::make_unique<pkg_db>();
    // Paths are matched as the host's directories lead to them now.
    k->pd_root = db->pd_root;
    k->pd_away = db->pd_away;
    k->pd_kept_file = file;
    pkg_status_parse(k.get(), std::move(m[STATUS]));
    pkg_diversions_parse(k.get(),
                         std::move(m[std::string(DPKG_DIR) + "diversions"]));
    k->pd_sums.resize(k->pd_pkgs.size());
    for (uint32_t i = 0; i < k->pd_pkgs.size(); i++) {
      std::string *list = info_member(&m, k->pd_pkgs[i].get(), ".list");
      pkg_list_parse(k.get(), i, list != nullptr ? std::move(*list) : "");
    }
    db->pd_kept.push_back(std::move(k));
  }
  return true;
}

bool
pkg_kept_any(const pkg_db *db)
{
  return !db->pd_kept.empty();
}

int
pkg_kept_shipped(const pkg_db *db, const pkg_op &op, const std::string &path,
                 std::string *file)
{
  for (const auto &k : db->pd_kept) {
    const pkg_meta *m = pkg_find(k.get(), op.po_name);
    // A package left with only its configuration files has no version in
    // the records; a purge is what removes those files.
    if (m == nullptr || (m->pm_version != op.po_old &&
                         !(m->pm_version.empty() && op.po_action == "purge")))
      continue;
    *file = k->pd_kept_file;
    for (const pkg_claim &c : pkg_claims(k.get(), path, false))
      if (c.pc_pkg == m)
        return 1;
    return 0;
  }
  return -1;
}

std::vector<pkg_op>
pkg_ops_between(const std::vector<pkg_meta> &older,
                const std::vector<pkg_meta> &newer)
{
  std::map<std::string, std::pair<const pkg_meta *, const pkg_meta *>> by;
  for (const pkg_meta &m : older)
    by[m.pm_name].first = &m;
  for (const pkg_meta &m : newer)
    by[m.pm_name].second = &m;
  std::vector<pkg_op> ops;
  for (const auto &kv : by) {
    const pkg_meta *o = kv.second.first, *n = kv.second.second;
    pkg_op op;
    op.po_when = 0;
    op.po_name = kv.first;
    op.po_old = o != nullptr ? o->pm_version : "";
    op.po_new = n != nullptr ? n->pm_version : "";
    if (op.po_old == op.po_new && (o == nullptr) == (n == nullptr))
      continue;
    if (!op.po_new.empty())
      op.po_action = op.po_old.empty() ? "install" : "upgrade";
    else if (n == nullptr)
      op.po_action = "purge";
    else
      op.po_action = "remove";
    ops.push_back(std::move(op));
  }
  return ops;
}

pkg_db *
pkg_open_away(const pkg_away_opts &o, std::string *err)
{
  auto db = std::make_unique<pkg_db>();
  db->pd_away = true;
  db->pd_away_sources = o.pw_sources;
  db->pd_away_cache = o.pw_cache;
  db->pd_away_indexes = o.pw_indexes;
  for (const std::string &f : o.pw_keyrings) {
    pkg_keyring k;
    if (!pkg_keyring_read(f, &k, err))
      return nullptr;
    db->pd_away_keys.push_back(std::move(k));
  }
  std::map<std::string, std::string> m;
  if (!read_members(o.pw_newer, &m, err))
    return nullptr;
  pkg_status_parse(db.get(), std::move(m[STATUS]));
  pkg_diversions_parse(db.get(),
                       std::move(m[std::string(DPKG_DIR) + "diversions"]));
  db->pd_sums.resize(db->pd_pkgs.size());
  for (uint32_t i = 0; i < db->pd_pkgs.size(); i++) {
    std::string *list = info_member(&m, db->pd_pkgs[i].get(), ".list");
    pkg_list_parse(db.get(), i, list != nullptr ? std::move(*list) : "");
  }
  if (!pkg_overrides_parse(db.get(), o.pw_newer + ": statoverride",
                           m[std::string(DPKG_DIR) + "statoverride"], err) ||
      !pkg_kept_load(db.get(), {o.pw_older}, err))
    return nullptr;
  std::vector<pkg_meta> was, now;
  for (const auto &p : db->pd_kept.front()->pd_pkgs)
    was.push_back(*p);
  for (const auto &p : db->pd_pkgs)
    now.push_back(*p);
  db->pd_ops = pkg_ops_between(was, now);
  return db.release();
}

bool
pkg_away(const pkg_db *db)
{
  return db->pd_away;
}
