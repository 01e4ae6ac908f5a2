// pkg_admin.cc: the records that decide where and how a package's files
// lie besides its list: diversions, stat overrides and the alternatives'
// links; and dpkg's log of operations.
#include <dirent.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "pkg/pkg.h"
#include "pkg/pkg_int.h"

namespace {

// A decimal number, all of word: true and its value, or false. Garbage
// read as 0 would be root.
bool
number_of(std::string_view word, uint32_t *n)
{
  if (word.empty() || word.size() > 10 ||
      word.find_first_not_of("0123456789") != std::string_view::npos)
    return false;
  unsigned long long v = strtoull(std::string(word).c_str(), nullptr, 10);
  *n = uint32_t(v);
  return v <= UINT32_MAX;
}

// A user or group of a stat override: "#1000", or a name that the root's
// passwd or group file maps to a number.
bool
id_of(const pkg_db *db, std::string_view word, const char *file, uint32_t *id)
{
  if (word.size() > 1 && word[0] == '#')
    return number_of(word.substr(1), id);
  // Another machine's user database is not here to ask.
  if (db->pd_away)
    return false;
  std::string text;
  if (!pkg_read_file(db->pd_root + file, &text))
    return false;
  for (std::string_view line : pkg_lines(text)) {
    size_t c1 = line.find(':'), c2 = line.find(':', c1 + 1);
    size_t c3 = line.find(':', c2 + 1);
    if (c3 != std::string_view::npos && line.substr(0, c1) == word)
      return number_of(line.substr(c2 + 1, c3 - c2 - 1), id);
  }
  return false;
}

// "2026-12-09 16:00:00 upgrade foo:amd64 1.0 1.1", in the local time that
// dpkg wrote it in.
void
log_line(pkg_db *db, std::string_view line)
{
  std::string_view w[6];
  if (pkg_words(line, w) < 6)
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

}  // namespace

void
pkg_alternatives_parse(pkg_db *db, const std::string &name,
                       const std::string &text)
{
  alternatives_file(db, name, text);
}

void
pkg_diversions_parse(pkg_db *db, std::string text)
{
  std::vector<std::string_view> l = pkg_lines(pkg_keep(db, std::move(text)));
  for (size_t i = 0; i + 2 < l.size(); i += 3)
    db->pd_diverts[l[i]] = {l[i + 1], l[i + 2]};
}

bool
pkg_diversions_read(pkg_db *db)
{
  std::string text;
  if (!pkg_read_file(db->pd_root + "/var/lib/dpkg/diversions", &text))
    return errno == ENOENT;
  pkg_diversions_parse(db, std::move(text));
  return true;
}

bool
pkg_overrides_read(pkg_db *db, std::string *err)
{
  std::string name = db->pd_root + "/var/lib/dpkg/statoverride", text;
  if (!pkg_read_file(name, &text))
    return errno == ENOENT;
  return pkg_overrides_parse(db, name, text, err);
}

bool
pkg_overrides_parse(pkg_db *db, const std::string &name,
                    const std::string &text, std::string *err)
{
  for (std::string_view line : pkg_lines(text)) {
    std::string_view w[3];
    if (pkg_words(line, w) < 3)
      continue;
    // The path is the rest of the line, blanks and all.
    size_t at = line.find_first_not_of(" \t", size_t(w[2].data() + w[2].size() -
                                                     line.data()));
    if (at == std::string_view::npos)
      continue;
    pkg_override_rec o;
    unsigned long perm = strtoul(std::string(w[2]).c_str(), nullptr, 8);
    if (w[2].size() > 5 || perm > 07777 ||
        w[2].find_first_not_of("01234567") != std::string_view::npos) {
      *err = name + ": bad mode in \"" + std::string(line) + "\"";
      return false;
    }
    o.po_perm = uint16_t(perm);
    if (!id_of(db, w[0], "/etc/passwd", &o.po_uid) ||
        !id_of(db, w[1], "/etc/group", &o.po_gid)) {
      // Away, a name is left out: the path must then be as its archive
      // has it, which asks more of it, never less.
      if (db->pd_away)
        continue;
      *err = name + ": unknown user or group in \"" + std::string(line) + "\"";
      return false;
    }
    db->pd_overrides[std::string(pkg_canon_view(db, line.substr(at)))] = o;
  }
  return true;
}

void
pkg_alternatives_read(pkg_db *db)
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
pkg_log_read(pkg_db *db)
{
  for (const char *n : {"/var/log/dpkg.log.1", "/var/log/dpkg.log"}) {
    std::string text;
    if (pkg_read_file(db->pd_root + n, &text))
      pkg_log_parse(db, text);
  }
}

void
pkg_log_parse(pkg_db *db, std::string_view text)
{
  for (std::string_view line : pkg_lines(text))
    log_line(db, line);
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

const std::vector<std::string> *
pkg_managed_link(const pkg_db *db, const std::string &path)
{
  auto it = db->pd_links.find(path);
  return it == db->pd_links.end() ? nullptr : &it->second;
}
