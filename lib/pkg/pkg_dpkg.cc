// pkg_dpkg.cc: the dpkg back end: the status file, each package's list of
// paths and its digests, conffiles; the back end opened and asked.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>

#include "pkg/pkg.h"
#include "pkg/pkg_int.h"

namespace {

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
  pkg_status_parse(db, std::move(buf));
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

// The table's slot of host path at: where its chain is, or the empty slot
// where it would go.
size_t
claim_slot(const pkg_db *db, std::string_view at)
{
  size_t mask = db->pd_claims.size() - 1;
  for (size_t i = std::hash<std::string_view>()(at) & mask;;
       i = (i + 1) & mask) {
    uint32_t head = db->pd_claims[i].first;
    if (head == PKG_NO_ENTRY || db->pd_entries[head].pe_at == at)
      return i;
  }
}

// Twice the slots, each chain where its path now goes.
void
claims_grow(pkg_db *db)
{
  std::vector<std::pair<uint32_t, uint32_t>> old(
      std::max(db->pd_claims.size() * 2, size_t(1) << 18),
      {PKG_NO_ENTRY, PKG_NO_ENTRY});
  old.swap(db->pd_claims);
  for (const auto &c : old)
    if (c.first != PKG_NO_ENTRY)
      db->pd_claims[claim_slot(db, db->pd_entries[c.first].pe_at)] = c;
}

// Adds claim e on the host path at, last in its chain; but not a path of
// a package's list that is one of its conffiles, which were claimed just
// before: the last claim on the path.
void
claim_add(pkg_db *db, std::string_view at, pkg_entry e)
{
  if (4 * (db->pd_paths + 1) > 3 * db->pd_claims.size())
    claims_grow(db);
  e.pe_at = at;
  auto &c = db->pd_claims[claim_slot(db, at)];
  uint32_t i = uint32_t(db->pd_entries.size());
  if (c.first == PKG_NO_ENTRY) {
    c = {i, i};
    db->pd_paths++;
  } else {
    pkg_entry &last = db->pd_entries[c.second];
    if (!e.pe_conf && last.pe_pkg == e.pe_pkg && last.pe_conf)
      return;
    last.pe_next = i;
    c.second = i;
  }
  db->pd_entries.push_back(e);
}

// The claims of one package, from its list: true, or false with *err when
// the list is there but cannot be read.
bool
claims_read(pkg_db *db, uint32_t pkg, std::string *err)
{
  std::string list, text;
  if (!info_read(db, db->pd_pkgs[pkg].get(), ".list", &list, &text) &&
      errno != ENOENT) {
    *err = list + ": " + strerror(errno);
    return false;
  }
  pkg_list_parse(db, pkg, std::move(text));
  return true;
}

bool
lists_read(pkg_db *db, std::string *err)
{
  db->pd_sums.resize(db->pd_pkgs.size());
  for (uint32_t i = 0; i < db->pd_pkgs.size(); i++)
    if (!claims_read(db, i, err))
      return false;
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
  // Kept records hold no digests, and this machine's are not the host's.
  if (!db->pd_away &&
      info_read(db, db->pd_pkgs[pkg].get(), ".md5sums", &name, &text))
    pkg_sums_parse(db, pkg, std::move(text));
  return s;
}

}  // namespace

void
pkg_status_parse(pkg_db *db, std::string text)
{
  status_para p;
  // The field continued by indented lines: Conffiles, the one read.
  std::string_view *cont = nullptr;
  for (std::string_view line : pkg_lines(pkg_keep(db, std::move(text)))) {
    if (line.empty()) {
      status_add(db, p);
      p = status_para();
      cont = nullptr;
      continue;
    }
    if (line[0] == ' ' || line[0] == '\t') {
      // The lines lie one after another: the field spans them.
      if (cont != nullptr)
        *cont = cont->empty()
                    ? line
                    : std::string_view(cont->data(),
                                       size_t(line.data() - cont->data()) +
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
    if (key == "Package")
      p.name = val;
    else if (key == "Version")
      p.version = val;
    else if (key == "Architecture")
      p.arch = val;
    else if (key == "Status")
      p.state = val;
    else if (key == "Conffiles")
      cont = &p.conffiles;
  }
  status_add(db, p);
}

void
pkg_sums_parse(pkg_db *db, uint32_t pkg, std::string text)
{
  pkg_sums &s = db->pd_sums[pkg];
  s.ps_read = true;
  for (std::string_view line : pkg_lines(pkg_keep(db, std::move(text)))) {
    size_t at = line.find_first_not_of(' ', 32);
    if (line.size() < 35 || line[32] != ' ' || at == std::string_view::npos)
      continue;
    s.ps_by_path[line.substr(at)] = line.substr(0, 32);
  }
}

// The claims of one package: its conffiles first, then the paths of its
// list (text, "" for none).
void
pkg_list_parse(pkg_db *db, uint32_t pkg, std::string text)
{
  const pkg_meta *m = db->pd_pkgs[pkg].get();
  for (std::string_view line : pkg_lines(db->pd_conffiles[pkg])) {
    std::string_view w[3];
    pkg_words(line, w);
    if (w[0].substr(0, 1) == "/" && w[2] != "obsolete")
      claim_add(db, pkg_canon_view(db, pkg_located(db, m->pm_name, w[0])),
                pkg_entry{pkg, PKG_NO_ENTRY, true, {}, w[0], w[1]});
  }
  for (std::string_view path : pkg_lines(pkg_keep(db, std::move(text)))) {
    // A path not absolute is none of dpkg's: the directories would read
    // it as another.
    if (path.substr(0, 1) != "/" || path == "/.")
      continue;
    claim_add(db, pkg_canon_view(db, pkg_located(db, m->pm_name, path)),
              pkg_entry{pkg, PKG_NO_ENTRY, false, {}, path, {}});
  }
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
  if (!pkg_diversions_read(db.get())) {
    *err = db->pd_root + "/var/lib/dpkg/diversions: " + strerror(errno);
    return nullptr;
  }
  if (!pkg_overrides_read(db.get(), err) || !lists_read(db.get(), err))
    return nullptr;
  if (!pkg_kept_load(db.get(), kept, err))
    return nullptr;
  pkg_log_read(db.get());
  pkg_alternatives_read(db.get());
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
  if (db->pd_claims.empty())
    return v;
  uint32_t first = db->pd_claims[claim_slot(db, path)].first;
  for (uint32_t i = first; i != PKG_NO_ENTRY;) {
    const pkg_entry &e = db->pd_entries[i];
    pkg_claim c{db->pd_pkgs[e.pe_pkg].get(), std::string(e.pe_md5), e.pe_conf};
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

const pkg_meta *
pkg_find(const pkg_db *db, const std::string &name)
{
  auto it = db->pd_by_name.find(name);
  return it == db->pd_by_name.end() ? nullptr : it->second;
}
