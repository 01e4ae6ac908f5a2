// pkg_trust.cc: the trust roots of apt's signed indexes: the keyrings it
// trusts and the sources files whose Signed-By scopes them. Whoever has
// root on the host can rewrite both, so each file is read once, from a
// descriptor, and trusted only when its bytes are the ones the older
// snapshot recorded (the pin); what gpgv then reads is a copy of those
// bytes (pkg_gpgv.cc), never the file again.
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <memory>

#include "pkg/pkg_int.h"
#include "sha1/sha1.h"
#include "sha256/sha256.h"

namespace {

// Keyrings and sources files are kilobytes; a bound keeps a planted
// giant from being read into memory.
constexpr off_t TRUST_FILE_MAX = off_t(16) << 20;

// The characters apt quotes in a list file's name, besides blanks,
// control characters and bytes past ASCII.
constexpr char LIST_QUOTED[] = "\\|{}[]<>\"^~_=!@#$%&*";

// The words of text, split at blanks and, where commas is set, at commas.
std::vector<std::string>
trust_words(std::string_view text, bool commas)
{
  std::vector<std::string> v;
  std::string w;
  for (char c : text) {
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r' ||
        (commas && c == ',')) {
      if (!w.empty())
        v.push_back(std::move(w));
      w.clear();
    } else {
      w += c;
    }
  }
  if (!w.empty())
    v.push_back(std::move(w));
  return v;
}

// A Signed-By value into src: keyring files (absolute paths), armoured
// key blocks, fingerprints.
void
signed_by_take(pkg_source *src, std::string_view value)
{
  src->ps_signed_by = true;
  if (value.find("-----BEGIN PGP PUBLIC KEY BLOCK-----") !=
      std::string_view::npos) {
    src->ps_inline.emplace_back(value);
    return;
  }
  for (const std::string &w : trust_words(value, true)) {
    if (w[0] == '/')
      src->ps_keys.push_back(w);
    else
      src->ps_fingerprint = true;
  }
}

// One line of the one-line form: "deb [opt=val ...] uri suite comp...".
bool
line_parse(std::string_view line, pkg_source *src)
{
  size_t hash = line.find('#');
  if (hash != std::string_view::npos)
    line = line.substr(0, hash);
  std::string_view opts;
  std::string rest(line);
  size_t open = line.find('['), close = line.find(']');
  if (open != std::string_view::npos) {
    if (close == std::string_view::npos || close < open)
      return false;
    opts = line.substr(open + 1, close - open - 1);
    rest = std::string(line.substr(0, open)) + " " +
           std::string(line.substr(close + 1));
  }
  std::vector<std::string> w = trust_words(rest, false);
  if (w.size() < 3 || w[0] != "deb")
    return false;
  src->ps_uri = w[1];
  src->ps_suites = {w[2]};
  for (const std::string &o : trust_words(opts, false)) {
    size_t eq = o.find('=');
    if (eq != std::string::npos && o.compare(0, eq, "signed-by") == 0)
      signed_by_take(src, std::string_view(o).substr(eq + 1));
  }
  return true;
}

// One deb822 paragraph, its fields by name (case as apt: any), each
// value with its continuation lines joined by newlines and a line of
// "." read as empty.
std::vector<pkg_source>
paragraph_parse(const std::vector<std::pair<std::string, std::string>> &fields)
{
  std::vector<std::string> types, uris, suites;
  pkg_source proto;
  bool enabled = true;
  for (const auto &f : fields) {
    std::string key = f.first;
    for (char &c : key)
      c = char(tolower(static_cast<unsigned char>(c)));
    if (key == "types")
      types = trust_words(f.second, false);
    else if (key == "uris")
      uris = trust_words(f.second, false);
    else if (key == "suites")
      suites = trust_words(f.second, false);
    else if (key == "enabled")
      enabled = trust_words(f.second, false) != std::vector<std::string>{"no"};
    else if (key == "signed-by")
      signed_by_take(&proto, f.second);
  }
  std::vector<pkg_source> v;
  if (!enabled || std::find(types.begin(), types.end(), "deb") == types.end())
    return v;
  for (const std::string &u : uris) {
    pkg_source s = proto;
    s.ps_uri = u;
    s.ps_suites = suites;
    v.push_back(std::move(s));
  }
  return v;
}

std::vector<pkg_source>
deb822_parse(std::string_view text)
{
  std::vector<pkg_source> v;
  std::vector<std::pair<std::string, std::string>> fields;
  auto flush = [&v, &fields] {
    for (pkg_source &s : paragraph_parse(fields))
      v.push_back(std::move(s));
    fields.clear();
  };
  for (std::string_view line : pkg_lines(text)) {
    if (!line.empty() && line.back() == '\r')
      line.remove_suffix(1);
    if (!line.empty() && line[0] == '#')
      continue;
    if (line.find_first_not_of(" \t") == std::string_view::npos) {
      flush();
      continue;
    }
    if (line[0] == ' ' || line[0] == '\t') {
      if (fields.empty())
        continue;
      std::string_view more = line.substr(1);
      fields.back().second += '\n';
      if (more != ".")
        fields.back().second += more;
      continue;
    }
    size_t colon = line.find(':');
    if (colon == std::string_view::npos)
      continue;
    std::string_view value = line.substr(colon + 1);
    size_t at = value.find_first_not_of(" \t");
    fields.emplace_back(std::string(line.substr(0, colon)),
                        at == std::string_view::npos
                            ? std::string()
                            : std::string(value.substr(at)));
  }
  flush();
  return v;
}

// Why bytes are not what rec recorded, or "" when they are. Every digest
// the record holds must match, and it must hold one.
std::string
pin_mismatch(const db_rec *rec, const std::string &bytes)
{
  if ((rec->mask & DB_MODE) != 0 && !S_ISREG(rec->mode))
    return "changed since the older snapshot";
  bool any = false;
  if ((rec->mask & DB_CSUM) != 0) {
    uint8_t sum[DB_SUM_LEN];
    sha_buf(bytes.data(), int32_t(bytes.size()), sum);
    if (memcmp(sum, rec->csum, DB_SUM_LEN) != 0)
      return "changed since the older snapshot";
    any = true;
  }
  if ((rec->mask & DB_SHA256) != 0 && rec->ext != nullptr) {
    uint8_t sum[DB_SHA256_LEN];
    if (sha256_buf(bytes.data(), bytes.size(), sum) == nullptr)
      return "out of memory";
    if (memcmp(sum, rec->ext->sha256, DB_SHA256_LEN) != 0)
      return "changed since the older snapshot";
    any = true;
  }
  return any ? "" : "the older snapshot holds no digest of it";
}

// Reads the trust root at host under the root once, from a descriptor
// opened without following a link: true and its bytes when it is
// trusted. A file that is not there is not trusted and not noted; one
// that is there but not trusted gets a note.
bool
trust_read(pkg_db *db, const std::string &host, std::string *bytes)
{
  std::string path = db->pd_root + host;
  auto distrust = [db, &path](const std::string &why) {
    pkg_note_add(db, false, path, path + ": " + why);
    db->pd_untrusted.push_back(path);
    return false;
  };
  // Not blocking: a FIFO planted in its place must not hang the run.
  int fd = open(path.c_str(),
                O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0)
    return errno == ENOENT ? false : distrust(strerror(errno));
  struct stat st;
  bytes->clear();
  bool ok = fstat(fd, &st) == 0;
  std::string why = ok ? "" : strerror(errno);
  if (ok && !S_ISREG(st.st_mode)) {
    ok = false;
    why = "not a regular file";
  } else if (ok && st.st_size > TRUST_FILE_MAX) {
    ok = false;
    why = "larger than 16 MiB";
  }
  char buf[65536];
  ssize_t n = 0;
  while (ok &&
         ((n = read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))) {
    if (n > 0)
      bytes->append(buf, size_t(n));
    if (off_t(bytes->size()) > TRUST_FILE_MAX) {
      ok = false;
      why = "larger than 16 MiB";
    }
  }
  if (ok && n < 0) {
    ok = false;
    why = strerror(errno);
  }
  close(fd);
  if (!ok)
    return distrust(why);
  if (!db->pd_pin)
    return true;
  const db_rec *rec = db->pd_pin(path);
  if (rec == nullptr) {
    // The directory recorded and the file not: it came in between.
    std::string dir = path.substr(0, path.rfind('/'));
    return distrust(db->pd_pin(dir) != nullptr
                        ? "added since the older snapshot"
                        : "the older snapshot does not hold it");
  }
  why = pin_mismatch(rec, *bytes);
  return why.empty() || distrust(why);
}

// The keyring in bytes as gpgv reads it: armour, where there is some,
// taken off.
bool
keyring_bytes(const std::string &bytes, std::string *out)
{
  size_t at = bytes.find_first_not_of(" \t\r\n");
  if (at != std::string::npos && bytes.compare(at, 5, "-----") == 0)
    return pkg_dearmor(bytes, out);
  *out = bytes;
  return true;
}

// The names in dir under the root that end in one of tails, sorted: the
// files apt reads there, whose names hold only letters, digits, '_', '-'
// and '.', and do not start with a dot.
std::vector<std::string>
names_ending(const pkg_db *db, const std::string &dir,
             std::initializer_list<const char *> tails)
{
  std::vector<std::string> v;
  for (const std::string &n : pkg_dir_names(db->pd_root + dir)) {
    if (n.empty() || n[0] == '.' ||
        n.find_first_not_of("abcdefghijklmnopqrstuvwxyz"
                            "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-.") !=
            std::string::npos)
      continue;
    for (const char *t : tails)
      if (n.size() > strlen(t) && pkg_ends_with(n, t)) {
        v.push_back(dir + n);
        break;
      }
  }
  std::sort(v.begin(), v.end());
  return v;
}

}  // namespace

std::vector<pkg_source>
pkg_sources_parse(std::string_view text, bool deb822)
{
  if (deb822)
    return deb822_parse(text);
  std::vector<pkg_source> v;
  for (std::string_view line : pkg_lines(text)) {
    pkg_source s;
    if (line_parse(line, &s))
      v.push_back(std::move(s));
  }
  return v;
}

std::string
pkg_list_prefix(const std::string &uri, const std::string &suite)
{
  if (uri.empty() || suite.empty())
    return "";
  std::string u = uri.back() == '/' ? uri : uri + "/";
  std::string full = suite.back() != '/' ? u + "dists/" + suite
                     : suite == "/"      ? u
                                         : u + suite;
  // The scheme goes, and with it apt's method (http, file, tor+https).
  size_t colon = full.find(':');
  if (colon == std::string::npos || colon == 0 ||
      full.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789+.-") < colon)
    return "";
  std::string rest = full.substr(colon + 1), name;
  if (rest.compare(0, 2, "//") == 0) {
    rest.erase(0, 2);
    size_t slash = rest.find('/');
    std::string host = rest.substr(0, slash);
    rest = slash == std::string::npos ? "" : rest.substr(slash);
    size_t at = host.rfind('@');  // a user and password are no part
    if (at != std::string::npos)
      host.erase(0, at + 1);
    if (host.size() > 1 && host[0] == '[') {
      size_t end = host.find(']');
      if (end != std::string::npos)
        host = host.substr(1, end - 1) + host.substr(end + 1);
    }
    name = host;
  }
  name += rest;
  std::string out;
  for (char c : name) {
    unsigned char b = static_cast<unsigned char>(c);
    if (b <= 0x20 || b >= 0x7f || strchr(LIST_QUOTED, c) != nullptr) {
      char hex[4];
      snprintf(hex, sizeof hex, "%%%02x", b);
      out += hex;
    } else {
      out += c == '/' ? '_' : c;
    }
  }
  if (!out.empty() && out.back() == '_')
    out.pop_back();
  return out;
}

bool
pkg_dearmor(std::string_view text, std::string *out)
{
  out->clear();
  bool any = false;
  enum { OUTSIDE, HEADERS, BODY } state = OUTSIDE;
  std::string b64;
  for (std::string_view line : pkg_lines(text)) {
    while (!line.empty() &&
           (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
      line.remove_suffix(1);
    if (state == OUTSIDE) {
      if (line.compare(0, 15, "-----BEGIN PGP ") == 0) {
        state = HEADERS;
        b64.clear();
      }
      continue;
    }
    // The armour's head ("Comment: ...") ends at an empty line; base64
    // holds no colon.
    if (state == HEADERS) {
      if (line.empty() || line.find(':') != std::string_view::npos) {
        state = line.empty() ? BODY : HEADERS;
        continue;
      }
      state = BODY;
    }
    if (line.compare(0, 5, "-----") == 0) {
      state = OUTSIDE;
      std::string bin(b64.size() * 3 / 4 + 3, '\0');
      std::unique_ptr<EVP_ENCODE_CTX, decltype(&EVP_ENCODE_CTX_free)> ctx(
          EVP_ENCODE_CTX_new(), EVP_ENCODE_CTX_free);
      if (ctx == nullptr)
        return false;
      auto *to = reinterpret_cast<unsigned char *>(&bin[0]);
      int n = 0, tail = 0;
      EVP_DecodeInit(ctx.get());
      if (EVP_DecodeUpdate(ctx.get(), to, &n,
                           reinterpret_cast<const unsigned char *>(b64.data()),
                           int(b64.size())) < 0 ||
          EVP_DecodeFinal(ctx.get(), to + n, &tail) != 1 || n + tail == 0)
        return false;
      out->append(bin, 0, size_t(n + tail));
      any = true;
    } else if (line.empty() || line[0] != '=') {
      b64 += line;  // the line of '=' is a checksum: the signature checks
    }
  }
  return any && state == OUTSIDE;
}

void
pkg_note_add(pkg_db *db, bool failure, const std::string &file,
             const std::string &text)
{
  if (db->pd_noted.insert(file).second)
    db->pd_notes.push_back({failure, text});
  if (db->pd_note_log != nullptr)
    db->pd_note_log->push_back({failure, file, text});
}

pkg_trust
pkg_trust_gather(pkg_db *db)
{
  pkg_trust t;
  // Away, the keyrings given verify every index, and nothing else does.
  if (db->pd_away) {
    t.pt_keys = db->pd_away_keys;
    for (size_t i = 0; i < t.pt_keys.size(); i++)
      t.pt_default.push_back(i);
    return t;
  }
  // The sources, each file trusted or left out whole.
  std::vector<std::string> files = {"/etc/apt/sources.list"};
  for (const std::string &f :
       names_ending(db, "/etc/apt/sources.list.d/", {".list", ".sources"}))
    files.push_back(f);
  std::vector<std::pair<std::string, pkg_source>> sources;  // with their file
  for (const std::string &f : files) {
    std::string bytes;
    if (!trust_read(db, f, &bytes))
      continue;
    for (pkg_source &s : pkg_sources_parse(bytes, pkg_ends_with(f, ".sources")))
      sources.emplace_back(db->pd_root + f, std::move(s));
  }
  // The keyrings they name, each read once.
  std::map<std::string, size_t> by_file;  // SIZE_MAX: not trusted
  auto key_of = [db, &t, &by_file](const std::string &host) {
    auto hit = by_file.find(host);
    if (hit != by_file.end())
      return hit->second;
    std::string bytes;
    pkg_keyring k;
    k.pk_name = db->pd_root + host;
    size_t i = SIZE_MAX;
    if (trust_read(db, host, &bytes)) {
      if (keyring_bytes(bytes, &k.pk_bytes)) {
        i = t.pt_keys.size();
        t.pt_keys.push_back(std::move(k));
      } else {
        pkg_note_add(db, false, k.pk_name, k.pk_name + ": no key block in it");
      }
    }
    by_file[host] = i;
    return i;
  };
  for (const auto &fs : sources) {
    const pkg_source &s = fs.second;
    // A source that names keys by fingerprint alone takes the default
    // keyrings, as apt does; the fingerprint does not narrow them here.
    if (!s.ps_signed_by || (s.ps_keys.empty() && s.ps_inline.empty()))
      continue;
    std::vector<size_t> keys;
    for (const std::string &k : s.ps_keys) {
      size_t i = key_of(k);
      if (i != SIZE_MAX)
        keys.push_back(i);
    }
    for (const std::string &block : s.ps_inline) {
      pkg_keyring k;
      k.pk_name = fs.first;
      if (pkg_dearmor(block, &k.pk_bytes)) {
        keys.push_back(t.pt_keys.size());
        t.pt_keys.push_back(std::move(k));
      }
    }
    for (const std::string &suite : s.ps_suites) {
      std::string prefix = pkg_list_prefix(s.ps_uri, suite);
      if (prefix.empty())
        continue;
      std::vector<size_t> &v = t.pt_scoped[prefix];
      v.insert(v.end(), keys.begin(), keys.end());
    }
  }
  // trusted.gpg and trusted.gpg.d, less those a source names: a key
  // that one source is scoped to verifies no other source's lists.
  std::vector<std::string> defaults = {"/etc/apt/trusted.gpg"};
  for (const std::string &f :
       names_ending(db, "/etc/apt/trusted.gpg.d/", {".gpg", ".asc"}))
    defaults.push_back(f);
  for (const std::string &f : defaults) {
    if (by_file.count(f) != 0)
      continue;
    size_t i = key_of(f);
    if (i != SIZE_MAX)
      t.pt_default.push_back(i);
  }
  return t;
}

bool
pkg_keyring_read(const std::string &file, pkg_keyring *k, std::string *err)
{
  std::string bytes;
  k->pk_name = file;
  if (!pkg_read_file(file, &bytes)) {
    *err = file + ": " + strerror(errno);
    return false;
  }
  if (off_t(bytes.size()) > TRUST_FILE_MAX) {
    *err = file + ": larger than 16 MiB";
    return false;
  }
  if (bytes.empty() || !keyring_bytes(bytes, &k->pk_bytes)) {
    *err = file + ": no key block in it";
    return false;
  }
  return true;
}

const std::vector<size_t> &
pkg_trust_keys(const pkg_trust &t, const std::string &name)
{
  auto hit = t.pt_scoped.find(name);
  return hit != t.pt_scoped.end() ? hit->second : t.pt_default;
}
