// fetch.cc: one snapshot and its companions read from "send" in the framed
// form of kavcollect(8):
//
//   kavsend 1\n
//   member NAME SIZE\n   then SIZE bytes: the snapshot first, then
//   member NAME.sig SIZE\n   its signature and package records, if any
//   end\n
//
// where "delta NAME BASE SIZE\n" may stand for the snapshot's member line
// when a difference was asked for; and its signature checked with
// ssh-keygen(1).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "delta/delta.h"
#include "kavcollect/store.h"
#include "store/sign.h"

namespace {

constexpr size_t HEAD_MAX = 256;

// The session's output through a buffer: header lines and member bytes.
struct reader {
  ssh_session *r_s;
  char r_buf[1 << 16];
  size_t r_pos, r_len;
  uint64_t r_total;  // bytes read from the session
  bool r_eof;
};

bool
fill(reader *r, std::string *err)
{
  if (r->r_pos < r->r_len)
    return true;
  ssize_t n = ssh_read(r->r_s, r->r_buf, sizeof r->r_buf);
  if (n < 0) {
    *err = errno == ETIMEDOUT
               ? "no answer within the time limit"
               : std::string("reading from ssh: ") + strerror(errno);
    return false;
  }
  r->r_pos = 0;
  r->r_len = size_t(n);
  r->r_total += uint64_t(n);
  r->r_eof = n == 0;
  return n > 0;
}

bool
read_line(reader *r, std::string *line, std::string *err)
{
  line->clear();
  while (line->size() <= HEAD_MAX) {
    if (!fill(r, err)) {
      if (r->r_eof)
        *err = "send: the framed form is cut short";
      return false;
    }
    char c = r->r_buf[r->r_pos++];
    if (c == '\n')
      return true;
    *line += c;
  }
  *err = "send: not a line of the framed form";
  return false;
}

bool
write_all(int fd, const char *p, size_t n, std::string *err)
{
  for (size_t done = 0; done < n;) {
    ssize_t w = write(fd, p + done, n - done);
    if (w < 0 && errno == EINTR)
      continue;
    if (w < 0) {
      *err = std::string("writing the store: ") + strerror(errno);
      return false;
    }
    done += size_t(w);
  }
  return true;
}

// Appends n bytes to *into when it is given, else copies them into fd;
// into sha as well when it is given.
bool
read_member(reader *r, uint64_t n, int fd, sha256_ctx *sha, std::string *err,
            std::string *into = nullptr)
{
  while (n > 0) {
    if (!fill(r, err)) {
      if (r->r_eof)
        *err = "send: a member is cut short";
      return false;
    }
    size_t k = r->r_len - r->r_pos;
    if (k > n)
      k = size_t(n);
    const char *p = r->r_buf + r->r_pos;
    if (sha != nullptr)
      sha->update(p, k);
    if (into != nullptr)
      into->append(p, k);
    else if (!write_all(fd, p, k, err))
      return false;
    r->r_pos += k;
    n -= k;
  }
  return true;
}

struct tmp_files {
  std::string tf_tmp[COLLECT_MEMBERS];  // by member index; empty: none came
  bool tf_same_records = false;         // the records are byte for byte base's
  ~tmp_files()
  {
    for (const std::string &t : tf_tmp)
      if (!t.empty())
        unlink(t.c_str());
  }
};

// bytes rebuilt from a difference into a new temporary file of dir, named
// in *tmp.
store_got
put_tmp(const std::string &dir, const std::string &bytes, std::string *tmp,
        std::string *err)
{
  int fd;
  if (!store_tmp_open(dir, &fd, tmp, err))
    return STORE_FAILED;
  if (!write_all(fd, bytes.data(), bytes.size(), err)) {
    close(fd);
    return STORE_FAILED;
  }
  return store_tmp_close(fd, *tmp, err) ? STORE_TAKEN : STORE_FAILED;
}

// The snapshot sent as a difference from base, rebuilt and checked, into
// a temporary file.
store_got
receive_diff(reader *r, const std::string &dir, const snap_entry &want,
             const store_base &base, uint64_t size, tmp_files *tf,
             std::string *err)
{
  std::string d, bytes, why, got;
  if (!read_member(r, size, -1, nullptr, err, &d))
    return STORE_FAILED;
  const std::string what = "send: " + want.se_name + " as a difference from " +
                           base.sb_entry.se_name;
  if (!delta_apply(base.sb_bytes, d, want.se_size, &bytes, &why)) {
    *err = what + " cannot be rebuilt: " + why + "; refused";
    return STORE_BAD_DIFF;
  }
  sha256_ctx sha;
  sha.update(bytes.data(), bytes.size());
  if (!sha.final(&got)) {
    *err = "SHA-256 failed";
    return STORE_FAILED;
  }
  if (got != want.se_sha) {
    *err = what + " does not rebuild to the SHA-256 listed; refused";
    return STORE_BAD_DIFF;
  }
  return put_tmp(dir, bytes, &tf->tf_tmp[0], err);
}

// The package records sent as a difference from base's, rebuilt and
// checked against the size and SHA-256 their head states, into a
// temporary file.
store_got
receive_records_diff(reader *r, const std::string &dir, const store_base &base,
                     uint64_t size, uint64_t length, const std::string &sha,
                     tmp_files *tf, std::string *err)
{
  std::string d, bytes, why, got;
  if (!read_member(r, size, -1, nullptr, err, &d))
    return STORE_FAILED;
  const std::string what = "send: the package records as a difference from " +
                           base.sb_entry.se_name + COLLECT_COMPANIONS[1];
  if (!base.sb_has_records) {
    *err = what + ", which the store does not hold; refused";
    return STORE_BAD_DIFF;
  }
  if (!delta_apply(base.sb_records, d, length, &bytes, &why)) {
    *err = what + " cannot be rebuilt: " + why + "; refused";
    return STORE_BAD_DIFF;
  }
  sha256_ctx ctx;
  ctx.update(bytes.data(), bytes.size());
  if (!ctx.final(&got)) {
    *err = "SHA-256 failed";
    return STORE_FAILED;
  }
  if (got != sha) {
    *err = what + " do not rebuild to the SHA-256 stated; refused";
    return STORE_BAD_DIFF;
  }
  tf->tf_same_records = bytes == base.sb_records;
  return put_tmp(dir, bytes, &tf->tf_tmp[2], err);
}

// The framed form into temporary files. STORE_SET_ASIDE when a companion
// is over its bound: the snapshot, already received as listed, is what the
// host serves under that name, and it is bad.
store_got
receive(reader *r, const std::string &dir, const snap_entry &want,
        const store_base *base, tmp_files *tf, std::string *err)
{
  std::string line;
  if (!read_line(r, &line, err))
    return STORE_FAILED;
  if (line != "kavsend 1") {
    *err = "send: not the framed form of kavnightly -s";
    return STORE_FAILED;
  }
  int index = -1;
  while (read_line(r, &line, err)) {
    if (line == "end") {
      if (index < 0) {
        *err = "send: no snapshot came";
        return STORE_FAILED;
      }
      if (fill(r, err) || !r->r_eof) {
        *err = "send: bytes after the end";
        return STORE_FAILED;
      }
      return STORE_TAKEN;
    }
    uint64_t size;
    if (base != nullptr && index < 0 && line.compare(0, 6, "delta ") == 0) {
      if (!collect_parse_delta(line, want, base->sb_entry.se_name, &size, err))
        return STORE_FAILED;
      index = 0;
      store_got got = receive_diff(r, dir, want, *base, size, tf, err);
      if (got != STORE_TAKEN)
        return got;
      continue;
    }
    if (base != nullptr && index >= 0 && line.compare(0, 6, "delta ") == 0) {
      uint64_t length;
      std::string sha;
      switch (collect_parse_records_delta(line, want, base->sb_entry.se_name,
                                          &index, &size, &length, &sha, err)) {
        case COLLECT_MEMBER_OK: break;
        case COLLECT_MEMBER_BAD: return STORE_FAILED;
        case COLLECT_MEMBER_BIG: return STORE_SET_ASIDE;
      }
      store_got got =
          receive_records_diff(r, dir, *base, size, length, sha, tf, err);
      if (got != STORE_TAKEN)
        return got;
      continue;
    }
    switch (collect_parse_member(line, want, &index, &size, err)) {
      case COLLECT_MEMBER_OK: break;
      case COLLECT_MEMBER_BAD: return STORE_FAILED;
      case COLLECT_MEMBER_BIG: return STORE_SET_ASIDE;
    }
    int fd;
    if (!store_tmp_open(dir, &fd, &tf->tf_tmp[index], err))
      return STORE_FAILED;
    sha256_ctx sha;
    // Records of base's size are read whole first, to be compared.
    std::string records;
    bool compare = index == 2 && base != nullptr && base->sb_has_records &&
                   size == base->sb_records.size();
    if (!read_member(r, size, fd, index == 0 ? &sha : nullptr, err,
                     compare ? &records : nullptr) ||
        (compare && !write_all(fd, records.data(), records.size(), err))) {
      close(fd);
      return STORE_FAILED;
    }
    tf->tf_same_records |= compare && records == base->sb_records;
    if (!store_tmp_close(fd, tf->tf_tmp[index], err))
      return STORE_FAILED;
    std::string got;
    if (index == 0 && (!sha.final(&got) || got != want.se_sha)) {
      *err = "send: " + want.se_name +
             " is not what the host listed: it changed on the host meanwhile";
      return STORE_FAILED;
    }
  }
  return STORE_FAILED;
}

// The snapshot, as listed, fails a check: what came of it goes to bad/.
store_got
set_aside(const std::string &dir, const snap_entry &want, tmp_files *tf,
          const std::string &why, std::vector<snap_entry> *aside,
          std::string *err)
{
  std::vector<std::string> from(tf->tf_tmp, tf->tf_tmp + COLLECT_MEMBERS);
  std::vector<std::string> to = {"", COLLECT_COMPANIONS[0],
                                 COLLECT_COMPANIONS[1]};
  if (!store_set_aside(dir, want, from, to, why, aside, err))
    return STORE_FAILED;
  for (std::string &t : tf->tf_tmp)
    t.clear();
  *err = why;
  return STORE_SET_ASIDE;
}

}  // namespace

void
store_base_records(const std::string &dir, store_base *base)
{
  base->sb_records.clear();
  base->sb_has_records = false;
  std::string path = dir + "/" + base->sb_entry.se_name + COLLECT_COMPANIONS[1];
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0)
    return;
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
      uint64_t(st.st_size) <= COLLECT_PKG_MAX) {
    base->sb_records.resize(size_t(st.st_size));
    size_t at = 0;
    while (at < base->sb_records.size()) {
      ssize_t n = read(fd, &base->sb_records[at], base->sb_records.size() - at);
      if (n < 0 && errno == EINTR)
        continue;
      if (n <= 0)
        break;
      at += size_t(n);
    }
    base->sb_has_records = at == base->sb_records.size();
  }
  close(fd);
  if (!base->sb_has_records)
    base->sb_records.clear();
}

collect_member
collect_parse_member(const std::string &line, const snap_entry &want,
                     int *index, uint64_t *size, std::string *err)
{
  size_t sp = line.rfind(' ');
  if (line.compare(0, 7, "member ") != 0 || sp == std::string::npos ||
      sp <= 7 || sp + 1 == line.size() || line.size() - sp - 1 > 15 ||
      strspn(line.c_str() + sp + 1, "0123456789") != line.size() - sp - 1) {
    *err = "send: not a member line";
    return COLLECT_MEMBER_BAD;
  }
  std::string name = line.substr(7, sp - 7);
  *size = strtoull(line.c_str() + sp + 1, nullptr, 10);
  int found = -1;
  if (name == want.se_name)
    found = 0;
  for (int i = 0; i < COLLECT_MEMBERS - 1; i++)
    if (name == want.se_name + COLLECT_COMPANIONS[i])
      found = i + 1;
  if (found < 0 || found <= *index || (found > 0 && *index < 0)) {
    *err = "send: member out of place or not asked for";
    return COLLECT_MEMBER_BAD;
  }
  *index = found;
  if (found == 0) {
    if (*size == want.se_size)
      return COLLECT_MEMBER_OK;
    *err = "send: " + want.se_name + " is not of the size listed";
    return COLLECT_MEMBER_BAD;
  }
  uint64_t max = found == 1 ? COLLECT_SIG_MAX : COLLECT_PKG_MAX;
  if (*size <= max)
    return COLLECT_MEMBER_OK;
  *err = "member " + name + " of " + std::to_string(*size) +
         " bytes, over its bound of " + std::to_string(max) + "; refused";
  return COLLECT_MEMBER_BIG;
}

bool
collect_parse_delta(const std::string &line, const snap_entry &want,
                    const std::string &base, uint64_t *size, std::string *err)
{
  const std::string head = "delta " + want.se_name + " " + base + " ";
  size_t n = line.size() - head.size();
  if (line.size() <= head.size() || line.compare(0, head.size(), head) != 0 ||
      n > 15 || strspn(line.c_str() + head.size(), "0123456789") != n) {
    *err = "send: not the difference asked for";
    return false;
  }
  *size = strtoull(line.c_str() + head.size(), nullptr, 10);
  if (*size > want.se_size) {
    *err = "send: a difference of " + want.se_name + " larger than the " +
           "snapshot listed";
    return false;
  }
  return true;
}

collect_member
collect_parse_records_delta(const std::string &line, const snap_entry &want,
                            const std::string &base, int *index, uint64_t *size,
                            uint64_t *length, std::string *sha,
                            std::string *err)
{
  const std::string head = "delta " + want.se_name + COLLECT_COMPANIONS[1] +
                           " " + base + COLLECT_COMPANIONS[1] + " ";
  if (line.compare(0, head.size(), head) != 0 || *index >= 2) {
    *err = "send: not the difference asked for";
    return COLLECT_MEMBER_BAD;
  }
  // SIZE LENGTH SHA256: two numbers of at most 15 digits, 64 hex digits.
  const char *p = line.c_str() + head.size();
  size_t a = strspn(p, "0123456789");
  size_t b = p[a] == ' ' ? strspn(p + a + 1, "0123456789") : 0;
  const char *hex = p + a + 1 + b + 1;
  if (a == 0 || a > 15 || b == 0 || b > 15 || p[a + 1 + b] != ' ' ||
      strspn(hex, "0123456789abcdef") != 64 || hex[64] != '\0') {
    *err = "send: not the difference asked for";
    return COLLECT_MEMBER_BAD;
  }
  *size = strtoull(p, nullptr, 10);
  *length = strtoull(p + a + 1, nullptr, 10);
  sha->assign(hex, 64);
  *index = 2;
  if (*length > COLLECT_PKG_MAX) {
    *err = "member " + want.se_name + COLLECT_COMPANIONS[1] + " of " +
           std::to_string(*length) + " bytes, over its bound of " +
           std::to_string(COLLECT_PKG_MAX) + "; refused";
    return COLLECT_MEMBER_BIG;
  }
  if (*size > *length) {
    *err = "send: a difference of " + want.se_name + COLLECT_COMPANIONS[1] +
           " larger than what it makes";
    return COLLECT_MEMBER_BAD;
  }
  return COLLECT_MEMBER_OK;
}

st_check
store_verify(const std::string &path, const std::string &sig,
             const std::string &signers, std::string *err)
{
  st_signer s;
  s.sg_keygen = "ssh-keygen";
  s.sg_signers = signers;
  std::string why;
  st_check c = st_verify(s, path, sig, &why);
  switch (c) {
    case ST_SIG_GOOD: return c;
    case ST_SIG_MISSING:
      *err = path +
             ": NO SIGNATURE, and the store has allowed signers for the host";
      return c;
    case ST_SIG_NO_SIGNER:
      *err = path + ": BAD SIGNATURE: made by no signer that " + signers +
             " allows";
      return c;
    case ST_SIG_BAD:
      *err = path + ": BAD SIGNATURE: the snapshot may have been altered";
      return c;
    case ST_SIG_FAILED: break;
  }
  // The caller renames the path at the head of the message.
  *err = why.compare(0, path.size() + 1, path + ":") == 0 ? why
                                                          : path + ": " + why;
  return c;
}

store_got
store_fetch(const collect_opts *o, const char *host, const std::string &ctl,
            const std::string &dir, const snap_entry &want, store_base *base,
            const std::string &signers, time_t deadline,
            std::vector<snap_entry> *aside, std::string *err)
{
  ssh_session s;
  std::string request = "send " + want.se_name;
  if (base != nullptr)
    request += " since " + base->sb_entry.se_name + " " + base->sb_entry.se_sha;
  if (!ssh_start(&s, o, host, ctl, request.c_str(), deadline, err))
    return STORE_FAILED;
  std::unique_ptr<reader> r(new reader);
  r->r_s = &s;
  r->r_pos = r->r_len = 0;
  r->r_total = 0;
  r->r_eof = false;
  tmp_files tf;
  std::string fault;
  store_got got = receive(r.get(), dir, want, base, &tf, &fault);
  // A stream that ended is ssh's to explain (a refusal, a lost
  // connection); one cut off here is not wanted any longer, and a member
  // over its bound is not read at all.
  bool abandon = got != STORE_TAKEN && !r->r_eof;
  std::string ended;
  bool clean = ssh_finish(&s, abandon, &ended);
  // A kavnightly that does not know the request refuses it: an error and
  // not a byte on stdout. The exit status is the command's (ssh's own
  // failures are 255): the snapshot is asked whole.
  if (base != nullptr && got == STORE_FAILED && r->r_total == 0 && !clean &&
      s.ss_code > 0 && s.ss_code < 255) {
    base->sb_unknown = true;
    return store_fetch(o, host, ctl, dir, want, nullptr, signers, deadline,
                       aside, err);
  }
  if (got == STORE_BAD_DIFF) {
    *err = fault;
    return got;
  }
  if (got == STORE_SET_ASIDE)
    return set_aside(dir, want, &tf, fault, aside, err);
  if (got != STORE_TAKEN || !clean) {
    *err = abandon || clean ? fault : ended;
    return STORE_FAILED;
  }
  std::string snap = dir + "/" + want.se_name;
  if (!signers.empty()) {
    // Checked under the temporary names, before anything takes the
    // snapshot's: the signature covers the bytes, not the name.
    if (tf.tf_tmp[1].empty())
      return set_aside(dir, want, &tf,
                       "NO SIGNATURE came, and the store has allowed "
                       "signers for the host",
                       aside, err);
    if (rename(tf.tf_tmp[1].c_str(), (tf.tf_tmp[0] + ".sig").c_str()) != 0) {
      *err = std::string("rename: ") + strerror(errno);
      return STORE_FAILED;
    }
    tf.tf_tmp[1] = tf.tf_tmp[0] + ".sig";
    std::string why;
    st_check c = store_verify(tf.tf_tmp[0], "", signers, &why);
    if (c != ST_SIG_GOOD)
      why = why.substr(tf.tf_tmp[0].size());  // it begins with the path
    if (c == ST_SIG_FAILED) {
      *err = snap + why;
      return STORE_FAILED;
    }
    if (c != ST_SIG_GOOD)
      return set_aside(dir, want, &tf, why.substr(why.find_first_not_of(": ")),
                       aside, err);
  }
  // Loaded whole once here, so that every snapshot of the history is one
  // a comparison can load.
  std::string why;
  if (!collect_check(tf.tf_tmp[0], &why))
    return set_aside(dir, want, &tf, "cannot be loaded: " + why, aside, err);
  // Records the same as the base's are kept as a link to its file: a
  // quiet night keeps no copy of its own. The copy stays when no link can
  // be made.
  if (tf.tf_same_records && !tf.tf_tmp[2].empty()) {
    std::string linked = tf.tf_tmp[2] + ".same";
    std::string from = dir + "/" + base->sb_entry.se_name +
                       COLLECT_COMPANIONS[1];
    if (link(from.c_str(), linked.c_str()) == 0) {
      unlink(tf.tf_tmp[2].c_str());
      tf.tf_tmp[2] = linked;
    }
  }
  for (int i = COLLECT_MEMBERS - 1; i >= 0; i--) {
    if (tf.tf_tmp[i].empty())
      continue;
    std::string to = snap + (i == 0 ? "" : COLLECT_COMPANIONS[i - 1]);
    if (rename(tf.tf_tmp[i].c_str(), to.c_str()) != 0) {
      *err = to + ": " + strerror(errno);
      return STORE_FAILED;
    }
    tf.tf_tmp[i].clear();
  }
  return store_sync_dir(dir, err) ? STORE_TAKEN : STORE_FAILED;
}
