// pkg_fake.h: a package manager's records built in memory from the texts
// of dpkg's files, and package archives from lists of files, for tests of
// the back end's answers and of the verdicts resting on them, without a
// dpkg root or a signed repository.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "pkg/pkg.h"

// One file of a fake archive: a regular file's contents or a link's
// target in fa_data.
struct fake_afile {
  std::string fa_path;  // as the package names it: "/usr/bin/x"
  uint16_t fa_mode;     // type and permissions
  uint32_t fa_uid, fa_gid;
  std::string fa_data;
};

// An archive taken as verified, as if a signed index listed it. Its list
// is "/." and each file's path, in order.
struct fake_archive {
  std::string fr_name, fr_version, fr_arch;
  std::vector<fake_afile> fr_files;
  std::vector<fake_afile> fr_control = {};  // fa_path the name: "postinst"
};

// The records that kavexplain -s kept with an earlier snapshot.
struct fake_kept {
  std::string fk_file;  // where they came from, as the verdicts name it
  std::string fk_status, fk_diversions;
  std::map<std::string, std::string> fk_lists;  // as pf_lists
};

// The texts of dpkg's files; "" for a file that is not there.
struct pkg_fake {
  // The root the paths are host paths under: a directory of the test's,
  // whose links lead a package's paths as the host's would.
  std::string pf_root;
  std::string pf_status;
  // A package's list and md5sums by "name:arch", or "name" as dpkg names
  // the files of a package that is not Multi-Arch: same.
  std::map<std::string, std::string> pf_lists, pf_md5sums;
  std::string pf_diversions, pf_statoverride;
  std::map<std::string, std::string> pf_alternatives;  // by the link's name
  std::string pf_log;                                  // dpkg.log
  std::vector<fake_archive> pf_archives;
  std::vector<fake_kept> pf_kept;  // newest first
};

// The records, parsed as pkg_open parses the files; any archive not
// among pf_archives is not at hand. Null with *err when the stat
// overrides are refused; pkg_close frees it.
pkg_db *pkg_fake_open(const pkg_fake &f, std::string *err);

// The seconds since 1970 of a local time "YYYY-MM-DD HH:MM:SS", as dpkg's
// log is read, so that a test holds in any time zone.
int64_t pkg_fake_time(const char *when);

// Writes data to the file root + path, making the directories above it.
void pkg_fake_put(const std::string &root, const std::string &path,
                  const std::string &data);

// The program name as the search path finds it, for run_prog; "" when it
// is not installed.
std::string pkg_fake_tool(const char *name);

// The MD5 of s as dpkg writes it in md5sums and Conffiles: 32 lowercase
// hex digits.
std::string fake_md5_hex(const std::string &s);
