// pkg_dpkg.cc: the dpkg back end: the status file, each package's list of
// paths and digests, conffiles, diversions, stat overrides and the log.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

#include "kavexplain/pkg.h"
#include "kavexplain/pkg_int.h"

namespace {

constexpr uint32_t NO_ENTRY = UINT32_MAX;

// The text kept in db, as a view.
std::string_view
keep(pkg_db *db, std::string text)
{
  db->pd_texts.push_back(std::move(text));
  return db->pd_texts.back();
}

// Up to n words of a line, split at blanks; "" for the missing ones.
template <size_t N>
size_t
words(std::string_view line, std::string_view (&out)[N])
{
  size_t n = 0, at = 0;
  for (; n < N; n++) {
    at = line.find_first_not_of(" \t", at);
    if (at == std::string_view::npos)
      break;
    size_t end = line.find_first_of(" \t", at);
    if (end == std::string_view::npos)
      end = line.size();
    out[n] = line.substr(at, end - at);
    at = end;
  }
  for (size_t k = n; k < N; k++)
    out[k] = std::string_view();
  return n;
}

// One paragraph of the status file: the fields this back end reads.
struct status_para {
  std::string_view name, version, arch, state, conffiles;
};

void
status_add(pkg_db *db, const status_para &p)
{
  if (p.name.empty())
    return;
  // Only packages whose files are on the host, conffiles at least.
  if (p.state.find("not-installed") != std::string_view::npos)
    return;
  auto m = std::make_unique<pkg_meta>();
  m->pm_name = p.name;
  if (p.state.find("config-files") == std::string_view::npos)
    m->pm_version = p.version;
  m->pm_arch = p.arch;
  db->pd_conffiles.push_back(p.conffiles);
  db->pd_by_name[m->pm_name] = m.get();
  db->pd_pkgs.push_back(std::move(m));
}

bool
status_read(pkg_db *db, std::string *err)
{
  std::string name = db->pd_root + "/var/lib/dpkg/status", buf;
  if (!pkg_read_file(name, &buf)) {
    *err = name + ": " + strerror(errno);
    return false;
  }
  status_para p;
  // The field continued by indented lines: Conffiles, the one read.
  std::string_view *cont = nullptr;
  for (std::string_view line : pkg_lines(keep(db, std::move(buf)))) {
    if (line.empty()) {
      status_add(db, p);
      p = status_para();
      cont = nullptr;
      continue;
    }
    if (line[0] == ' ' || line[0] == '\t') {
      // The lines lie one after another: the field spans them.
      if (cont != nullptr)
        *cont = cont->empty() ? line
                              : std::string_view(cont->data(),
                                                 size_t(line.data() -
                                                        cont->data()) +
                                                     line.size());
      continue;
    }
    cont = nullptr;
    size_t colon = line.find(':');
    if (colon == std::string_view::npos)
      continue;
    std::string_view key = line.substr(0, colon), val = line.substr(colon + 1);
    size_t lead = val.find_first_not_of(" \t");
    val.remove_prefix(lead == std::string_view::npos ? val.size() : lead);
    if (key == "Package") p.name = val;
    else if (key == "Version") p.version = val;
    else if (key == "Architecture") p.arch = val;
    else if (key == "Status") p.state = val;
    else if (key == "Conffiles") cont = &p.conffiles;
  }
  status_add(db, p);
  return true;
}

// The file of info/ for the package, named with its architecture or
// without: true and its text, or false with errno.
bool
info_read(const pkg_db *db, const pkg_meta *m, const char *ext,
          std::string *name, std::string *text)
{
  std::string base = db->pd_root + "/var/lib/dpkg/info/" + m->pm_name;
  *name = base + ":" + m->pm_arch + ext;
  if (pkg_read_file(*name, text))
    return true;
  if (errno != ENOENT)
    return false;
  *name = base + ext;
  return pkg_read_file(*name, text);
}

void
claim_add(pkg_db *db, std::string_view at, const pkg_entry &e)
{
  db->pd_claims.push_back(pkg_slot{std::hash<std::string_view>()(at), at,
                                   uint32_t(db->pd_entries.size())});
  db->pd_entries.push_back(e);
}

// The claims on one path, in the records' order, linked into a chain,
// but for a path of a package's list that is one of its conffiles; the
// slot of the chain's first entry is kept.
void
claims_link(pkg_db *db, const pkg_slot *from, const pkg_slot *to,
            std::vector<pkg_slot> *out)
{
  std::vector<uint32_t> conf;  // the packages with a conffile here
  uint32_t tail = NO_ENTRY;
  for (const pkg_slot *s = from; s != to; s++) {
    pkg_entry &e = db->pd_entries[s->ps_entry];
    if (!e.pe_conf &&
        std::find(conf.begin(), conf.end(), e.pe_pkg) != conf.end())
      continue;
    if (e.pe_conf)
      conf.push_back(e.pe_pkg);
    if (tail == NO_ENTRY)
      out->push_back(*s);
    else
      db->pd_entries[tail].pe_next = s->ps_entry;
    tail = s->ps_entry;
  }
}

// One slot per path: the slots sorted by hash, each path's in the order
// they came.
void
claims_settle(pkg_db *db)
{
  std::vector<pkg_slot> &v = db->pd_claims;
  std::stable_sort(v.begin(), v.end(),
                   [](const pkg_slot &a, const pkg_slot &b) {
                     return a.ps_hash < b.ps_hash;
                   });
  std::vector<pkg_slot> out, same;
  out.reserve(v.size());
  for (size_t i = 0, j; i < v.size(); i = j) {
    for (j = i + 1; j < v.size() && v[j].ps_hash == v[i].ps_hash; j++) {
    }
    // Paths that share a hash are told apart, each keeping its order.
    std::stable_sort(v.begin() + ptrdiff_t(i), v.begin() + ptrdiff_t(j),
                     [](const pkg_slot &a, const pkg_slot &b) {
                       return a.ps_path < b.ps_path;
                     });
    for (size_t k = i, l; k < j; k = l) {
      for (l = k + 1; l < j && v[l].ps_path == v[k].ps_path; l++) {
      }
      claims_link(db, &v[k], &v[l], &out);
    }
  }
  v.swap(out);
}

// The claims of one package: its conffiles first, then the paths of its
// list.
bool
claims_read(pkg_db *db, uint32_t pkg, std::string *err)
{
  const pkg_meta *m = db->pd_pkgs[pkg].get();
  for (std::string_view line : pkg_lines(db->pd_conffiles[pkg])) {
    std::string_view w[3];
    words(line, w);
    if (!w[0].empty() && w[2] != "obsolete")
      claim_add(db, pkg_canon_view(db, pkg_located(db, m->pm_name, w[0])),
                pkg_entry{pkg, NO_ENTRY, true, w[0], w[1]});
  }
  std::string list, text;
  if (!info_read(db, m, ".list", &list, &text)) {
    if (errno == ENOENT)
      return true;
    *err = list + ": " + strerror(errno);
    return false;
  }
  for (std::string_view path : pkg_lines(keep(db, std::move(text)))) {
    if (path.empty() || path == "/.")
      continue;
    claim_add(db, pkg_canon_view(db, pkg_located(db, m->pm_name, path)),
              pkg_entry{pkg, NO_ENTRY, false, path, {}});
  }
  return true;
}

bool
lists_read(pkg_db *db, std::string *err)
{
  db->pd_sums.resize(db->pd_pkgs.size());
  for (uint32_t i = 0; i < db->pd_pkgs.size(); i++)
    if (!claims_read(db, i, err))
      return false;
  claims_settle(db);
  return true;
}

// The digests of a package's md5sums file, read once.
const pkg_sums &
sums_of(pkg_db *db, uint32_t pkg)
{
  pkg_sums &s = db->pd_sums[pkg];
  if (s.ps_read)
    return s;
  s.ps_read = true;
  std::string name, text;
  if (!info_read(db, db->pd_pkgs[pkg].get(), ".md5sums", &name, &text))
    return s;
  for (std::string_view line : pkg_lines(keep(db, std::move(text)))) {
    if (line.size() < 35 || line[32] != ' ')
      continue;
    size_t at = line.find_first_not_of(' ', 32);
    s.ps_by_path[line.substr(at)] = line.substr(0, 32);
  }
  return s;
}

bool
diversions_read(pkg_db *db)
{
  std::string text;
  if (!pkg_read_file(db->pd_root + "/var/lib/dpkg/diversions", &text))
    return errno == ENOENT;
  std::vector<std::string_view> l = pkg_lines(keep(db, std::move(text)));
  for (size_t i = 0; i + 2 < l.size(); i += 3)
    db->pd_diverts[l[i]] = {l[i + 1], l[i + 2]};
  return true;
}

// A user or group of a stat override: "#1000", or a name that the root's
// passwd or group file maps to a number.
bool
id_of(const pkg_db *db, std::string_view word, const char *file,
      uint32_t *id)
{
  if (word.size() > 1 && word[0] == '#') {
    *id = uint32_t(strtoul(std::string(word.substr(1)).c_str(), nullptr, 10));
    return true;
  }
  std::string text;
  if (!pkg_read_file(db->pd_root + file, &text))
    return false;
  for (std::string_view line : pkg_lines(text)) {
    size_t c1 = line.find(':'), c2 = line.find(':', c1 + 1);
    size_t c3 = line.find(':', c2 + 1);
    if (c3 != std::string_view::npos && line.substr(0, c1) == word) {
      *id = uint32_t(strtoul(std::string(line.substr(c2 + 1)).c_str(),
                             nullptr, 10));
      return true;
    }
  }
  return false;
}

bool
overrides_read(pkg_db *db, std::string *err)
{
  std::string name = db->pd_root + "/var/lib/dpkg/statoverride", text;
  if (!pkg_read_file(name, &text))
    return errno == ENOENT;
  for (std::string_view line : pkg_lines(text)) {
    std::string_view w[4];
    if (words(line, w) < 4)
      continue;
    pkg_override_rec o;
    o.po_perm = uint16_t(strtoul(std::string(w[2]).c_str(), nullptr, 8));
    if (!id_of(db, w[0], "/etc/passwd", &o.po_uid) ||
        !id_of(db, w[1], "/etc/group", &o.po_gid)) {
      *err = name + ": unknown user or group in \"" + std::string(line) + "\"";
      return false;
    }
    db->pd_overrides[std::string(pkg_canon_view(db, w[3]))] = o;
  }
  return true;
}

// "2026-12-09 16:00:00 upgrade foo:amd64 1.0 1.1", in the local time that
// dpkg wrote it in.
void
log_line(pkg_db *db, std::string_view line)
{
  std::string_view w[6];
  if (words(line, w) < 6)
    return;
  if (w[2] != "install" && w[2] != "upgrade" && w[2] != "remove" &&
      w[2] != "purge")
    return;
  struct tm tm;
  memset(&tm, 0, sizeof tm);
  std::string when = std::string(w[0]) + " " + std::string(w[1]);
  const char *end = strptime(when.c_str(), "%Y-%m-%d %H:%M:%S", &tm);
  if (end == nullptr || *end != '\0')
    return;
  tm.tm_isdst = -1;
  pkg_op op;
  op.po_when = int64_t(mktime(&tm));
  op.po_action = w[2];
  op.po_name = w[3].substr(0, w[3].find(':'));
  op.po_old = w[4] == "<none>" ? std::string_view() : w[4];
  op.po_new = w[5] == "<none>" ? std::string_view() : w[5];
  db->pd_ops.push_back(op);
}

// One file of update-alternatives: its mode, the master link, pairs of a
// slave's name and link up to an empty line, then per alternative its
// path, its priority and one line per slave, up to an empty line. Each
// link points into /etc/alternatives, and each name there to one of the
// alternatives' paths.
void
alternatives_file(pkg_db *db, const std::string &name, const std::string &text)
{
  std::vector<std::string_view> v = pkg_lines(text);
  std::vector<std::string> l(v.begin(), v.end());
  if (l.size() < 2)
    return;
  const std::string etc = "/etc/alternatives/";
  std::vector<std::string> names = {name};
  db->pd_links[pkg_canon(db, l[1])] = {etc + name};
  size_t at = 2;
  for (; at + 1 < l.size() && !l[at].empty(); at += 2) {
    names.push_back(l[at]);
    db->pd_links[pkg_canon(db, l[at + 1])] = {etc + l[at]};
  }
  for (at++; at + 1 < l.size() && !l[at].empty();) {
    db->pd_links[etc + name].push_back(l[at]);
    at += 2;
    for (size_t k = 1; k < names.size() && at < l.size(); k++, at++)
      if (!l[at].empty())
        db->pd_links[etc + names[k]].push_back(l[at]);
  }
}

void
alternatives_read(pkg_db *db)
{
  std::string dir = db->pd_root + "/var/lib/dpkg/alternatives";
  DIR *d = opendir(dir.c_str());
  if (d == nullptr)
    return;
  while (dirent *e = readdir(d)) {
    std::string text;
    if (e->d_name[0] != '.' && pkg_read_file(dir + "/" + e->d_name, &text))
      alternatives_file(db, e->d_name, text);
  }
  closedir(d);
}

void
log_read(pkg_db *db)
{
  for (const char *n : {"/var/log/dpkg.log.1", "/var/log/dpkg.log"}) {
    std::string text;
    if (pkg_read_file(db->pd_root + n, &text))
      for (std::string_view line : pkg_lines(text))
        log_line(db, line);
  }
}

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
  std::string_view key = keep(db, std::string(dir));
  std::string_view val = cand == dir ? key : keep(db, std::move(cand));
  db->pd_dirs.emplace(key, val);
  return val;
}

}  // namespace

bool
pkg_read_file(const std::string &name, std::string *out)
{
  out->clear();
  int fd = open(name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return false;
  struct stat st;
  if (fstat(fd, &st) == 0 && st.st_size > 0)
    out->reserve(size_t(st.st_size));
  char buf[65536];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
    if (n > 0)
      out->append(buf, size_t(n));
  int e = errno;
  close(fd);
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

bool
pkg_own_state(const std::string &path)
{
  static const char *const own[] = {
      "/var/lib/dpkg/", "/var/log/dpkg.log", "/var/log/apt/",
      "/var/lib/apt/",  "/var/cache/apt/",   "/var/cache/debconf/",
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
  size_t slash = path.rfind('/');
  if (slash == std::string_view::npos || slash == 0)
    return path;
  std::string_view dir = path.substr(0, slash);
  std::string_view host = canon_dir(db, dir);
  if (host == dir)
    return path;
  return keep(db, std::string(host).append(path.substr(slash)));
}

std::string
pkg_canon(pkg_db *db, const std::string &path)
{
  return std::string(pkg_canon_view(db, path));
}

pkg_db *
pkg_open(const char *root, const char *adir, std::string *err)
{
  auto db = std::make_unique<pkg_db>();
  db->pd_root = root;
  if (adir != nullptr)
    db->pd_adir = adir;
  if (!status_read(db.get(), err))
    return nullptr;
  if (!diversions_read(db.get())) {
    *err = db->pd_root + "/var/lib/dpkg/diversions: " + strerror(errno);
    return nullptr;
  }
  if (!overrides_read(db.get(), err) || !lists_read(db.get(), err))
    return nullptr;
  log_read(db.get());
  alternatives_read(db.get());
  return db.release();
}

void
pkg_close(pkg_db *db)
{
  delete db;
}

std::vector<pkg_claim>
pkg_claims(pkg_db *db, const std::string &path, bool digests)
{
  std::vector<pkg_claim> v;
  size_t h = std::hash<std::string_view>()(path);
  auto it = std::lower_bound(
      db->pd_claims.begin(), db->pd_claims.end(), h,
      [](const pkg_slot &s, size_t hash) { return s.ps_hash < hash; });
  for (; it != db->pd_claims.end() && it->ps_hash == h; ++it)
    if (it->ps_path == path)
      break;
  if (it == db->pd_claims.end() || it->ps_hash != h)
    return v;
  for (uint32_t i = it->ps_entry; i != NO_ENTRY;) {
    const pkg_entry &e = db->pd_entries[i];
    pkg_claim c{db->pd_pkgs[e.pe_pkg].get(), std::string(e.pe_md5),
                e.pe_conf};
    if (digests && !e.pe_conf && e.pe_raw.size() > 1 && e.pe_raw[0] == '/') {
      const pkg_sums &s = sums_of(db, e.pe_pkg);
      auto sum = s.ps_by_path.find(e.pe_raw.substr(1));
      if (sum != s.ps_by_path.end())
        c.pc_md5 = sum->second;
    }
    v.push_back(std::move(c));
    i = e.pe_next;
  }
  return v;
}

std::vector<pkg_op>
pkg_ops(const pkg_db *db, int64_t from, int64_t to)
{
  std::vector<pkg_op> v;
  for (const pkg_op &op : db->pd_ops)
    if (op.po_when >= from && op.po_when <= to)
      v.push_back(op);
  return v;
}

bool
pkg_override(const pkg_db *db, const std::string &path, uint16_t *perm,
             uint32_t *uid, uint32_t *gid)
{
  auto it = db->pd_overrides.find(path);
  if (it == db->pd_overrides.end())
    return false;
  *perm = it->second.po_perm;
  *uid = it->second.po_uid;
  *gid = it->second.po_gid;
  return true;
}

const pkg_meta *
pkg_find(const pkg_db *db, const std::string &name)
{
  auto it = db->pd_by_name.find(name);
  return it == db->pd_by_name.end() ? nullptr : it->second;
}

const std::vector<std::string> *
pkg_managed_link(const pkg_db *db, const std::string &path)
{
  auto it = db->pd_links.find(path);
  return it == db->pd_links.end() ? nullptr : &it->second;
}
