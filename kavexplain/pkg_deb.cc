// pkg_deb.cc: package archives of the dpkg back end. An archive counts only
// when its SHA-256 is the one an apt index lists, and that index's own
// digest is in a Release file whose inline signature gpgv verifies against
// the keyrings apt trusts under the root.
#include <archive.h>
#include <archive_entry.h>
#include <dirent.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string_view>

#include "kavexplain/pkg_int.h"
#include "db/print.h"
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
  int r = archive_read_next_header(a.get(), &e);
  if (r == ARCHIVE_EOF)
    return true;
  if (r != ARCHIVE_OK) {
    errno = EBADMSG;
    return false;
  }
  char buf[65536];
  la_ssize_t n;
  while ((n = archive_read_data(a.get(), buf, sizeof buf)) > 0)
    out->append(buf, size_t(n));
  if (n < 0)
    errno = EBADMSG;
  return n == 0;
}

// Runs gpgv on the inline-signed file with the keyrings; true and the
// signed text when the signature verifies.
bool
gpgv_verify(const std::vector<std::string> &keyrings, const std::string &file,
            std::string *text)
{
  std::vector<std::string> args = {"gpgv", "--quiet"};
  for (const std::string &k : keyrings) {
    args.push_back("--keyring");
    args.push_back(k);
  }
  args.insert(args.end(), {"--output", "-", file});
  std::vector<char *> argv;
  for (std::string &s : args)
    argv.push_back(&s[0]);
  argv.push_back(nullptr);
  // Spawned, not forked: a copy of a large process would cost seconds.
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0)
    return false;
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
  pid_t pid;
  int r = posix_spawnp(&pid, "gpgv", &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  if (r != 0) {
    close(fds[0]);
    close(fds[1]);
    return false;
  }
  close(fds[1]);
  char buf[65536];
  ssize_t n;
  text->clear();
  while ((n = read(fds[0], buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
    if (n > 0)
      text->append(buf, size_t(n));
  close(fds[0]);
  int status;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
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

// Adds the packages of a Packages text to the index. Lists run to tens of
// megabytes: the text is read in place, a line at a time.
void
index_packages(pkg_db *db, std::string_view text, const std::string &base)
{
  std::string_view name, version, arch, sum, file;
  // One more empty line than the text holds ends its last paragraph.
  for (size_t at = 0; at <= text.size() + 1;) {
    std::string_view line;
    if (at < text.size()) {
      size_t nl = text.find('\n', at);
      if (nl == std::string_view::npos)
        nl = text.size();
      line = text.substr(at, nl - at);
      at = nl + 1;
    } else {
      at = text.size() + 2;
    }
    if (line.empty()) {
      if (!name.empty() && !sum.empty())
        db->pd_index[std::string(name) + " " + std::string(version) + " " +
                     std::string(arch)] =
            std::string(sum) + " " + base + std::string(file);
      name = version = arch = sum = file = std::string_view();
      continue;
    }
    size_t colon = line.find(": ");
    if (colon == std::string_view::npos || line[0] == ' ')
      continue;
    std::string_view key = line.substr(0, colon), val = line.substr(colon + 2);
    if (key == "Package") name = val;
    else if (key == "Version") version = val;
    else if (key == "Architecture") arch = val;
    else if (key == "SHA256") sum = val;
    else if (key == "Filename")
      file = val.substr(0, 2) == "./" ? val.substr(2) : val;
  }
}

// Verifies one inline-signed Release file and the indexes beside it that
// it lists: prefix + listed name (with '/' as sep), perhaps recompressed.
bool
index_release(pkg_db *db, const std::vector<std::string> &keys,
              const std::string &release, const std::string &prefix, char sep,
              const std::string &base, std::string *err)
{
  std::string text;
  if (!gpgv_verify(keys, release, &text)) {
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
      index_packages(db, data, base);
      break;
    }
  }
  return true;
}

bool
index_load(pkg_db *db, std::string *err)
{
  if (db->pd_indexed)
    return true;
  std::vector<std::string> keys = keyrings(db);
  if (!db->pd_adir.empty()) {
    std::string rel = db->pd_adir + "/InRelease";
    if (access(rel.c_str(), F_OK) == 0 &&
        !index_release(db, keys, rel, db->pd_adir + "/", '/',
                       db->pd_adir + "/", err))
      return false;
  }
  std::string lists = db->pd_root + "/var/lib/apt/lists/";
  for (const std::string &n : dir_names(lists)) {
    if (!ends_with(n, "_InRelease"))
      continue;
    std::string prefix = lists + n.substr(0, n.size() - 9);
    if (!index_release(db, keys, lists + n, prefix, '_', "", err))
      return false;
  }
  db->pd_indexed = true;
  return true;
}

// Reads the data member's files into ar.
struct outer_read {
  archive *a;
  char buf[65536];
};

la_ssize_t
outer_cb(archive *, void *arg, const void **out)
{
  outer_read *o = static_cast<outer_read *>(arg);
  *out = o->buf;
  return archive_read_data(o->a, o->buf, sizeof o->buf);
}

bool
data_read(pkg_db *db, archive *outer, pkg_archive *ar, std::string *err)
{
  auto o = std::make_unique<outer_read>();
  o->a = outer;
  archive_ptr a(archive_read_new(), archive_read_free);
  archive_read_support_filter_all(a.get());
  archive_read_support_format_tar(a.get());
  if (archive_read_open(a.get(), o.get(), nullptr, outer_cb, nullptr) !=
      ARCHIVE_OK) {
    *err = ar->pr_file + ": " + archive_error_string(a.get());
    return false;
  }
  archive_entry *e;
  int r;
  char buf[65536];
  while ((r = archive_read_next_header(a.get(), &e)) == ARCHIVE_OK) {
    std::string path = archive_entry_pathname(e);
    if (path.compare(0, 1, ".") == 0)
      path.erase(0, 1);
    while (path.size() > 1 && path.back() == '/')
      path.pop_back();
    if (path.empty() || path == "/")
      continue;
    pkg_afile f;
    memset(&f, 0, sizeof f);
    f.pa_mode = uint16_t(archive_entry_mode(e));
    f.pa_uid = uint32_t(archive_entry_uid(e));
    f.pa_gid = uint32_t(archive_entry_gid(e));
    std::string at = pkg_canon(db, pkg_located(db, ar->pr_name, path));
    const char *hard = archive_entry_hardlink(e);
    if (hard != nullptr) {
      std::string to = hard;
      if (to.compare(0, 1, ".") == 0)
        to.erase(0, 1);
      auto t = ar->pr_files.find(pkg_canon(db, pkg_located(db, ar->pr_name, to)));
      if (t != ar->pr_files.end())
        f = t->second;
    } else if (S_ISLNK(f.pa_mode)) {
      const char *target = archive_entry_symlink(e);
      sha_buf(target, int32_t(strlen(target)), f.pa_sum);
      if (sha256_buf(target, strlen(target), f.pa_sum256) == nullptr) {
        *err = "out of memory";
        return false;
      }
    } else if (S_ISREG(f.pa_mode)) {
      sha1_ctx ctx;
      sha1_init(&ctx);
      sha256_ctx ctx256;
      if (sha256_init(&ctx256) != 0) {
        *err = "out of memory";
        return false;
      }
      la_ssize_t n;
      while ((n = archive_read_data(a.get(), buf, sizeof buf)) > 0) {
        sha1_update(&ctx, buf, int32_t(n));
        sha256_update(&ctx256, buf, size_t(n));
      }
      if (n < 0) {
        sha256_free(&ctx256);
        break;
      }
      sha1_final(&ctx, f.pa_sum);
      sha256_final(&ctx256, f.pa_sum256);
    }
    ar->pr_files[at] = f;
  }
  if (r != ARCHIVE_EOF) {
    *err = ar->pr_file + ": " + archive_error_string(a.get());
    return false;
  }
  return true;
}

bool
deb_read(pkg_db *db, pkg_archive *ar, std::string *err)
{
  archive_ptr a(archive_read_new(), archive_read_free);
  archive_read_support_format_ar(a.get());
  if (archive_read_open_filename(a.get(), ar->pr_file.c_str(), 65536) !=
      ARCHIVE_OK) {
    *err = ar->pr_file + ": " + archive_error_string(a.get());
    return false;
  }
  archive_entry *e;
  int r;
  while ((r = archive_read_next_header(a.get(), &e)) == ARCHIVE_OK) {
    if (strncmp(archive_entry_pathname(e), "data.tar", 8) == 0)
      return data_read(db, a.get(), ar, err);
  }
  *err = ar->pr_file + ": no data member";
  return false;
}

std::string
file_sha256(const std::string &name)
{
  std::string data;
  std::ifstream in(name, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return sha256_of(s.str());
}

}  // namespace

int
pkg_archive_get(pkg_db *db, const std::string &name, const std::string &version,
                const std::string &arch, const pkg_archive **out,
                std::string *err)
{
  std::string key = name + " " + version + " " + arch;
  auto hit = db->pd_archives.find(key);
  if (hit != db->pd_archives.end()) {
    *out = hit->second.get();
    return *out != nullptr ? 1 : 0;
  }
  std::string ver = version;
  for (size_t at; (at = ver.find(':')) != std::string::npos;)
    ver.replace(at, 1, "%3a");
  std::string flat = name + "_" + ver + "_" + arch + ".deb";
  std::vector<std::string> places;
  if (!index_load(db, err))
    return -1;
  auto listed = db->pd_index.find(key);
  if (listed != db->pd_index.end() && !db->pd_adir.empty())
    places.push_back(listed->second.substr(listed->second.find(' ') + 1));
  if (!db->pd_adir.empty())
    places.push_back(db->pd_adir + "/" + flat);
  places.push_back(db->pd_root + "/var/cache/apt/archives/" + flat);
  auto ar = std::make_unique<pkg_archive>();
  for (const std::string &p : places)
    if (!p.empty() && access(p.c_str(), R_OK) == 0) {
      ar->pr_file = p;
      break;
    }
  // An archive no signed index lists cannot be told from a forged one.
  if (ar->pr_file.empty() || listed == db->pd_index.end()) {
    db->pd_archives[key] = nullptr;
    *out = nullptr;
    return 0;
  }
  std::string want = listed->second.substr(0, listed->second.find(' '));
  if (file_sha256(ar->pr_file) != want) {
    *err = ar->pr_file + ": its SHA-256 is not the one the signed index lists";
    return -1;
  }
  ar->pr_name = name;
  ar->pr_version = version;
  ar->pr_arch = arch;
  if (!deb_read(db, ar.get(), err))
    return -1;
  *out = ar.get();
  db->pd_archives[key] = std::move(ar);
  return 1;
}
