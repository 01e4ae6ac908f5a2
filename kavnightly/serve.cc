// serve.cc: a collector's request answered from the database directory.
#include "kavnightly/serve.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "db/print.h"
#include "delta/delta.h"
#include "sha256/sha256.h"

namespace {

// What is sent of the snapshot besides itself, in the order of sending.
constexpr const char *SENT[] = {".sig", ".pkg"};

bool
write_all(int out, const char *p, size_t n, std::string *err)
{
  while (n > 0) {
    ssize_t w = write(out, p, n);
    if (w > 0) {
      p += w;
      n -= size_t(w);
    } else if (w == 0 || errno != EINTR) {
      *err = std::string("stdout: ") + strerror(w == 0 ? EIO : errno);
      return false;
    }
  }
  return true;
}

bool
write_str(int out, const std::string &s, std::string *err)
{
  return write_all(out, s.data(), s.size(), err);
}

// One file to send, held open from before the answer begins.
struct member {
  std::string m_name;
  int m_fd;
  off_t m_size;
};

// Opens name of d and adds it to ms; one that is not there as a regular
// file is left out, unless it is required.
bool
member_open(const st_dir &d, const std::string &name, bool required,
            std::vector<member> *ms, std::string *err)
{
  int fd = openat(d.sd_fd, name.c_str(),
                  O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  struct stat st;
  if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    ms->push_back({name, fd, st.st_size});
    return true;
  }
  int e = fd < 0 ? errno : EINVAL;
  if (fd >= 0)
    close(fd);
  if (!required && (e == ENOENT || e == ELOOP || e == EINVAL))
    return true;
  *err = d.sd_path + "/" + name +
         ": cannot read: " + (e == EINVAL ? "not a regular file" : strerror(e));
  return false;
}

// The member's head and exactly its size in bytes, as fstat gave it when
// it was opened.
bool
member_send(const st_dir &d, const member &m, int out, std::string *err)
{
  if (!write_str(out,
                 "member " + m.m_name + " " + std::to_string(m.m_size) + "\n",
                 err))
    return false;
  char buf[1 << 16];
  off_t left = m.m_size;
  while (left > 0) {
    size_t want = left < off_t(sizeof buf) ? size_t(left) : sizeof buf;
    ssize_t n = read(m.m_fd, buf, want);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0) {
      *err = d.sd_path + "/" + m.m_name + ": cannot read: " +
             (n == 0 ? "cut short while it was sent" : strerror(errno));
      return false;
    }
    if (!write_all(out, buf, size_t(n), err))
      return false;
    left -= n;
  }
  return true;
}

nt_served
serve_list(const st_dir &d, int out, std::string *err)
{
  std::vector<std::string> names;
  if (!st_list(d, &names, err))
    return NT_FAILED;
  std::string answer;
  for (const std::string &name : names) {
    std::string hex;
    off_t size;
    if (!st_sha256(d, name, &hex, &size, err))
      return NT_FAILED;
    answer += name + " " + std::to_string(size) + " " + hex + "\n";
  }
  return write_str(out, answer, err) ? NT_SERVED : NT_FAILED;
}

std::string
sha256_hex(const std::string &bytes)
{
  uint8_t sum[SHA256_LEN];
  char hex[2 * SHA256_LEN + 1];
  sha256_buf(bytes.data(), bytes.size(), sum);
  hex_encode(sum, hex, int(2 * SHA256_LEN));
  return std::string(hex, 2 * SHA256_LEN);
}

// The bytes of m, as fstat gave their size when it was opened.
bool
member_read(const member &m, std::string *bytes)
{
  bytes->assign(size_t(m.m_size), '\0');
  for (size_t at = 0; at < bytes->size();) {
    ssize_t n = pread(m.m_fd, &(*bytes)[at], bytes->size() - at, off_t(at));
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    at += size_t(n);
  }
  return true;
}

// The snapshot of m as a difference from base, or "" when it is better
// sent whole: base is not the collector's copy (another SHA-256), cannot
// be read, or the difference would be no smaller than the snapshot. The
// collector checks what it rebuilds; nothing here needs to fail.
std::string
difference(const st_dir &d, const member &m, const std::string &base,
           const std::string &base_sha)
{
  std::string ref, why, target, diff;
  bool missing;
  if (!st_read(d, base, &ref, &missing, &why) || sha256_hex(ref) != base_sha ||
      !member_read(m, &target) || !delta_make(ref, target, &diff, &why) ||
      diff.size() >= target.size())
    return "";
  return diff;
}

// The head and bytes of the package records m of the snapshot as a
// difference from base's, or "" when they are better sent whole (base has
// none, or the difference would be no smaller). The collector knows base's
// records only as it received them, so the head states the size and
// SHA-256 of what the difference must rebuild.
std::string
records_difference(const st_dir &d, const member &m, const std::string &base)
{
  std::string ref, why, target, diff;
  bool missing;
  if (!st_read(d, base + SENT[1], &ref, &missing, &why) ||
      !member_read(m, &target) || !delta_make(ref, target, &diff, &why) ||
      diff.size() >= target.size())
    return "";
  return "delta " + m.m_name + " " + base + SENT[1] + " " +
         std::to_string(diff.size()) + " " + std::to_string(target.size()) +
         " " + sha256_hex(target) + "\n" + diff;
}

nt_served
serve_send(const st_dir &d, const std::string &name, const std::string &base,
           const std::string &base_sha, int out, std::string *err)
{
  std::vector<std::string> names;
  if (!st_list(d, &names, err))
    return NT_FAILED;
  bool found = false, found_base = false;
  for (const std::string &n : names) {
    found |= n == name;
    found_base |= n == base;
  }
  if (!found) {
    *err = name + ": no such snapshot";
    return NT_REFUSED;
  }
  std::vector<member> ms;
  bool ok = member_open(d, name, true, &ms, err);
  for (const char *ext : SENT)
    ok = ok && member_open(d, name + ext, false, &ms, err);
  std::string diff;
  if (ok && found_base)
    diff = difference(d, ms[0], base, base_sha);
  ok = ok && write_str(out, "kavsend 1\n", err);
  size_t from = 0;
  if (ok && !diff.empty()) {
    ok = write_str(out,
                   "delta " + name + " " + base + " " +
                       std::to_string(diff.size()) + "\n",
                   err) &&
         write_str(out, diff, err);
    from = 1;
  }
  for (size_t i = from; i < ms.size(); i++) {
    std::string records;
    if (ok && found_base && ms[i].m_name == name + SENT[1])
      records = records_difference(d, ms[i], base);
    ok = ok && (records.empty() ? member_send(d, ms[i], out, err)
                                : write_str(out, records, err));
  }
  ok = ok && write_str(out, "end\n", err);
  for (const member &m : ms)
    close(m.m_fd);
  return ok ? NT_SERVED : NT_FAILED;
}

// A name as a request may give it: letters, digits and "-", which is
// all a snapshot's name holds.
bool
plain_name(const std::string &s)
{
  if (s.empty())
    return false;
  for (char c : s)
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') ||
          (c >= 'a' && c <= 'z') || c == '-'))
      return false;
  return true;
}

bool
sha_hex(const std::string &s)
{
  if (s.size() != 2 * SHA256_LEN)
    return false;
  for (char c : s)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
      return false;
  return true;
}

}  // namespace

nt_served
nt_serve(st_dir *d, const std::string &request, int wait_s, int out,
         std::string *err)
{
  static const std::string send = "send ";
  static const std::string since = " since ";
  bool list = request == "list";
  std::string name, base, base_sha;
  if (!list) {
    if (request.compare(0, send.size(), send) != 0) {
      *err = "not a request of the collector";
      return NT_REFUSED;
    }
    name = request.substr(send.size());
    // "NAME since BASE SHA256": the words split at single spaces.
    size_t at = name.find(since);
    if (at != std::string::npos) {
      base = name.substr(at + since.size());
      name.erase(at);
      size_t sp = base.find(' ');
      if (sp != std::string::npos) {
        base_sha = base.substr(sp + 1);
        base.erase(sp);
      }
      if (!plain_name(base)) {
        *err = "not a snapshot name";
        return NT_REFUSED;
      }
      if (!sha_hex(base_sha)) {
        *err = "not a SHA-256";
        return NT_REFUSED;
      }
    }
    if (!plain_name(name)) {
      *err = "not a snapshot name";
      return NT_REFUSED;
    }
  }
  // No database directory yet: no run has taken a snapshot to list or send.
  if (d->sd_fd < 0) {
    if (list)
      return NT_SERVED;
    *err = name + ": no such snapshot";
    return NT_REFUSED;
  }
  bool held = d->sd_lock >= 0, busy;
  if (!held && !st_lock(d, true, wait_s, &busy, err))
    return NT_FAILED;
  nt_served r = list ? serve_list(*d, out, err)
                     : serve_send(*d, name, base, base_sha, out, err);
  if (!held && d->sd_lock >= 0) {
    close(d->sd_lock);
    d->sd_lock = -1;
  }
  return r;
}
