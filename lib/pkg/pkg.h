// pkg.h: what kavexplain asks of a package manager, in one place. The dpkg
// back end (pkg_*.cc, its state in pkg_int.h) answers it; a
// back end for another package manager answers the same questions.
//
// Paths here are host paths as the package manager's root sees them,
// every symbolic link among their directories followed, so that a path a
// package names through a link (/bin/ls beside /usr/bin/ls) and the path a
// snapshot holds agree. No call prints; failures come back as text.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "db/db.h"

struct pkg_db;  // the package manager's records under one root

struct pkg_meta {
  std::string pm_name;
  std::string pm_version;  // installed now; "" when no longer installed
  std::string pm_arch;
};

// One package's claim on one path.
struct pkg_claim {
  const pkg_meta *pc_pkg;
  std::string pc_md5;  // the records' digest of the contents, or ""
  bool pc_conffile;
};

// One install, upgrade (a reinstall is an upgrade to the same version) or
// removal, from the package manager's log.
struct pkg_op {
  int64_t po_when;        // seconds since 1970
  std::string po_action;  // "install", "upgrade", "remove" or "purge"
  std::string po_name;
  std::string po_old;  // version before, "" for none
  std::string po_new;  // version after, "" for none
};

// One file of a package archive as the archive holds it.
struct pkg_afile {
  uint16_t pa_mode;  // type and permissions
  uint32_t pa_uid;
  uint32_t pa_gid;
  uint8_t pa_sum[DB_SUM_LEN];  // SHA-1 of the contents, or of a link's target
  uint8_t pa_sum256[DB_SHA256_LEN];  // SHA-256 of the same
};

// A package archive whose own digest a signed index lists, read whole.
struct pkg_archive {
  std::string pr_name, pr_version, pr_arch;
  std::string pr_file;                                  // where it was found
  std::unordered_map<std::string, pkg_afile> pr_files;  // by host path
  // The control member's files by name ("postinst"), which dpkg keeps
  // under its info directory as name.postinst; and the data member's paths
  // as the package names them, "/." for the top, which are the lines dpkg
  // writes into the package's list.
  std::unordered_map<std::string, pkg_afile> pr_control;
  std::vector<std::string> pr_list;
};

// kavrel's own cache of package archives, under the root: apt's hook keeps
// there each archive apt installs, and a fetch puts there what is missing.
constexpr char PKG_CACHE_DIR[] = "var/cache/kavrel/archives";

// Reads the records under root ("" for the host's own), with the package
// archives of adir (null for none) besides the manager's own cache, and
// the records that pkg_save kept in each file of kept, newest first. Null
// with *err set when any of them cannot be read.
pkg_db *pkg_open(const char *root, const char *adir,
                 const std::vector<std::string> &kept, std::string *err);
void pkg_close(pkg_db *db);

// What a machine other than the host (a collector) explains the host's
// changes with. The host's records are only claims: which package and
// version a path is said to come from, and, where the two records
// differ, which operations are said to have run; the keyrings, the
// places of the signed indexes and the archives are this machine's.
// Indexes verified once and then shared, read only, by every db of
// pkg_open_away given it: a collector's keyrings and sources are the same
// for every host of a run, so they are verified once a run, not once a
// host. Safe to share between threads.
struct pkg_index_shared;
std::shared_ptr<pkg_index_shared> pkg_index_shared_make();

struct pkg_away_opts {
  std::string pw_newer;  // records kept with the newer snapshot (pkg_save)
  std::string pw_older;  // and with the older one
  std::vector<std::string> pw_keyrings;  // alone verify every index
  // Each a directory of signed indexes: a repository with InRelease (or
  // Release and Release.gpg) at its top, a mirror laid out with dists/
  // SUITE/InRelease whose Filename fields are under it, or apt's lists
  // directory (NAME_InRelease beside NAME_..._Packages).
  std::vector<std::string> pw_sources;
  std::string pw_cache;  // archives by apt's flat name, or ""
  // The indexes of the keyrings and sources above, verified by the first
  // db that needs them; null: by this db alone.
  std::shared_ptr<pkg_index_shared> pw_indexes;
};
// Reads the two records as pkg_open reads its root's and kept records,
// nothing of this machine's root: no link among a path's directories is
// followed, no digest file, alternative, log or user database read; a
// stat override by a user or group name is left out. pkg_ops gives the
// operations that turn the older records into the newer, each at time
// 0: an install, an upgrade (a reinstall does not show) or a removal
// (purge when nothing is left). Null with *err when a file cannot be
// read or is not such records, or a keyring holds no key.
pkg_db *pkg_open_away(const pkg_away_opts &o, std::string *err);
// True for a db of pkg_open_away: the host's files are not here.
bool pkg_away(const pkg_db *db);
// The operations that turn the packages of older into those of newer,
// by name: install (none before), upgrade (another version), remove
// (none after, or only configuration files left). Sorted by name.
std::vector<pkg_op> pkg_ops_between(const std::vector<pkg_meta> &older,
                                    const std::vector<pkg_meta> &newer);

// The most kept records pkg_open reads from one file, uncompressed: a
// host of thousands of packages keeps a tenth of it.
constexpr uint64_t PKG_KEPT_MAX = uint64_t(128) << 20;

// Keeps in file what the records under root say each package ships, for a
// later pkg_open to read as kept records. False with *err, and no file,
// when the records cannot be read or the file cannot be written.
bool pkg_save(const char *root, const char *file, std::string *err);

// The packages that claim path, in the records' order; empty when none
// does. With digests, each claim's pc_md5 is filled in: a package's
// digests are read the first time one of its files is asked about.
std::vector<pkg_claim> pkg_claims(pkg_db *db, const std::string &path,
                                  bool digests);
// Every operation logged from `from` to `to`, both included, oldest first.
std::vector<pkg_op> pkg_ops(const pkg_db *db, int64_t from, int64_t to);
// The mode, owner and group the administrator set for path, if any: true
// and the values, or false.
bool pkg_override(const pkg_db *db, const std::string &path, uint16_t *perm,
                  uint32_t *uid, uint32_t *gid);
// The architecture of an installed package, for finding its archive.
const pkg_meta *pkg_find(const pkg_db *db, const std::string &name);

// The archive of name at version, verified: 1 and *out (owned by db), 0
// when no archive of that version is at hand or no verified index lists
// it (an index that does not verify is one of pkg_notes), -1 with *err
// when one is but it cannot be read or its digest does not verify.
int pkg_archive_get(pkg_db *db, const std::string &name,
                    const std::string &version, const std::string &arch,
                    const pkg_archive **out, std::string *err);

// What the kept records say of the version that op removed or replaced:
// 1 when the newest records that hold that version say it shipped path,
// with *file the file they came from; 0 when they say it did not; -1 when
// no kept records hold that version.
int pkg_kept_shipped(const pkg_db *db, const pkg_op &op,
                     const std::string &path, std::string *file);
// True when pkg_open was given kept records.
bool pkg_kept_any(const pkg_db *db);
// Reads the archives of the packages at the versions given on every core,
// ahead of pkg_archive_get, which then answers from what they held. An
// archive that does not verify or cannot be read is told only when
// pkg_archive_get asks for it.
struct pkg_key {
  std::string pk_name, pk_version, pk_arch;
};
void pkg_archive_read_ahead(pkg_db *db, const std::vector<pkg_key> &keys);
// Sorts keys and leaves each once.
void pkg_keys_unique(std::vector<pkg_key> *keys);

// Whether an archive of name at version may be at hand, asked without
// reading an index: so that the files the dpkg level reads can be read
// ahead.
bool pkg_archive_near(const pkg_db *db, const std::string &name,
                      const std::string &version, const std::string &arch);

// The order of two Debian versions: below 0 when a sorts before b, 0 when
// they are the same version, above 0 when after.
int pkg_version_cmp(std::string_view a, std::string_view b);

// kavrel's cache (PKG_CACHE_DIR under db's root): removes each regular
// file named *.deb directly in it whose package, version and architecture
// neither db's records (installed now) nor the records kept with it (the
// kept of pkg_open) hold installed, as the files removed in *removed.
// Nothing else is ever removed. A missing cache has nothing to prune.
// False with *err when it cannot be read or a file cannot be removed.
bool pkg_cache_prune(const pkg_db *db, std::vector<std::string> *removed,
                     std::string *err);

// The archives of the versions that ops installed or removed that are not
// at hand (pkg_archive_near), each once; the architecture is the records'
// or the kept records', and a package neither knows is left out. For a db
// of pkg_open_away, only those that a verified index lists, and that no
// verified index of a mirror among its sources places at a file that is
// there: the indexes are read.
std::vector<pkg_key> pkg_archives_missing(pkg_db *db,
                                          const std::vector<pkg_op> &ops);
// Fetches each archive of keys into dir with apt's own tools, "apt-get
// download" run there, one archive at a time, each within seconds:
// configured to root when one is given, else as apt is configured for the
// user running it (APT_CONFIG honoured, as apt itself does). What could
// not be fetched, and why, in *failed, a line per archive ("NAME VERSION
// ARCH: why"): not a failure, since the paths then fall to what can be
// verified without it. A fetched archive is trusted no more than any
// other: it counts once a signed index lists its digest.
void pkg_fetch_into(const std::string &dir, const std::string &root,
                    const std::vector<pkg_key> &keys, int seconds,
                    std::vector<std::string> *failed);
// pkg_fetch_into kavrel's cache under root ("" for the host's own), which
// is made when missing, configured to that root. False with *err only
// when the cache cannot be made.
bool pkg_fetch(const std::string &root, const std::vector<pkg_key> &keys,
               int seconds, std::vector<std::string> *failed, std::string *err);

// True for a path the package manager itself writes with every operation:
// its database, log and caches.
bool pkg_own_state(const std::string &path);

// The targets the package manager's alternatives allow the link at path,
// or null for a link it does not manage.
const std::vector<std::string> *pkg_managed_link(const pkg_db *db,
                                                 const std::string &path);

// The host path of path under the root, its directories' links followed.
std::string pkg_canon(pkg_db *db, const std::string &path);

// What a report must say first, each line naming its file once:
// pn_failure for something that did not verify (an index), so that the
// paths that needed it are unexplained; otherwise a trust root not
// trusted for this comparison, and why.
struct pkg_note {
  bool pn_failure;
  std::string pn_text;
};
const std::vector<pkg_note> &pkg_notes(const pkg_db *db);

// The trust roots: the keyrings apt trusts and the sources that scope
// them. A host with root rewrites them at will, so a comparison trusts
// them only as the older snapshot recorded them: the pin gives the
// older snapshot's record of a path as the snapshot holds it (the root,
// then the host path), or null when it holds none. A file that is not
// there, or is not what its record's digests say, is not trusted and a
// note says so. Without a pin every trust root is taken as it is. Set
// before the first archive is asked for; kept by db.
using pkg_pin_fn = std::function<const db_rec *(const std::string &path)>;
void pkg_pin(pkg_db *db, pkg_pin_fn fn);
// The trust roots that were there but not trusted, as the snapshots name
// them, once the indexes were read.
const std::vector<std::string> &pkg_untrusted(const pkg_db *db);
// True when some index was not used: its signature did not verify, its
// digest was not the one listed, or no trusted key was there for it.
bool pkg_index_short(const pkg_db *db);

// dpkg's frontend lock (PKG_FRONTEND_LOCK under a root), the write lock
// (fcntl) on the whole file that apt and dpkg take for a package operation:
// held, no operation starts, and none is under way. flock(2) would not do:
// the two kinds of lock do not see each other on Linux.
constexpr char PKG_FRONTEND_LOCK[] = "var/lib/dpkg/lock-frontend";
// Takes the lock on file, made as dpkg makes it when missing (0640, no
// link followed, so that the lock cannot be steered onto a file
// elsewhere), trying every tenth of a second for up to wait_s seconds.
// True with the descriptor in *fd: the lock lasts while it is open, and
// while this process closes no other descriptor of the file (record locks
// are the process's). False with *err and *fd -1 otherwise: *busy when
// another process still held it at the end ("FILE: still locked by
// another process after N s"), else the open or fcntl that failed.
bool pkg_lock_frontend(const std::string &file, int wait_s, int *fd, bool *busy,
                       std::string *err);
