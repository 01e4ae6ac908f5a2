// pkg_int.h: the dpkg back end's own state, shared by its files.
//
// The records run to some 150,000 paths in tens of megabytes of text, of
// which a night asks about a few hundred: each file is read into one
// buffer that lives as long as the state, and the tables hold views into
// those buffers; a package's digests are read when one of its paths is
// asked about, an index's entries when one of its packages' archive is.
#pragma once
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "pkg/pkg.h"

struct pkg_override_rec {
  uint16_t po_perm;
  uint32_t po_uid, po_gid;
};

constexpr uint32_t PKG_NO_ENTRY = UINT32_MAX;

// One claim on a path: the package (its index in pd_pkgs), the host path,
// the path as its list or conffiles name it, and for a conffile its
// digest; pe_next links the claims on one path in the records' order.
struct pkg_entry {
  uint32_t pe_pkg;
  uint32_t pe_next;  // PKG_NO_ENTRY ends the chain
  bool pe_conf;
  std::string_view pe_at, pe_raw;
  std::string_view pe_md5;  // a conffile's, from the status file
};

// A package's md5sums, read on first need: path without its leading '/'
// to digest.
struct pkg_sums {
  bool ps_read = false;
  std::unordered_map<std::string_view, std::string_view> ps_by_path;
};

// A verified Packages index: its text, and where the paragraphs of the
// packages searched for start, by name.
struct pkg_index {
  std::string pi_base;  // the directory its Filename fields are under, or ""
  std::string_view pi_text;
  std::unordered_multimap<std::string_view, size_t> pi_at;
};

// A note as pkg_note_add takes it.
struct pkg_note_of {
  bool pn_failure;
  std::string pn_file, pn_text;
};

// The indexes verified once (pkg_index_shared_make): what the first load
// found, its texts, the notes it made, and whether it fell short; the
// places of the paragraphs are each db's own.
struct pkg_index_shared {
  std::mutex sh_lock;
  bool sh_loaded = false;
  std::deque<std::string> sh_texts;
  std::vector<pkg_index> sh_index;
  std::vector<pkg_note_of> sh_notes;
  bool sh_short = false;
};

// One source of apt's sources files: where its indexes come from, and
// the keys its Signed-By names, which alone verify them.
struct pkg_source {
  std::string ps_uri;
  std::vector<std::string>
      ps_suites;              // "dists/" suites, or flat paths ending in '/'
  bool ps_signed_by = false;  // Signed-By given
  std::vector<std::string> ps_keys;    // keyring files it names, host paths
  std::vector<std::string> ps_inline;  // armoured key blocks it holds
  bool ps_fingerprint = false;         // it names a key by fingerprint too
};

// A keyring trusted for this comparison: the bytes checked, in the
// binary form gpgv reads (armour taken off).
struct pkg_keyring {
  std::string pk_name;  // the file, or the sources file of an inline key
  std::string pk_bytes;
};

// Which keyrings verify which indexes: those a source names verify the
// lists of that source alone; the others (trusted.gpg and
// trusted.gpg.d, less those a source names) every other list, and the
// archive directory given with -a.
struct pkg_trust {
  std::vector<pkg_keyring> pt_keys;
  std::vector<size_t> pt_default;  // into pt_keys
  // By a list file's name less its "_InRelease" or "_Release": the
  // keyrings of the sources it is of, none when none of them is trusted.
  std::map<std::string, std::vector<size_t>> pt_scoped;
};

struct pkg_db {
  std::string pd_root;  // "" or the root, no trailing slash
  std::string pd_adir;  // archives given besides apt's cache, or ""
  // Records of another machine (pkg_open_away): nothing under any root is
  // read, no link followed; the trust roots, the places of the signed
  // indexes and the cache are this machine's own, as given.
  bool pd_away = false;
  std::vector<pkg_keyring> pd_away_keys;
  std::vector<std::string> pd_away_sources;
  std::string pd_away_cache;                          // "" for none
  std::shared_ptr<pkg_index_shared> pd_away_indexes;  // or null
  // Every text the views below point into; a deque never moves them.
  std::deque<std::string> pd_texts;
  std::vector<std::unique_ptr<pkg_meta>> pd_pkgs;
  std::vector<pkg_sums> pd_sums;               // by package index
  std::vector<std::string_view> pd_conffiles;  // field text, by index
  std::unordered_map<std::string, const pkg_meta *> pd_by_name;
  // Claims by host path: a table, open-addressed by the path's hash, of
  // the first and the last entry of each path's chain; no allocation per
  // path, of which the lists hold some 150,000.
  std::vector<std::pair<uint32_t, uint32_t>> pd_claims;
  size_t pd_paths = 0;  // the table's slots in use
  std::vector<pkg_entry> pd_entries;
  // Diverted path: where it went, and the package that diverted it.
  std::unordered_map<std::string_view,
                     std::pair<std::string_view, std::string_view>>
      pd_diverts;
  std::unordered_map<std::string, pkg_override_rec> pd_overrides;
  std::vector<pkg_op> pd_ops;
  std::unordered_map<std::string, std::vector<std::string>> pd_links;
  // Directories by the name a package uses to their host path.
  std::unordered_map<std::string_view, std::string_view> pd_dirs;
  std::string_view pd_last_dir, pd_last_host;  // the last one asked for
  // Archives read so far, by "name version arch"; null for none at hand.
  std::map<std::string, std::unique_ptr<pkg_archive>> pd_archives;
  // Archives read ahead that failed, with why: told when asked for.
  std::map<std::string, std::string> pd_failed;
  // The signed indexes, read when the first archive is at hand.
  bool pd_indexed = false;
  std::vector<pkg_index> pd_index;
  std::set<std::string> pd_scanned;  // the names the indexes were searched for
  // Records kept with earlier snapshots, newest first (pkg_kept.cc); for
  // one of those, pd_kept_file is the file it came from.
  std::vector<std::unique_ptr<pkg_db>> pd_kept;
  std::string pd_kept_file;
  // The trust roots as the older snapshot recorded them (null: as they
  // are), what was not trusted, and what the report must say first.
  pkg_pin_fn pd_pin;
  std::vector<std::string> pd_untrusted;
  bool pd_index_short = false;
  std::vector<pkg_note> pd_notes;
  std::set<std::string> pd_noted;  // the files pd_notes names
  // While the shared indexes are loaded: where each note goes as well.
  std::vector<pkg_note_of> *pd_note_log = nullptr;
};

// The files of the back end: pkg_dpkg.cc reads the status file and the
// lists and answers pkg.h; pkg_admin.cc reads diversions, stat overrides,
// alternatives and the log; pkg_paths.cc makes host paths; pkg_gpgv.cc,
// pkg_index.cc and pkg_deb.cc verify and read the archives.

// pkg_paths.cc.
// Where package name's file at path is: elsewhere when another package
// (or the administrator) diverted it.
std::string_view pkg_located(const pkg_db *db, std::string_view name,
                             std::string_view path);
// The host path of path, as a view that lives as long as db.
std::string_view pkg_canon_view(pkg_db *db, std::string_view path);
// text, kept as long as db, as a view.
std::string_view pkg_keep(pkg_db *db, std::string text);
// The SHA-256 of data, in lowercase hex.
std::string pkg_sha256_hex(const std::string &data);
// The whole file, in a string; false with errno when it cannot be read.
bool pkg_read_file(const std::string &name, std::string *out);

// A member name of an archive's data as a host path ("./usr/x" as
// "/usr/x", "/" for the top), or "" for one that explains no path: an
// absolute name, or one with a "..", "." or empty component.
std::string pkg_member_path(const char *name);
// The lines of text, without their newlines.
std::vector<std::string_view> pkg_lines(std::string_view text);
// The names in a directory, "." and ".." among them; none when it cannot
// be read.
std::vector<std::string> pkg_dir_names(const std::string &dir);

inline bool
pkg_ends_with(const std::string &s, const char *tail)
{
  size_t n = strlen(tail);
  return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

// Up to N words of a line, split at blanks, "" for the missing ones; the
// number found.
template <size_t N>
size_t
pkg_words(std::string_view line, std::string_view (&out)[N])
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

// pkg_admin.cc: each false with errno (or *err) when the records are
// there but cannot be read.
bool pkg_diversions_read(pkg_db *db);
bool pkg_overrides_read(pkg_db *db, std::string *err);
void pkg_alternatives_read(pkg_db *db);
void pkg_log_read(pkg_db *db);

// pkg_trust.cc: the trust roots.
// The sources of a sources file's text: the one-line form of
// sources.list and *.list, or deb822 (*.sources). Entries that are off,
// of source packages, or cannot be read are left out.
std::vector<pkg_source> pkg_sources_parse(std::string_view text, bool deb822);
// The name apt gives the files of a source's suite in its lists
// directory, less "_InRelease" and the like: the URI without its scheme
// and user, unsafe bytes quoted, '/' as '_', then "_dists_" and the
// suite, or the flat path. "" for a URI apt cannot fetch from.
std::string pkg_list_prefix(const std::string &uri, const std::string &suite);
// The binary keyring of one or more armoured key blocks in text; false
// when there is none or one does not decode.
bool pkg_dearmor(std::string_view text, std::string *out);
// Notes text about file, unless file has a note already.
void pkg_note_add(pkg_db *db, bool failure, const std::string &file,
                  const std::string &text);
// The keyrings and sources under the root, each read once and checked
// against the pin; notes for those not trusted.
pkg_trust pkg_trust_gather(pkg_db *db);
// A keyring this machine trusts, read whole (armour taken off): false
// with *err when it cannot be read or holds no key block.
bool pkg_keyring_read(const std::string &file, pkg_keyring *k,
                      std::string *err);
// The keyrings that verify the list files that start with name (a
// pt_scoped key), or every other list's.
const std::vector<size_t> &pkg_trust_keys(const pkg_trust &t,
                                          const std::string &name);

// pkg_gpgv.cc.
// A private copy of trusted keyrings, which gpgv reads instead of the
// files that were checked: in a directory of mode 0700, removed with it.
struct pkg_keydir {
  std::string kd_dir;                 // "" when it could not be made
  std::vector<std::string> kd_files;  // by index into pt_keys
  ~pkg_keydir();
};
// Makes it; false with *err.
bool pkg_keydir_make(const pkg_trust &t, pkg_keydir *kd, std::string *err);
// The signed text of a Release file: what gpgv puts out of an inline
// signed file (sig ""), or the file itself where sig, its detached
// signature, verifies it, with the keyrings keys of kd alone. False when
// the signature does not verify.
bool pkg_release_verify(const pkg_keydir &kd, const std::vector<size_t> &keys,
                        const std::string &file, const std::string &sig,
                        std::string *text);

// pkg_index.cc.
// The SHA256 section of a verified Release text: each file it lists, by
// name, to its digest.
std::unordered_map<std::string, std::string> pkg_release_sums(
    const std::string &text);
// Verifies every signed index under the root and in the archive directory
// once. One that does not verify is not used, and a note says why.
void pkg_index_load(pkg_db *db);
// Finds the paragraphs of the packages named, in one scan of the indexes.
void pkg_index_scan(pkg_db *db, const std::vector<std::string> &names);
// Each listing of the archive of name at version for arch in the verified
// indexes: its SHA-256 and, for the archive directory's own index, the
// file it places the archive in ("" for the others).
std::vector<std::pair<std::string, std::string>> pkg_index_find(
    pkg_db *db, const std::string &name, const std::string &version,
    const std::string &arch);

// pkg_dpkg.cc and pkg_admin.cc: the parsers of dpkg's files, which read
// the host's own and the kept copies alike: the status file, then the
// diversions, then each package's list of paths (by its index in
// pd_pkgs). Each keeps its text as long as db.
void pkg_status_parse(pkg_db *db, std::string text);
void pkg_diversions_parse(pkg_db *db, std::string text);
void pkg_list_parse(pkg_db *db, uint32_t pkg, std::string text);
// The parsers of the rest, which pkg_open reads from the host's files and
// a test gives as text: a package's md5sums (in place of the file read on
// first need; pd_sums sized to pd_pkgs first), the stat overrides of the
// file name (false with *err for a line that cannot be used), one link
// group's file of the alternatives, the log.
void pkg_sums_parse(pkg_db *db, uint32_t pkg, std::string text);
bool pkg_overrides_parse(pkg_db *db, const std::string &name,
                         const std::string &text, std::string *err);
void pkg_alternatives_parse(pkg_db *db, const std::string &name,
                            const std::string &text);
void pkg_log_parse(pkg_db *db, std::string_view text);

// pkg_deb.cc: reads the package archive at file as the one of k, verified
// by the caller, as pkg_archive_get would have: for tests, which have no
// signed index. False with *err when it cannot be read.
bool pkg_archive_load(pkg_db *db, const pkg_key &k, const std::string &file,
                      std::string *err);

// pkg_cache.cc: the name apt's cache gives the archive of name at version
// for arch, NAME_VERSION_ARCH.deb with each ':' of the version as "%3a";
// kavrel's cache names them alike.
std::string pkg_flat_name(const std::string &name, const std::string &version,
                          const std::string &arch);

// pkg_kept.cc: adds to db the records kept in each file of kept; false
// with *err when one cannot be read or is not such records.
bool pkg_kept_load(pkg_db *db, const std::vector<std::string> &kept,
                   std::string *err);
