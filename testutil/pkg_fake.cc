// pkg_fake.cc: the records of pkg_fake.h, through the back end's own
// parsers in the order pkg_open reads the files.
#include "testutil/pkg_fake.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include <openssl/evp.h>

#include "db/print.h"
#include "pkg/pkg_int.h"
#include "sha1/sha1.h"
#include "sha256/sha256.h"
#include "testutil/testutil.h"

namespace {

// The text of a package's file, named as info_read names it.
const std::string *
info_text(const std::map<std::string, std::string> &m, const pkg_meta &p)
{
  auto it = m.find(p.pm_name + ":" + p.pm_arch);
  if (it == m.end())
    it = m.find(p.pm_name);
  return it == m.end() ? nullptr : &it->second;
}

// Status, diversions and lists, the parts that kept records hold too.
void
records_parse(pkg_db *db, const std::string &status,
              const std::string &diversions,
              const std::map<std::string, std::string> &lists)
{
  pkg_status_parse(db, status);
  pkg_diversions_parse(db, diversions);
  db->pd_sums.resize(db->pd_pkgs.size());
  for (uint32_t i = 0; i < db->pd_pkgs.size(); i++) {
    const std::string *list = info_text(lists, *db->pd_pkgs[i]);
    pkg_list_parse(db, i, list != nullptr ? *list : "");
  }
}

pkg_afile
afile_of(const fake_afile &ff)
{
  pkg_afile f;
  memset(&f, 0, sizeof f);
  f.pa_mode = ff.fa_mode;
  f.pa_uid = ff.fa_uid;
  f.pa_gid = ff.fa_gid;
  if (S_ISREG(ff.fa_mode) || S_ISLNK(ff.fa_mode)) {
    sha_buf(ff.fa_data.data(), int32_t(ff.fa_data.size()), f.pa_sum);
    sha256_buf(ff.fa_data.data(), ff.fa_data.size(), f.pa_sum256);
  }
  return f;
}

// The archive's files by host path, diverted and their directories'
// links followed, as the archives read from files are.
std::unique_ptr<pkg_archive>
archive_of(pkg_db *db, const fake_archive &fa)
{
  auto ar = std::make_unique<pkg_archive>();
  ar->pr_name = fa.fr_name;
  ar->pr_version = fa.fr_version;
  ar->pr_arch = fa.fr_arch;
  ar->pr_file = fa.fr_name + "_" + fa.fr_version + "_" + fa.fr_arch + ".deb";
  ar->pr_list.push_back("/.");
  for (const fake_afile &ff : fa.fr_files) {
    std::string host(pkg_canon_view(db,
                                    pkg_located(db, fa.fr_name, ff.fa_path)));
    ar->pr_files[host] = afile_of(ff);
    ar->pr_list.push_back(ff.fa_path);
  }
  for (const fake_afile &ff : fa.fr_control)
    ar->pr_control[ff.fa_path] = afile_of(ff);
  return ar;
}

}  // namespace

pkg_db *
pkg_fake_open(const pkg_fake &f, std::string *err)
{
  auto db = std::make_unique<pkg_db>();
  db->pd_root = f.pf_root;
  records_parse(db.get(), f.pf_status, f.pf_diversions, f.pf_lists);
  if (!pkg_overrides_parse(db.get(), f.pf_root + "/var/lib/dpkg/statoverride",
                           f.pf_statoverride, err))
    return nullptr;
  for (uint32_t i = 0; i < db->pd_pkgs.size(); i++) {
    const std::string *sums = info_text(f.pf_md5sums, *db->pd_pkgs[i]);
    pkg_sums_parse(db.get(), i, sums != nullptr ? *sums : "");
  }
  for (const fake_kept &fk : f.pf_kept) {
    auto k = std::make_unique<pkg_db>();
    k->pd_root = f.pf_root;
    k->pd_kept_file = fk.fk_file;
    records_parse(k.get(), fk.fk_status, fk.fk_diversions, fk.fk_lists);
    db->pd_kept.push_back(std::move(k));
  }
  pkg_log_parse(db.get(), f.pf_log);
  for (const auto &alt : f.pf_alternatives)
    pkg_alternatives_parse(db.get(), alt.first, alt.second);
  for (const fake_archive &fa : f.pf_archives)
    db->pd_archives[fa.fr_name + " " + fa.fr_version + " " + fa.fr_arch] =
        archive_of(db.get(), fa);
  return db.release();
}

int64_t
pkg_fake_time(const char *when)
{
  struct tm tm;
  memset(&tm, 0, sizeof tm);
  if (strptime(when, "%Y-%m-%d %H:%M:%S", &tm) == nullptr)
    return -1;
  tm.tm_isdst = -1;
  return int64_t(mktime(&tm));
}

void
pkg_fake_put(const std::string &root, const std::string &path,
             const std::string &data)
{
  mkdir(root.c_str(), 0755);
  for (size_t at = path.find('/', 1); at != std::string::npos;
       at = path.find('/', at + 1))
    mkdir((root + path.substr(0, at)).c_str(), 0755);
  write_file(root + path, data);
}

std::string
pkg_fake_tool(const char *name)
{
  const char *env = getenv("PATH");
  std::string path = env != nullptr ? env : "/usr/bin:/bin";
  for (size_t at = 0; at <= path.size();) {
    size_t end = path.find(':', at);
    if (end == std::string::npos)
      end = path.size();
    std::string cand = path.substr(at, end - at) + "/" + name;
    if (end > at && access(cand.c_str(), X_OK) == 0)
      return cand;
    at = end + 1;
  }
  return "";
}

std::string
fake_md5_hex(const std::string &s)
{
  unsigned char d[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  EVP_Digest(s.data(), s.size(), d, &n, EVP_md5(), nullptr);
  char text[2 * EVP_MAX_MD_SIZE + 1];
  hex_encode(d, text, int(2 * n));
  return text;
}
