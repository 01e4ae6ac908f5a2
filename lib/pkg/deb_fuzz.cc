// deb_fuzz.cc: arbitrary bytes read as a package archive by the back end's
// reader, as one whose digest a signed index listed. It reads or it fails
// with a message naming the file; what it reads is a set of files by
// absolute host path, each directory link followed, control files by a
// name of one component, and list lines that are absolute paths.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>

#include "fuzz/fuzz_util.h"
#include "pkg/pkg.h"
#include "pkg/pkg_int.h"

namespace {

// A root with a directory link for the archive's paths to lead through.
std::string root;

void
root_remove()
{
  for (const char *n : {"/lib", "/usr/lib", "/usr", ""})
    remove((root + n).c_str());
}

void
root_make()
{
  const char *tmp = getenv("TMPDIR");
  std::string tmpl = std::string(tmp != nullptr ? tmp : "/tmp") +
                     "/deb_fuzz.XXXXXX";
  if (mkdtemp(&tmpl[0]) == nullptr)
    abort();
  root = tmpl;
  if (mkdir((root + "/usr").c_str(), 0755) != 0 ||
      mkdir((root + "/usr/lib").c_str(), 0755) != 0 ||
      symlink("usr/lib", (root + "/lib").c_str()) != 0)
    abort();
  atexit(root_remove);
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
  static fuzz_file f;
  f.set(data, size);
  auto db = std::make_unique<pkg_db>();
  db->pd_root = root;
  pkg_diversions_parse(db.get(), "/usr/bin/d\n/usr/bin/d.t\nother\n");
  std::string err;
  if (!pkg_archive_load(db.get(), {"t", "1", "all"}, f.name, &err)) {
    FUZZ_CHECK(err.compare(0, strlen(f.name) + 2, std::string(f.name) + ": ") ==
               0);
    return 0;
  }
  const pkg_archive *ar = nullptr;
  FUZZ_CHECK(pkg_archive_get(db.get(), "t", "1", "all", &ar, &err) == 1);
  for (const auto &file : ar->pr_files) {
    FUZZ_CHECK(file.first.size() > 1 && file.first[0] == '/');
    FUZZ_CHECK(file.first.compare(0, 5, "/lib/") != 0);
  }
  // A control file's name is one component, as info/t.NAME takes it.
  for (const auto &file : ar->pr_control)
    FUZZ_CHECK(!file.first.empty() && file.first != "." && file.first != ".." &&
               file.first.find('/') == std::string::npos);
  for (const std::string &line : ar->pr_list)
    FUZZ_CHECK(line.size() > 1 && line[0] == '/');
  return 0;
}
