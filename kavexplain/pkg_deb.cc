// pkg_deb.cc: package archives of the dpkg back end. An archive counts only
// when its SHA-256 is the one an apt index lists, and that index's own
// digest is in a Release file whose signature gpgv verifies against the
// keyrings apt trusts under the root: inline (InRelease), or detached
// beside it (Release.gpg) where a source has no InRelease.
#include <archive.h>
#include <archive_entry.h>
#include <dirent.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string_view>
#include <unordered_set>
#include <atomic>
#include <thread>

#include "kavexplain/pkg_int.h"
#include "db/print.h"
#include "port/port.h"
#include "sha1/sha1.h"
#include "sha256/sha256.h"

namespace {

using archive_ptr = std::unique_ptr<archive, decltype(&archive_read_free)>;

// The SHA-256 of a whole byte string, in hex.
std::string
sha256_of(const std::string &data)
{
  unsigned char d[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  EVP_Digest(data.data(), data.size(), d, &n, EVP_sha256(), nullptr);
  char text[2 * EVP_MAX_MD_SIZE + 1];
  hex_encode(d, text, int(2 * n));
  return text;
}

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

// Writes text to fd, which gpgv reads: a gpgv that stops reading early
// ends the write with EPIPE, not this process with SIGPIPE.
void
feed(int fd, const std::string &text)
{
  sigset_t pipe_set, old;
  sigemptyset(&pipe_set);
  sigaddset(&pipe_set, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_set, &old);
  bool broke = false;
  for (size_t at = 0; at < text.size();) {
    ssize_t n = write(fd, text.data() + at, text.size() - at);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0) {
      broke = errno == EPIPE;
      break;
    }
    at += size_t(n);
  }
  close(fd);
  if (broke && !sigismember(&old, SIGPIPE)) {
    const timespec zero = {0, 0};
    while (sigtimedwait(&pipe_set, nullptr, &zero) < 0 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

void
collect(int fd, std::string *text)
{
  char buf[65536];
  ssize_t n;
  text->clear();
  while ((n = read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
    if (n > 0)
      text->append(buf, size_t(n));
  close(fd);
}

// Runs gpgv with the keyrings and the files: in, when given, is its
// standard input; out, when given, gets its standard output. True when
// the signature verifies.
bool
gpgv_run(const std::vector<std::string> &keyrings,
         std::vector<std::string> files, const std::string *in,
         std::string *out)
{
  std::vector<std::string> args = {"gpgv", "--quiet"};
  for (const std::string &k : keyrings)
    args.insert(args.end(), {"--keyring", k});
  args.insert(args.end(), files.begin(), files.end());
  std::vector<char *> argv;
  for (std::string &s : args)
    argv.push_back(&s[0]);
  argv.push_back(nullptr);
  // Spawned, not forked: a copy of a large process would cost seconds.
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0)
    return false;
  int ours = in != nullptr ? fds[1] : fds[0];
  int theirs = in != nullptr ? fds[0] : fds[1];
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  if (in != nullptr) {
    posix_spawn_file_actions_adddup2(&fa, theirs, 0);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  } else {
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, theirs, 1);
  }
  posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid;
  int r = posix_spawnp(&pid, "gpgv", &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  close(theirs);
  if (r != 0) {
    close(ours);
    return false;
  }
  if (in != nullptr)
    feed(ours, *in);
  else
    collect(ours, out);
  int status;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The signed text of a Release file: the one gpgv puts out of an inline
// signed file, or the file itself where sig, its detached signature,
// verifies it.
bool
release_verify(const std::vector<std::string> &keys, const std::string &file,
               const std::string &sig, std::string *text)
{
  if (sig.empty())
    return gpgv_run(keys, {"--output", "-", file}, nullptr, text);
  // gpgv checks the bytes read here, on its standard input: what is
  // verified is what is parsed.
  return pkg_read_file(file, text) && gpgv_run(keys, {sig, "-"}, text, nullptr);
}

std::vector<std::string>
dir_names(const std::string &dir)
{
  std::vector<std::string> v;
  DIR *d = opendir(dir.c_str());
  if (d == nullptr)
    return v;
  while (dirent *e = readdir(d))
    v.push_back(e->d_name);
  closedir(d);
  return v;
}

bool
ends_with(const std::string &s, const char *tail)
{
  size_t n = strlen(tail);
  return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

// The keyrings apt trusts: its own, and those the sources name.
std::vector<std::string>
keyrings(const pkg_db *db)
{
  std::vector<std::string> k;
  std::string apt = db->pd_root + "/etc/apt/";
  if (access((apt + "trusted.gpg").c_str(), R_OK) == 0)
    k.push_back(apt + "trusted.gpg");
  for (const std::string &n : dir_names(apt + "trusted.gpg.d"))
    if (ends_with(n, ".gpg"))
      k.push_back(apt + "trusted.gpg.d/" + n);
  std::vector<std::string> sources = {apt + "sources.list"};
  for (const std::string &n : dir_names(apt + "sources.list.d"))
    sources.push_back(apt + "sources.list.d/" + n);
  for (const std::string &s : sources) {
    std::ifstream in(s);
    std::string word;
    while (in >> word) {
      std::string path;
      if (word == "Signed-By:")
        in >> path;
      else if (word.compare(0, 10, "signed-by=") == 0)
        path = word.substr(10, word.find(']') - 10);
      else if (word.compare(0, 11, "[signed-by=") == 0)
        path = word.substr(11, word.find(']') - 11);
      if (!path.empty() && path[0] == '/')
        k.push_back(db->pd_root + path);
    }
  }
  return k;
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

// Where the paragraphs of the packages named are, for those not yet
// looked for: one fast scan of each index for the lines that start with
// "Package: ", of which only the names asked for are kept. Tens of
// megabytes of text are so searched, not parsed.
void
index_scan(pkg_db *db, const std::vector<std::string> &names)
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
  for (std::string_view line : pkg_lines(text.substr(
           from, to == std::string_view::npos ? to : to - from))) {
    size_t colon = line.find(": ");
    if (colon == std::string_view::npos || line[0] == ' ')
      continue;
    std::string_view key = line.substr(0, colon), val = line.substr(colon + 2);
    if (key == "Package") p.name = val;
    else if (key == "Version") p.version = val;
    else if (key == "Architecture") p.arch = val;
    else if (key == "SHA256") p.sum = val;
    else if (key == "Filename")
      p.file = val.substr(0, 2) == "./" ? val.substr(2) : val;
  }
  return p;
}

// Each listing of the archive of name, version and arch in the verified
// indexes: its SHA-256 and, for a repository given with -a, its file.
std::vector<std::pair<std::string, std::string>>
index_find(pkg_db *db, const std::string &name,
           const std::string &version, const std::string &arch)
{
  std::vector<std::pair<std::string, std::string>> v;
  index_scan(db, {name});
  for (const pkg_index &ix : db->pd_index) {
    auto range = ix.pi_at.equal_range(name);
    for (auto it = range.first; it != range.second; ++it) {
      index_para p = index_read(ix.pi_text, it->second);
      if (p.name == name && p.version == version && p.arch == arch &&
          !p.sum.empty())
        v.emplace_back(std::string(p.sum),
                       ix.pi_base.empty() ? std::string()
                                          : ix.pi_base + std::string(p.file));
    }
  }
  return v;
}

// Verifies one Release file (inline signed, or with sig its detached
// signature) and the indexes beside it that it lists: prefix + listed
// name (with '/' as sep), perhaps recompressed.
bool
index_release(pkg_db *db, const std::vector<std::string> &keys,
              const std::string &release, const std::string &sig,
              const std::string &prefix, char sep, const std::string &base,
              std::string *err)
{
  std::string text;
  if (!release_verify(keys, release, sig, &text)) {
    *err = release + ": the signature does not verify with gpgv";
    return false;
  }
  for (const auto &s : release_sums(text)) {
    std::string name = s.first;
    if (!ends_with(name, "Packages"))
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
        *err = file + ": " + strerror(errno);
        return false;
      }
      if (sha256_of(data) != s.second) {
        *err = file + ": its SHA-256 is not the one " + release + " lists";
        return false;
      }
      index_add(db, std::move(data), base);
      break;
    }
  }
  return true;
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

bool
index_load(pkg_db *db, std::string *err)
{
  if (db->pd_indexed)
    return true;
  db->pd_index.clear();  // what a failed call left
  db->pd_scanned.clear();
  std::vector<std::string> keys = keyrings(db);
  if (!db->pd_adir.empty()) {
    auto rel = release_of(db->pd_adir, "/");
    if (!rel.first.empty() &&
        !index_release(db, keys, rel.first, rel.second, db->pd_adir + "/",
                       '/', db->pd_adir + "/", err))
      return false;
  }
  std::string lists = db->pd_root + "/var/lib/apt/lists/";
  std::vector<std::string> names = dir_names(lists);
  std::sort(names.begin(), names.end());
  for (const std::string &n : names) {
    const char *tail = ends_with(n, "_InRelease") ? "_InRelease"
                       : ends_with(n, "_Release") ? "_Release"
                                                  : nullptr;
    if (tail == nullptr)
      continue;
    std::string prefix = lists + n.substr(0, n.size() - strlen(tail));
    auto rel = release_of(prefix, "_");
    // A source with both is read once, by its InRelease.
    if (rel.first != lists + n)
      continue;
    if (!index_release(db, keys, rel.first, rel.second, prefix + "_", '_', "",
                       err))
      return false;
  }
  db->pd_indexed = true;
  return true;
}

// The SHA-256 of a file, in hex; "" when it cannot be read.
std::string
file_sha256(const std::string &name)
{
  int fd = open(name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return "";
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> m(EVP_MD_CTX_new(),
                                                            EVP_MD_CTX_free);
  EVP_DigestInit_ex(m.get(), EVP_sha256(), nullptr);
  std::unique_ptr<char[]> buf(new char[1 << 20]);
  ssize_t n;
  while ((n = read(fd, buf.get(), 1 << 20)) > 0 || (n < 0 && errno == EINTR))
    if (n > 0)
      EVP_DigestUpdate(m.get(), buf.get(), size_t(n));
  close(fd);
  if (n < 0)
    return "";
  unsigned char d[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_DigestFinal_ex(m.get(), d, &len);
  char text[2 * EVP_MAX_MD_SIZE + 1];
  hex_encode(d, text, int(2 * len));
  return text;
}

// One entry of an archive's data member as the archive holds it: the
// path it names, the path a hard link names, and the file. Read apart
// from the back end's state, so that archives can be read on several
// threads at once.
struct raw_file {
  std::string rf_path;
  std::string rf_hard;  // "" for none
  pkg_afile rf_file;
};

// An archive's name with the "." of "./" and any trailing '/' cut.
std::string
member_path(const char *name)
{
  std::string path = name;
  if (path.compare(0, 1, ".") == 0)
    path.erase(0, 1);
  while (path.size() > 1 && path.back() == '/')
    path.pop_back();
  return path;
}

// The outer archive's data member as the inner archive reads it.
la_ssize_t
outer_cb(archive *, void *arg, const void **out)
{
  size_t n;
  la_int64_t offset;
  int r = archive_read_data_block(static_cast<archive *>(arg), out, &n,
                                  &offset);
  if (r == ARCHIVE_EOF)
    return 0;
  return r == ARCHIVE_OK ? la_ssize_t(n) : -1;
}

// The SHA-1 and the SHA-256 of the entry's contents; false when they
// cannot be read.
bool
entry_sums(archive *a, pkg_afile *f)
{
  sha1_ctx ctx;
  sha1_init(&ctx);
  sha256_ctx ctx256;
  if (sha256_init(&ctx256) != 0)
    return false;
  static const char zeros[4096] = {};
  const void *block;
  size_t n;
  la_int64_t offset, at = 0;
  int r;
  // Read in place; the holes of a sparse entry are zeros.
  while ((r = archive_read_data_block(a, &block, &n, &offset)) == ARCHIVE_OK) {
    while (at < offset) {
      size_t gap = std::min(sizeof zeros, size_t(offset - at));
      sha1_update(&ctx, zeros, int32_t(gap));
      sha256_update(&ctx256, zeros, gap);
      at += la_int64_t(gap);
    }
    sha1_update(&ctx, block, int32_t(n));
    sha256_update(&ctx256, block, n);
    at = offset + la_int64_t(n);
  }
  if (r != ARCHIVE_EOF) {
    sha256_free(&ctx256);
    return false;
  }
  sha1_final(&ctx, f->pa_sum);
  sha256_final(&ctx256, f->pa_sum256);
  return true;
}

bool
data_read(archive *outer, const std::string &file, std::vector<raw_file> *out,
          std::string *err)
{
  archive_ptr a(archive_read_new(), archive_read_free);
  archive_read_support_filter_all(a.get());
  archive_read_support_format_tar(a.get());
  if (archive_read_open(a.get(), outer, nullptr, outer_cb, nullptr) !=
      ARCHIVE_OK) {
    *err = file + ": " + archive_error_string(a.get());
    return false;
  }
  archive_entry *e;
  int r;
  while ((r = archive_read_next_header(a.get(), &e)) == ARCHIVE_OK) {
    raw_file rf;
    rf.rf_path = member_path(archive_entry_pathname(e));
    if (rf.rf_path.empty() || rf.rf_path == "/")
      continue;
    pkg_afile &f = rf.rf_file;
    memset(&f, 0, sizeof f);
    f.pa_mode = uint16_t(archive_entry_mode(e));
    f.pa_uid = uint32_t(archive_entry_uid(e));
    f.pa_gid = uint32_t(archive_entry_gid(e));
    const char *hard = archive_entry_hardlink(e);
    if (hard != nullptr) {
      rf.rf_hard = member_path(hard);
      if (rf.rf_hard.empty())
        rf.rf_hard = "/";  // names the top, which is never a file
    } else if (S_ISLNK(f.pa_mode)) {
      const char *target = archive_entry_symlink(e);
      sha_buf(target, int32_t(strlen(target)), f.pa_sum);
      if (sha256_buf(target, strlen(target), f.pa_sum256) == nullptr) {
        *err = "out of memory";
        return false;
      }
    } else if (S_ISREG(f.pa_mode) && !entry_sums(a.get(), &f)) {
      break;
    }
    out->push_back(std::move(rf));
  }
  if (r != ARCHIVE_EOF) {
    *err = file + ": " + archive_error_string(a.get());
    return false;
  }
  return true;
}

// Reads the archive at file, once its SHA-256 is one of sums, the
// digests the signed indexes list for it.
bool
deb_read(const std::string &file, const std::vector<std::string> &sums,
         std::vector<raw_file> *out, std::string *err)
{
  std::string sum = file_sha256(file);
  if (std::find(sums.begin(), sums.end(), sum) == sums.end()) {
    *err = file + ": its SHA-256 is not the one the signed index lists";
    return false;
  }
  archive_ptr a(archive_read_new(), archive_read_free);
  archive_read_support_format_ar(a.get());
  if (archive_read_open_filename(a.get(), file.c_str(), 65536) != ARCHIVE_OK) {
    *err = file + ": " + archive_error_string(a.get());
    return false;
  }
  archive_entry *e;
  while (archive_read_next_header(a.get(), &e) == ARCHIVE_OK) {
    if (strncmp(archive_entry_pathname(e), "data.tar", 8) == 0)
      return data_read(a.get(), file, out, err);
  }
  *err = file + ": no data member";
  return false;
}

// The archive's files by host path: each path diverted and its links
// followed, a hard link taking its target's file.
void
deb_settle(pkg_db *db, pkg_archive *ar, const std::vector<raw_file> &raw)
{
  for (const raw_file &rf : raw) {
    pkg_afile f = rf.rf_file;
    if (!rf.rf_hard.empty()) {
      auto t = ar->pr_files.find(std::string(
          pkg_canon_view(db, pkg_located(db, ar->pr_name, rf.rf_hard))));
      if (t != ar->pr_files.end())
        f = t->second;
    }
    ar->pr_files[std::string(pkg_canon_view(
        db, pkg_located(db, ar->pr_name, rf.rf_path)))] = f;
  }
}

// Where an archive of name at version is looked for by its name alone:
// in the repository given with -a, then in apt's cache.
std::vector<std::string>
flat_places(const pkg_db *db, const std::string &name,
            const std::string &version, const std::string &arch)
{
  std::string ver = version;
  for (size_t at; (at = ver.find(':')) != std::string::npos;)
    ver.replace(at, 1, "%3a");
  std::string flat = name + "_" + ver + "_" + arch + ".deb";
  std::vector<std::string> places;
  if (!db->pd_adir.empty())
    places.push_back(db->pd_adir + "/" + flat);
  places.push_back(db->pd_root + "/var/cache/apt/archives/" + flat);
  return places;
}

// Finds the archive of name at version: 1 and its file and the digests
// the signed indexes list for it, 0 when none is at hand or no index
// lists it, -1 with *err when an index does not verify.
int
archive_find(pkg_db *db, const std::string &name, const std::string &version,
             const std::string &arch, std::string *file,
             std::vector<std::string> *sums, std::string *err)
{
  std::vector<std::string> places = flat_places(db, name, version, arch);
  // The indexes are read when an archive may be at hand: one a repository
  // given with -a places by its index, or one of these.
  std::vector<std::pair<std::string, std::string>> listed;
  bool near = !db->pd_adir.empty();
  for (const std::string &p : places)
    near |= access(p.c_str(), R_OK) == 0;
  if (near) {
    if (!index_load(db, err))
      return -1;
    listed = index_find(db, name, version, arch);
  }
  for (auto l = listed.rbegin(); l != listed.rend(); ++l)
    if (!l->second.empty())
      places.insert(places.begin(), l->second);
  file->clear();
  for (const std::string &p : places)
    if (access(p.c_str(), R_OK) == 0) {
      *file = p;
      break;
    }
  // An archive no signed index lists cannot be told from a forged one.
  if (file->empty() || listed.empty())
    return 0;
  for (const auto &l : listed)
    sums->push_back(l.first);
  return 1;
}

std::unique_ptr<pkg_archive>
archive_new(const std::string &name, const std::string &version,
            const std::string &arch, const std::string &file)
{
  auto ar = std::make_unique<pkg_archive>();
  ar->pr_name = name;
  ar->pr_version = version;
  ar->pr_arch = arch;
  ar->pr_file = file;
  return ar;
}

}  // namespace

bool
pkg_archive_near(const pkg_db *db, const std::string &name,
                 const std::string &version, const std::string &arch)
{
  auto hit = db->pd_archives.find(name + " " + version + " " + arch);
  if (hit != db->pd_archives.end())
    return hit->second != nullptr;
  for (const std::string &p : flat_places(db, name, version, arch))
    if (access(p.c_str(), R_OK) == 0)
      return true;
  return false;
}

int
pkg_archive_get(pkg_db *db, const std::string &name, const std::string &version,
                const std::string &arch, const pkg_archive **out,
                std::string *err)
{
  std::string key = name + " " + version + " " + arch;
  auto failed = db->pd_failed.find(key);
  if (failed != db->pd_failed.end()) {
    *err = failed->second;
    return -1;
  }
  auto hit = db->pd_archives.find(key);
  if (hit != db->pd_archives.end()) {
    *out = hit->second.get();
    return *out != nullptr ? 1 : 0;
  }
  std::string file;
  std::vector<std::string> sums;
  int r = archive_find(db, name, version, arch, &file, &sums, err);
  if (r <= 0) {
    if (r == 0)
      db->pd_archives[key] = nullptr;
    *out = nullptr;
    return r;
  }
  std::vector<raw_file> raw;
  if (!deb_read(file, sums, &raw, err))
    return -1;
  auto ar = archive_new(name, version, arch, file);
  deb_settle(db, ar.get(), raw);
  *out = ar.get();
  db->pd_archives[key] = std::move(ar);
  return 1;
}

void
pkg_archive_read_ahead(pkg_db *db, const std::vector<pkg_key> &keys)
{
  struct job {
    const pkg_key *key;
    std::string file, err;
    std::vector<std::string> sums;
    std::vector<raw_file> raw;
    bool ok;
  };
  // The indexes read and searched once for every package wanted.
  std::vector<std::string> names;
  for (const pkg_key &k : keys)
    if (pkg_archive_near(db, k.pk_name, k.pk_version, k.pk_arch) ||
        !db->pd_adir.empty())
      names.push_back(k.pk_name);
  std::string err;
  if (!names.empty()) {
    if (!index_load(db, &err))
      return;  // told when an archive is asked for
    index_scan(db, names);
  }
  std::vector<job> jobs;
  for (const pkg_key &k : keys) {
    std::string key = k.pk_name + " " + k.pk_version + " " + k.pk_arch;
    if (db->pd_archives.count(key) != 0 || db->pd_failed.count(key) != 0)
      continue;
    job j{&k, "", "", {}, {}, false};
    int r = archive_find(db, k.pk_name, k.pk_version, k.pk_arch, &j.file,
                         &j.sums, &err);
    if (r < 0)
      return;  // told when the archive is asked for
    if (r == 0)
      db->pd_archives[key] = nullptr;
    else
      jobs.push_back(std::move(j));
  }
  std::atomic<size_t> next(0);
  auto work = [&jobs, &next] {
    for (size_t i; (i = next++) < jobs.size();)
      jobs[i].ok = deb_read(jobs[i].file, jobs[i].sums, &jobs[i].raw,
                            &jobs[i].err);
  };
  std::vector<std::thread> threads;
  for (int t = 1; t < port_ncpu() && size_t(t) < jobs.size(); t++)
    threads.emplace_back(work);
  work();
  for (std::thread &t : threads)
    t.join();
  for (job &j : jobs) {
    const pkg_key &k = *j.key;
    std::string key = k.pk_name + " " + k.pk_version + " " + k.pk_arch;
    if (!j.ok) {
      db->pd_failed[key] = j.err;
      continue;
    }
    auto ar = archive_new(k.pk_name, k.pk_version, k.pk_arch, j.file);
    deb_settle(db, ar.get(), j.raw);
    db->pd_archives[key] = std::move(ar);
  }
}
