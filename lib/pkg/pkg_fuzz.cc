// pkg_fuzz.cc: the dpkg back end's parsers on arbitrary text. The first
// byte chooses the parser (its value modulo MODES); for those that read a
// package's list besides, the text is split at its first zero byte:
//   0 status, then every package's list;
//   1 diversions, then the list of two packages, one of which diverts;
//   2 stat overrides;       3 one link group of the alternatives;
//   4 the log;              5 a Packages index;
//   6 a Release text;       7 a package's md5sums;
//   8 records kept by kavexplain -s (a compressed tar);
//   9 apt's sources, in both forms, and armoured keys.
// Besides not crashing, the answers must agree with the input: every
// absolute path a list names is claimed by its package where the host
// path leads, every override is a mode, every operation one of four.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>

#include "fuzz/fuzz_util.h"
#include "pkg/pkg.h"
#include "pkg/pkg_int.h"

namespace {

constexpr int MODES = 10;

// A root of the fuzzer's own: its passwd and group, and a directory link
// for the paths to lead through.
std::string root;

void
root_remove()
{
  for (const char *n :
       {"/bin", "/usr/bin", "/usr", "/etc/passwd", "/etc/group", "/etc", ""})
    remove((root + n).c_str());
}

void
root_make()
{
  const char *tmp = getenv("TMPDIR");
  std::string tmpl = std::string(tmp != nullptr ? tmp : "/tmp") +
                     "/pkg_fuzz.XXXXXX";
  if (mkdtemp(&tmpl[0]) == nullptr)
    abort();
  root = tmpl;
  FILE *f;
  if (mkdir((root + "/etc").c_str(), 0755) != 0 ||
      mkdir((root + "/usr").c_str(), 0755) != 0 ||
      mkdir((root + "/usr/bin").c_str(), 0755) != 0 ||
      symlink("usr/bin", (root + "/bin").c_str()) != 0)
    abort();
  for (const char *n : {"/etc/passwd", "/etc/group"}) {
    if ((f = fopen((root + n).c_str(), "w")) == nullptr)
      abort();
    fputs("root:x:0:0::/root:/bin/sh\nmail:x:8:8::/var/mail:/bin/sh\n", f);
    fclose(f);
  }
  atexit(root_remove);
}

std::unique_ptr<pkg_db>
db_new()
{
  auto db = std::make_unique<pkg_db>();
  db->pd_root = root;
  return db;
}

// Every absolute path of list (but "/.") is claimed by package pkg at the
// host path it leads to, after diversions.
void
check_claims(pkg_db *db, uint32_t pkg, std::string_view list)
{
  const pkg_meta *m = db->pd_pkgs[pkg].get();
  for (std::string_view line : pkg_lines(list)) {
    if (line.substr(0, 1) != "/" || line == "/.")
      continue;
    std::string host(pkg_canon_view(db, pkg_located(db, m->pm_name, line)));
    bool found = false;
    for (const pkg_claim &c : pkg_claims(db, host, true)) {
      FUZZ_CHECK(c.pc_pkg != nullptr);
      FUZZ_CHECK(c.pc_md5.empty() || c.pc_md5.size() == 32 || c.pc_conffile);
      found |= c.pc_pkg == m;
    }
    FUZZ_CHECK(found);
  }
}

void
status_and_lists(const std::string &status, const std::string &list)
{
  auto db = db_new();
  pkg_status_parse(db.get(), status);
  db->pd_sums.resize(db->pd_pkgs.size());
  for (uint32_t i = 0; i < db->pd_pkgs.size(); i++) {
    pkg_list_parse(db.get(), i, list);
    pkg_sums_parse(db.get(), i, "");
  }
  for (uint32_t i = 0; i < db->pd_pkgs.size(); i++) {
    check_claims(db.get(), i, list);
    FUZZ_CHECK(pkg_find(db.get(), db->pd_pkgs[i]->pm_name) != nullptr);
  }
}

void
diversions(const std::string &text, const std::string &list)
{
  auto db = db_new();
  pkg_status_parse(db.get(),
                   "Package: p\nStatus: install ok installed\n"
                   "Version: 1\n\nPackage: q\nVersion: 2\n");
  pkg_diversions_parse(db.get(), text);
  db->pd_sums.resize(db->pd_pkgs.size());
  for (uint32_t i = 0; i < db->pd_pkgs.size(); i++) {
    pkg_list_parse(db.get(), i, list);
    pkg_sums_parse(db.get(), i, "");
  }
  for (uint32_t i = 0; i < db->pd_pkgs.size(); i++)
    check_claims(db.get(), i, list);
}

void
overrides(const std::string &text)
{
  auto db = db_new();
  std::string err;
  if (!pkg_overrides_parse(db.get(), "statoverride", text, &err)) {
    FUZZ_CHECK(err.compare(0, 14, "statoverride: ") == 0);
    return;
  }
  for (const auto &o : db->pd_overrides)
    FUZZ_CHECK(o.second.po_perm <= 07777);
}

void
alternatives(const std::string &text)
{
  auto db = db_new();
  pkg_alternatives_parse(db.get(), "x", text);
  for (std::string_view line : pkg_lines(text))
    pkg_managed_link(db.get(), std::string(line));
}

void
log_text(const std::string &text)
{
  auto db = db_new();
  pkg_log_parse(db.get(), text);
  for (const pkg_op &op : pkg_ops(db.get(), INT64_MIN, INT64_MAX)) {
    FUZZ_CHECK(op.po_action == "install" || op.po_action == "upgrade" ||
               op.po_action == "remove" || op.po_action == "purge");
    FUZZ_CHECK(op.po_name.find(':') == std::string::npos);
  }
}

void
packages(const std::string &text)
{
  pkg_db db;
  pkg_index ix;
  ix.pi_base = "/repo/";
  ix.pi_text = pkg_keep(&db, text);
  db.pd_index.push_back(ix);
  // The names the index gives, and one it may not.
  std::vector<std::string> names = {"a"};
  for (std::string_view line : pkg_lines(text))
    if (line.substr(0, 9) == "Package: " && names.size() < 8)
      names.emplace_back(line.substr(9));
  for (const std::string &n : names)
    for (const auto &l : pkg_index_find(&db, n, "1", "all")) {
      FUZZ_CHECK(!l.first.empty());
      FUZZ_CHECK(l.second.empty() || l.second.compare(0, 6, "/repo/") == 0);
    }
}

void
release(const std::string &text)
{
  for (const auto &s : pkg_release_sums(text)) {
    FUZZ_CHECK(!s.first.empty() && !s.second.empty());
    FUZZ_CHECK(s.first.find_first_of(" \t\n") == std::string::npos);
  }
}

void
md5sums(const std::string &text)
{
  auto db = db_new();
  pkg_status_parse(db.get(), "Package: t\nVersion: 1\n");
  db->pd_sums.resize(1);
  // The list names every path the digests do.
  std::string list;
  for (std::string_view line : pkg_lines(text))
    if (line.size() > 34)
      list += "/" + std::string(line.substr(34)) + "\n";
  pkg_list_parse(db.get(), 0, list);
  pkg_sums_parse(db.get(), 0, text);
  check_claims(db.get(), 0, list);
}

void
kept(const uint8_t *data, size_t size)
{
  static fuzz_file f;
  f.set(data, size);
  auto db = db_new();
  std::string err;
  if (!pkg_kept_load(db.get(), {f.name}, &err)) {
    FUZZ_CHECK(err.compare(0, strlen(f.name), f.name) == 0);
    return;
  }
  pkg_op op{0, "remove", "a", "1", ""};
  std::string file;
  pkg_kept_shipped(db.get(), op, "/usr/bin/a", &file);
}

// A source's list file names hold no '/' and only printable ASCII; the
// keyrings it names are absolute paths; a key block decodes to bytes.
void
sources(const std::string &text)
{
  for (bool deb822 : {false, true})
    for (const pkg_source &src : pkg_sources_parse(text, deb822)) {
      FUZZ_CHECK(!src.ps_uri.empty());
      for (const std::string &k : src.ps_keys)
        FUZZ_CHECK(!k.empty() && k[0] == '/');
      for (const std::string &suite : src.ps_suites)
        for (char c : pkg_list_prefix(src.ps_uri, suite))
          FUZZ_CHECK(c != '/' && c > 0x20 && c < 0x7f);
    }
  std::string bytes;
  if (pkg_dearmor(text, &bytes))
    FUZZ_CHECK(!bytes.empty());
}

}  // namespace

extern "C" int
LLVMFuzzerInitialize(int *, char ***)
{
  root_make();
  return 0;
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  if (size == 0)
    return 0;
  int mode = data[0] % MODES;
  std::string text(reinterpret_cast<const char *>(data) + 1, size - 1);
  size_t zero = text.find('\0');
  std::string first = text.substr(0, zero);
  std::string second = zero == std::string::npos ? "" : text.substr(zero + 1);
  switch (mode) {
    case 0: status_and_lists(first, second); break;
    case 1: diversions(first, second); break;
    case 2: overrides(text); break;
    case 3: alternatives(text); break;
    case 4: log_text(text); break;
    case 5: packages(text); break;
    case 6: release(text); break;
    case 7: md5sums(text); break;
    case 8: kept(data + 1, size - 1); break;
    default: sources(text); break;
  }
  return 0;
}
