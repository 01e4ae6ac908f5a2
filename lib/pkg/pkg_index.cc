// pkg_index.cc: apt's Packages indexes, each verified against the digest
// its signed Release file lists before any of it is used. The indexes
// run to tens of megabytes: a package's entry is found by a fast scan for
// the packages wanted, and only its paragraph is read.
#include <archive.h>
#include <archive_entry.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <sstream>
#include <unordered_set>

#include "pkg/pkg_int.h"

namespace {

using archive_ptr = std::unique_ptr<archive, decltype(&archive_read_free)>;

// The whole file, decompressed when it is compressed (apt keeps its lists
// recompressed). False with errno, or EBADMSG, when it cannot be read.
bool
read_unpacked(const std::string &name, std::string *out)
{
  archive_ptr a(archive_read_new(), archive_read_free);
  archive_read_support_filter_all(a.get());
  archive_read_support_format_raw(a.get());
  archive_read_support_format_empty(a.get());
  archive_entry *e;
  if (archive_read_open_filename(a.get(), name.c_str(), 65536) != ARCHIVE_OK) {
    errno = archive_errno(a.get()) > 0 ? archive_errno(a.get()) : EBADMSG;
    return false;
  }
  out->clear();
  struct stat st;
  // apt's lists shrink to a fifth or so: room for most without a copy.
  if (stat(name.c_str(), &st) == 0 && st.st_size > 0)
    out->reserve(size_t(st.st_size) * 5);
  int r = archive_read_next_header(a.get(), &e);
  if (r == ARCHIVE_EOF)
    return true;
  if (r != ARCHIVE_OK) {
    errno = EBADMSG;
    return false;
  }
  // Straight into the string, which grows as it fills.
  size_t have = 0;
  la_ssize_t n;
  do {
    if (out->size() - have < (1 << 20))
      out->resize(have + (1 << 22));
    n = archive_read_data(a.get(), &(*out)[have], out->size() - have);
    have += n > 0 ? size_t(n) : 0;
  } while (n > 0);
  out->resize(have);
  if (n < 0)
    errno = EBADMSG;
  return n == 0;
}

// The SHA256 section of a verified Release text: name to digest.
std::unordered_map<std::string, std::string>
release_sums(const std::string &text)
{
  std::unordered_map<std::string, std::string> sums;
  std::istringstream in(text);
  std::string line;
  bool in_sums = false;
  while (std::getline(in, line)) {
    if (!line.empty() && line[0] != ' ') {
      in_sums = line.compare(0, 7, "SHA256:") == 0;
      continue;
    }
    if (!in_sums)
      continue;
    std::istringstream s(line);
    std::string sum, size, name;
    if (s >> sum >> size >> name)
      sums[name] = sum;
  }
  return sums;
}

// Keeps a verified Packages text; its paragraphs are found by name when
// an archive is wanted (index_scan).
void
index_add(pkg_db *db, std::string text, const std::string &base)
{
  db->pd_texts.push_back(std::move(text));
  pkg_index ix;
  ix.pi_base = base;
  ix.pi_text = db->pd_texts.back();
  db->pd_index.push_back(std::move(ix));
}

// One paragraph of a Packages text: the fields an archive is found by.
struct index_para {
  std::string_view name, version, arch, sum, file;
};

// The paragraph of text around offset at: from the empty line before it
// to the one after it, each field the first ": " of its line splits.
index_para
index_read(std::string_view text, size_t at)
{
  size_t from = at < 2 ? std::string_view::npos : text.rfind("\n\n", at - 2);
  from = from == std::string_view::npos ? 0 : from + 2;
  size_t to = text.find("\n\n", at);
  index_para p;
  for (std::string_view line : pkg_lines(
           text.substr(from, to == std::string_view::npos ? to : to - from))) {
    size_t colon = line.find(": ");
    if (colon == std::string_view::npos || line[0] == ' ')
      continue;
    std::string_view key = line.substr(0, colon), val = line.substr(colon + 2);
    if (key == "Package")
      p.name = val;
    else if (key == "Version")
      p.version = val;
    else if (key == "Architecture")
      p.arch = val;
    else if (key == "SHA256")
      p.sum = val;
    else if (key == "Filename")
      p.file = val.substr(0, 2) == "./" ? val.substr(2) : val;
  }
  return p;
}

// Verifies one Release file (inline signed, or with sig its detached
// signature) with the keyrings keys, and the indexes beside it that it
// lists: prefix + listed name (with '/' as sep), perhaps recompressed.
// One that does not verify is noted and left out, and with it every
// index of a Release that does not: the rest of the run goes on.
void
index_release(pkg_db *db, const pkg_keydir &kd, const std::vector<size_t> &keys,
              const std::string &release, const std::string &sig,
              const std::string &prefix, char sep, const std::string &base)
{
  std::string text;
  if (keys.empty()) {
    pkg_note_add(db, true, release, release + ": no keyring is trusted for it");
    db->pd_index_short = true;
    return;
  }
  if (!pkg_release_verify(kd, keys, release, sig, &text)) {
    pkg_note_add(db, true, release,
                 release + ": the signature does not verify with gpgv");
    db->pd_index_short = true;
    return;
  }
  for (const auto &s : release_sums(text)) {
    std::string name = s.first;
    if (!pkg_ends_with(name, "Packages"))
      continue;
    if (sep != '/')
      for (char &c : name)
        if (c == '/')
          c = sep;
    for (const char *ext : {"", ".lz4", ".gz", ".xz", ".zst"}) {
      std::string file = prefix + name + ext, data;
      if (access(file.c_str(), F_OK) != 0)
        continue;
      if (!read_unpacked(file, &data)) {
        pkg_note_add(db, true, file, file + ": " + strerror(errno));
        db->pd_index_short = true;
      } else if (pkg_sha256_hex(data) != s.second) {
        pkg_note_add(db, true, file,
                     file + ": its SHA-256 is not the one " + release +
                         " lists");
        db->pd_index_short = true;
      } else {
        index_add(db, std::move(data), base);
      }
      break;
    }
  }
}

// The signed Release file of a source whose files start with prefix
// (InRelease, or Release with Release.gpg, after sep): the file and its
// detached signature ("" for none), or "" when the source has neither.
std::pair<std::string, std::string>
release_of(const std::string &prefix, const char *sep)
{
  std::string in = prefix + sep + "InRelease", rel = prefix + sep + "Release";
  if (access(in.c_str(), F_OK) == 0)
    return {in, ""};
  // A Release without a signature is no signed index: its archives are
  // not used.
  if (access((rel + ".gpg").c_str(), F_OK) == 0)
    return {rel, rel + ".gpg"};
  return {"", ""};
}

// apt's lists directory: each source's Release file, named after it,
// beside its indexes, verified by the keys keys_of gives for that name;
// their archives are found by name alone.
void
index_lists(
    pkg_db *db, const pkg_keydir &kd, const std::string &lists,
    const std::function<const std::vector<size_t> &(const std::string &)>
        &keys_of)
{
  std::vector<std::string> names = pkg_dir_names(lists);
  std::sort(names.begin(), names.end());
  for (const std::string &n : names) {
    const char *tail = pkg_ends_with(n, "_InRelease") ? "_InRelease"
                       : pkg_ends_with(n, "_Release") ? "_Release"
                                                      : nullptr;
    if (tail == nullptr)
      continue;
    std::string name = n.substr(0, n.size() - strlen(tail));
    std::string prefix = lists + name;
    auto rel = release_of(prefix, "_");
    // A source with both is read once, by its InRelease.
    if (rel.first != lists + n)
      continue;
    index_release(db, kd, keys_of(name), rel.first, rel.second, prefix + "_",
                  '_', "");
  }
}

// One directory of signed indexes given to a db of another machine's
// records, by its layout: a repository with its Release at the top, a
// mirror with dists/SUITE/, or apt's lists directory.
void
index_away(pkg_db *db, const pkg_keydir &kd, const std::vector<size_t> &keys,
           const std::string &dir)
{
  auto top = release_of(dir, "/");
  if (!top.first.empty()) {
    index_release(db, kd, keys, top.first, top.second, dir + "/", '/',
                  dir + "/");
    return;
  }
  std::string dists = dir + "/dists/";
  std::vector<std::string> suites = pkg_dir_names(dists);
  if (suites.empty()) {
    index_lists(db, kd, dir + "/",
                [&keys](const std::string &) -> const std::vector<size_t> & {
                  return keys;
                });
    return;
  }
  std::sort(suites.begin(), suites.end());
  for (const std::string &s : suites) {
    if (s == "." || s == "..")
      continue;
    auto rel = release_of(dists + s, "/");
    if (!rel.first.empty())
      index_release(db, kd, keys, rel.first, rel.second, dists + s + "/", '/',
                    dir + "/");
  }
}

}  // namespace

std::unordered_map<std::string, std::string>
pkg_release_sums(const std::string &text)
{
  return release_sums(text);
}

// Where the paragraphs of the packages named are, for those not yet
// looked for: one fast scan of each index for the lines that start with
// "Package: ", of which only the names asked for are kept. Tens of
// megabytes of text are so searched, not parsed.
void
pkg_index_scan(pkg_db *db, const std::vector<std::string> &names)
{
  std::unordered_set<std::string_view> want;
  for (const std::string &n : names)
    if (db->pd_scanned.insert(n).second)
      want.insert(*db->pd_scanned.find(n));
  if (want.empty())
    return;
  constexpr std::string_view key = "\nPackage: ";
  for (pkg_index &ix : db->pd_index) {
    std::string_view t = ix.pi_text;
    // The first line, then each line after a newline.
    for (size_t at = t.compare(0, key.size() - 1, key.substr(1)) == 0 ? 0 : 1;
         at < t.size();) {
      if (at > 0) {
        const void *hit = memmem(t.data() + at - 1, t.size() - at + 1,
                                 key.data(), key.size());
        if (hit == nullptr)
          break;
        at = size_t(static_cast<const char *>(hit) - t.data()) + 1;
      }
      size_t from = at + key.size() - 1, nl = t.find('\n', from);
      std::string_view name = t.substr(from, nl == std::string_view::npos
                                                 ? std::string_view::npos
                                                 : nl - from);
      if (want.count(name) != 0)
        ix.pi_at.emplace(name, at);
      at = nl == std::string_view::npos ? t.size() : nl + 1;
    }
  }
}

// Each listing of the archive of name, version and arch in the verified
// indexes: its SHA-256 and, for a repository given with -a, its file.
std::vector<std::pair<std::string, std::string>>
pkg_index_find(pkg_db *db, const std::string &name, const std::string &version,
               const std::string &arch)
{
  std::vector<std::pair<std::string, std::string>> v;
  pkg_index_scan(db, {name});
  for (const pkg_index &ix : db->pd_index) {
    auto range = ix.pi_at.equal_range(name);
    for (auto it = range.first; it != range.second; ++it) {
      index_para p = index_read(ix.pi_text, it->second);
      if (p.name == name && p.version == version && p.arch == arch &&
          !p.sum.empty())
        v.emplace_back(std::string(p.sum),
                       ix.pi_base.empty() || p.file.empty()
                           ? std::string()
                           : ix.pi_base + std::string(p.file));
    }
  }
  return v;
}

namespace {

void
index_load(pkg_db *db)
{
  pkg_trust trust = pkg_trust_gather(db);
  pkg_keydir kd;
  std::string err;
  if (!pkg_keydir_make(trust, &kd, &err)) {
    // No index can be verified: each is noted below as not verifying.
    pkg_note_add(db, true, "", "the keyrings could not be copied: " + err);
  }
  if (db->pd_away) {
    for (const std::string &dir : db->pd_away_sources)
      index_away(db, kd, trust.pt_default, dir);
    return;
  }
  // The archive directory is the administrator's own choice on the
  // command line: the keyrings no source is scoped to verify it.
  if (!db->pd_adir.empty()) {
    auto rel = release_of(db->pd_adir, "/");
    if (!rel.first.empty())
      index_release(db, kd, trust.pt_default, rel.first, rel.second,
                    db->pd_adir + "/", '/', db->pd_adir + "/");
  }
  index_lists(db, kd, db->pd_root + "/var/lib/apt/lists/",
              [&trust](const std::string &name) -> const std::vector<size_t> & {
                return pkg_trust_keys(trust, name);
              });
}

// The first db loads the indexes and keeps a copy of each verified text
// and of its notes in sh; every later one takes them from there.
void
index_load_shared(pkg_db *db, pkg_index_shared *sh)
{
  std::lock_guard<std::mutex> hold(sh->sh_lock);
  if (!sh->sh_loaded) {
    sh->sh_loaded = true;
    db->pd_note_log = &sh->sh_notes;
    index_load(db);
    db->pd_note_log = nullptr;
    for (const pkg_index &ix : db->pd_index) {
      sh->sh_texts.emplace_back(ix.pi_text);
      pkg_index copy;
      copy.pi_base = ix.pi_base;
      copy.pi_text = sh->sh_texts.back();
      sh->sh_index.push_back(std::move(copy));
    }
    sh->sh_short = db->pd_index_short;
    return;
  }
  for (const pkg_index &ix : sh->sh_index) {
    pkg_index copy;
    copy.pi_base = ix.pi_base;
    copy.pi_text = ix.pi_text;
    db->pd_index.push_back(std::move(copy));
  }
  for (const pkg_note_of &n : sh->sh_notes)
    pkg_note_add(db, n.pn_failure, n.pn_file, n.pn_text);
  db->pd_index_short = db->pd_index_short || sh->sh_short;
}

}  // namespace

std::shared_ptr<pkg_index_shared>
pkg_index_shared_make()
{
  return std::make_shared<pkg_index_shared>();
}

void
pkg_index_load(pkg_db *db)
{
  if (db->pd_indexed)
    return;
  db->pd_indexed = true;
  if (db->pd_away && db->pd_away_indexes != nullptr)
    index_load_shared(db, db->pd_away_indexes.get());
  else
    index_load(db);
}

const std::vector<pkg_note> &
pkg_notes(const pkg_db *db)
{
  return db->pd_notes;
}

void
pkg_pin(pkg_db *db, pkg_pin_fn fn)
{
  db->pd_pin = std::move(fn);
}

const std::vector<std::string> &
pkg_untrusted(const pkg_db *db)
{
  return db->pd_untrusted;
}

bool
pkg_index_short(const pkg_db *db)
{
  return db->pd_index_short;
}
