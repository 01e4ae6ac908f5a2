// pkg_dpkg.cc: the dpkg back end: the status file, each package's list of
// paths and digests, conffiles, diversions, stat overrides and the log.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <sstream>

#include "kavexplain/pkg.h"
#include "kavexplain/pkg_int.h"

namespace {

bool
read_text(const std::string &name, std::string *out)
{
  std::ifstream in(name, std::ios::binary);
  if (!in)
    return false;
  std::ostringstream s;
  s << in.rdbuf();
  *out = s.str();
  return !in.bad();
}

std::vector<std::string>
lines_of(const std::string &text)
{
  std::vector<std::string> v;
  size_t at = 0;
  while (at < text.size()) {
    size_t nl = text.find('\n', at);
    if (nl == std::string::npos)
      nl = text.size();
    v.push_back(text.substr(at, nl - at));
    at = nl + 1;
  }
  return v;
}

// One paragraph of the status file: the fields this back end reads.
struct status_para {
  std::string name, version, arch, state, conffiles;
};

void
status_add(pkg_db *db, const status_para &p)
{
  if (p.name.empty())
    return;
  // Only packages whose files are on the host, conffiles at least.
  if (p.state.find("not-installed") != std::string::npos)
    return;
  auto m = std::make_unique<pkg_meta>();
  m->pm_name = p.name;
  m->pm_version = p.state.find("config-files") != std::string::npos
                      ? std::string()
                      : p.version;
  m->pm_arch = p.arch;
  db->pd_conffiles[p.name] = p.conffiles;
  db->pd_by_name[p.name] = m.get();
  db->pd_pkgs.push_back(std::move(m));
}

}  // namespace

void
pkg_status_parse(pkg_db *db, const std::string &text)
{
  status_para p;
  std::string *cont = nullptr;  // the field continued by indented lines
  for (const std::string &line : lines_of(text)) {
    if (line.empty()) {
      status_add(db, p);
      p = status_para();
      cont = nullptr;
      continue;
    }
    if (line[0] == ' ' || line[0] == '\t') {
      if (cont != nullptr)
        *cont += line + "\n";
      continue;
    }
    cont = nullptr;
    size_t colon = line.find(':');
    if (colon == std::string::npos)
      continue;
    std::string key = line.substr(0, colon);
    std::string val = line.substr(colon + 1);
    val.erase(0, val.find_first_not_of(" \t"));
    if (key == "Package") p.name = val;
    else if (key == "Version") p.version = val;
    else if (key == "Architecture") p.arch = val;
    else if (key == "Status") p.state = val;
    else if (key == "Conffiles") cont = &p.conffiles;
  }
  status_add(db, p);
}

void
pkg_list_parse(pkg_db *db, const pkg_meta *m, const std::string &list,
               const std::string &md5sums)
{
  std::unordered_map<std::string, std::string> md5;
  for (const std::string &line : lines_of(md5sums)) {
    if (line.size() < 35 || line[32] != ' ')
      continue;
    size_t at = line.find_first_not_of(' ', 32);
    md5["/" + line.substr(at)] = line.substr(0, 32);
  }
  for (const std::string &line : lines_of(db->pd_conffiles[m->pm_name])) {
    std::istringstream s(line);
    std::string path, sum, flag;
    s >> path >> sum >> flag;
    if (!path.empty() && flag != "obsolete")
      db->pd_claims[pkg_canon(db, pkg_located(db, m->pm_name, path))].push_back(
          pkg_claim{m, sum, true});
  }
  for (const std::string &path : lines_of(list)) {
    if (path.empty() || path == "/.")
      continue;
    std::string at = pkg_canon(db, pkg_located(db, m->pm_name, path));
    auto &claims = db->pd_claims[at];
    bool conf = false;
    for (const pkg_claim &c : claims)
      conf |= c.pc_pkg == m && c.pc_conffile;
    if (conf)
      continue;
    auto sum = md5.find(path);
    claims.push_back(
        pkg_claim{m, sum == md5.end() ? "" : sum->second, false});
  }
}

void
pkg_diversions_parse(pkg_db *db, const std::string &text)
{
  std::vector<std::string> l = lines_of(text);
  for (size_t i = 0; i + 2 < l.size(); i += 3)
    db->pd_diverts[l[i]] = {l[i + 1], l[i + 2]};
}

namespace {

bool
status_read(pkg_db *db, std::string *err)
{
  std::string name = db->pd_root + "/var/lib/dpkg/status", text;
  if (!read_text(name, &text)) {
    *err = name + ": " + strerror(errno);
    return false;
  }
  pkg_status_parse(db, text);
  return true;
}

// The file of info/ for the package, named with or without its
// architecture; "" when neither exists.
std::string
info_file(const pkg_db *db, const pkg_meta *m, const char *ext)
{
  std::string base = db->pd_root + "/var/lib/dpkg/info/" + m->pm_name;
  std::string qual = base + ":" + m->pm_arch + ext;
  if (access(qual.c_str(), F_OK) == 0)
    return qual;
  return base + ext;
}

bool
lists_read(pkg_db *db, std::string *err)
{
  for (const auto &m : db->pd_pkgs) {
    std::string md5sums, list = info_file(db, m.get(), ".list"), text;
    if (!read_text(info_file(db, m.get(), ".md5sums"), &md5sums))
      md5sums.clear();
    if (!read_text(list, &text)) {
      if (errno != ENOENT) {
        *err = list + ": " + strerror(errno);
        return false;
      }
      text.clear();
    }
    pkg_list_parse(db, m.get(), text, md5sums);
  }
  return true;
}

bool
diversions_read(pkg_db *db)
{
  std::string text;
  if (!read_text(db->pd_root + "/var/lib/dpkg/diversions", &text))
    return errno == ENOENT;
  pkg_diversions_parse(db, text);
  return true;
}

// A user or group of a stat override: "#1000", or a name that the root's
// passwd or group file maps to a number.
bool
id_of(const pkg_db *db, const std::string &word, const char *file,
      uint32_t *id)
{
  if (word.size() > 1 && word[0] == '#') {
    *id = uint32_t(strtoul(word.c_str() + 1, nullptr, 10));
    return true;
  }
  std::string text;
  if (!read_text(db->pd_root + file, &text))
    return false;
  for (const std::string &line : lines_of(text)) {
    size_t c1 = line.find(':'), c2 = line.find(':', c1 + 1);
    size_t c3 = line.find(':', c2 + 1);
    if (c3 != std::string::npos && line.compare(0, c1, word) == 0 &&
        c1 == word.size()) {
      *id = uint32_t(strtoul(line.c_str() + c2 + 1, nullptr, 10));
      return true;
    }
  }
  return false;
}

bool
overrides_read(pkg_db *db, std::string *err)
{
  std::string name = db->pd_root + "/var/lib/dpkg/statoverride", text;
  if (!read_text(name, &text))
    return errno == ENOENT;
  for (const std::string &line : lines_of(text)) {
    std::istringstream s(line);
    std::string user, group, mode, path;
    if (!(s >> user >> group >> mode >> path))
      continue;
    pkg_override_rec o;
    o.po_perm = uint16_t(strtoul(mode.c_str(), nullptr, 8));
    if (!id_of(db, user, "/etc/passwd", &o.po_uid) ||
        !id_of(db, group, "/etc/group", &o.po_gid)) {
      *err = name + ": unknown user or group in \"" + line + "\"";
      return false;
    }
    db->pd_overrides[pkg_canon(db, path)] = o;
  }
  return true;
}

// "2026-12-09 16:00:00 upgrade foo:amd64 1.0 1.1", in the local time that
// dpkg wrote it in.
void
log_line(pkg_db *db, const std::string &line)
{
  std::istringstream s(line);
  std::string day, clock, action, name, oldv, newv;
  if (!(s >> day >> clock >> action >> name >> oldv >> newv))
    return;
  if (action != "install" && action != "upgrade" && action != "remove" &&
      action != "purge")
    return;
  struct tm tm;
  memset(&tm, 0, sizeof tm);
  std::string when = day + " " + clock;
  const char *end = strptime(when.c_str(), "%Y-%m-%d %H:%M:%S", &tm);
  if (end == nullptr || *end != '\0')
    return;
  tm.tm_isdst = -1;
  pkg_op op;
  op.po_when = int64_t(mktime(&tm));
  op.po_action = action;
  op.po_name = name.substr(0, name.find(':'));
  op.po_old = oldv == "<none>" ? "" : oldv;
  op.po_new = newv == "<none>" ? "" : newv;
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
  std::vector<std::string> l = lines_of(text);
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
    if (e->d_name[0] != '.' && read_text(dir + "/" + e->d_name, &text))
      alternatives_file(db, e->d_name, text);
  }
  closedir(d);
}

void
log_read(pkg_db *db)
{
  for (const char *n : {"/var/log/dpkg.log.1", "/var/log/dpkg.log"}) {
    std::string text;
    if (read_text(db->pd_root + n, &text))
      for (const std::string &line : lines_of(text))
        log_line(db, line);
  }
}

}  // namespace

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

std::string
pkg_located(const pkg_db *db, const std::string &name, const std::string &path)
{
  auto d = db->pd_diverts.find(path);
  if (d == db->pd_diverts.end() || d->second.second == name)
    return path;
  return d->second.first;
}

std::string
pkg_canon(pkg_db *db, const std::string &path)
{
  size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0)
    return path;
  std::string dir = path.substr(0, slash);
  auto hit = db->pd_dirs.find(dir);
  if (hit != db->pd_dirs.end())
    return hit->second + path.substr(slash);
  // Component by component, each link's target read under the root.
  std::vector<std::string> todo;
  for (size_t at = 1; at <= dir.size();) {
    size_t end = dir.find('/', at);
    if (end == std::string::npos)
      end = dir.size();
    todo.push_back(dir.substr(at, end - at));
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
  db->pd_dirs[dir] = cur;
  return cur + path.substr(slash);
}

pkg_db *
pkg_open(const char *root, const char *adir,
         const std::vector<std::string> &kept, std::string *err)
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
  if (!overrides_read(db.get(), err) || !lists_read(db.get(), err) ||
      !pkg_kept_load(db.get(), kept, err))
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

const std::vector<pkg_claim> *
pkg_claims(const pkg_db *db, const std::string &path)
{
  auto it = db->pd_claims.find(path);
  return it == db->pd_claims.end() ? nullptr : &it->second;
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
