// pkg_int.h: the dpkg back end's own state, shared by its two files.
#pragma once
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "kavexplain/pkg.h"

struct pkg_override_rec {
  uint16_t po_perm;
  uint32_t po_uid, po_gid;
};

struct pkg_db {
  std::string pd_root;  // "" or the root, no trailing slash
  std::string pd_adir;  // archives given besides apt's cache, or ""
  std::vector<std::unique_ptr<pkg_meta>> pd_pkgs;
  std::unordered_map<std::string, const pkg_meta *> pd_by_name;
  std::unordered_map<std::string, std::string> pd_conffiles;  // field text
  std::unordered_map<std::string, std::vector<pkg_claim>> pd_claims;
  // Diverted path: where it went, and the package that diverted it.
  std::unordered_map<std::string, std::pair<std::string, std::string>>
      pd_diverts;
  std::unordered_map<std::string, pkg_override_rec> pd_overrides;
  std::vector<pkg_op> pd_ops;
  std::unordered_map<std::string, std::vector<std::string>> pd_links;
  std::unordered_map<std::string, std::string> pd_dirs;  // canonical dirs
  // Archives read so far, by "name version arch"; null for none at hand.
  std::map<std::string, std::unique_ptr<pkg_archive>> pd_archives;
  // Indexes verified so far: package "name version arch" to SHA-256.
  bool pd_indexed = false;
  std::unordered_map<std::string, std::string> pd_index;
  // Records kept with earlier snapshots, newest first (pkg_kept.cc); for
  // one of those, pd_kept_file is the file it came from.
  std::vector<std::unique_ptr<pkg_db>> pd_kept;
  std::string pd_kept_file;
};

// Where package name's file at path is: elsewhere when another package
// (or the administrator) diverted it.
std::string pkg_located(const pkg_db *db, const std::string &name,
                        const std::string &path);

// The parsers of dpkg's files, which read the host's own and the kept
// copies alike: the status file, then the diversions, then each package's
// list of paths (with its MD5 digests, "" for none).
void pkg_status_parse(pkg_db *db, const std::string &text);
void pkg_diversions_parse(pkg_db *db, const std::string &text);
void pkg_list_parse(pkg_db *db, const pkg_meta *m, const std::string &list,
                    const std::string &md5sums);

// Adds to db the records kept in each file of kept; false with *err when
// one cannot be read or is not such records.
bool pkg_kept_load(pkg_db *db, const std::vector<std::string> &kept,
                   std::string *err);
