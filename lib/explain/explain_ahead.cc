// explain_ahead.cc: what explaining the paths will read, read ahead on
// every core: the archives of the packages that may account for them, and
// the files the dpkg level digests, each read once for every digest.
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>
#include <tuple>

#include "db/print.h"
#include "explain/explain_int.h"
#include "port/port.h"
#include "sha256/sha256.h"

namespace {

// The archives that explaining the paths will read, as far as the claims
// tell: those of the claims tried on a present path, and for a deleted
// path no package claims, those of the versions removed in between.
std::vector<pkg_key>
archive_keys(xp_ctx *c, const std::vector<xp_path> &paths)
{
  std::vector<pkg_key> keys;
  std::string host;
  bool gone = false;
  for (const xp_path &p : paths) {
    if (!xp_host_of(c->xc_root, p.xp_name, &host) || pkg_own_state(host))
      continue;
    std::vector<pkg_claim> claims = pkg_claims(c->xc_db, host, false);
    gone |= p.xp_kind == DB_KIND_DELETED && claims.empty();
    if (p.xp_kind == DB_KIND_DELETED || claims.empty())
      continue;
    size_t before = keys.size();
    for (const pkg_claim &cl : claims)
      if (cl.pc_conffile || xp_install_op(*c, cl.pc_pkg) != nullptr)
        keys.push_back({cl.pc_pkg->pm_name, cl.pc_pkg->pm_version,
                        cl.pc_pkg->pm_arch});
    if (keys.size() == before)
      keys.push_back({claims[0].pc_pkg->pm_name, claims[0].pc_pkg->pm_version,
                      claims[0].pc_pkg->pm_arch});
  }
  for (const auto &entry : c->xc_ops)
    for (const pkg_op &op : entry.second)
      if (gone && !op.po_old.empty() && op.po_old != op.po_new)
        for (const std::string &arch : xp_arches_of(*c, op.po_name))
          keys.push_back({op.po_name, op.po_old, arch});
  // Each once, and only those of a version installed or removed: a
  // package whose files alone are left has no archive of its own.
  pkg_keys_unique(&keys);
  keys.erase(std::remove_if(keys.begin(), keys.end(),
                            [](const pkg_key &k) {
                              return k.pk_version.empty();
                            }),
             keys.end());
  return keys;
}

}  // namespace

void
xp_disk_sums(const std::string &name, uint32_t mask, xp_digest *dd)
{
  dd->xd_done = true;
  dd->xd_ok = false;
  int fd = open(name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0)
    return;
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> m(EVP_MD_CTX_new(),
                                                            EVP_MD_CTX_free);
  EVP_DigestInit_ex(m.get(), EVP_md5(), nullptr);
  sha1_ctx s;
  sha1_init(&s);
  sha256_ctx s256;
  bool want256 = (mask & DB_SHA256) != 0;
  if (want256 && sha256_init(&s256) != 0) {
    close(fd);
    return;
  }
  static thread_local char buf[1 << 17];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) {
    EVP_DigestUpdate(m.get(), buf, size_t(n));
    if (mask & DB_CSUM)
      sha1_update(&s, buf, int32_t(n));
    if (want256)
      sha256_update(&s256, buf, size_t(n));
  }
  close(fd);
  if (n < 0) {
    if (want256)
      sha256_free(&s256);
    return;
  }
  if (want256)
    sha256_final(&s256, dd->xd_sha256);
  unsigned char d[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_DigestFinal_ex(m.get(), d, &len);
  sha1_final(&s, dd->xd_sha1);
  hex_encode(d, dd->xd_md5, int(2 * len));
  dd->xd_ok = true;
}

// The archives first; then the files the dpkg level will read, the
// regular files that a package claims whose archive is not at hand.
void
xp_read_ahead(xp_ctx *c, const std::vector<xp_path> &paths)
{
  pkg_archive_read_ahead(c->xc_db, archive_keys(c, paths));
  if (c->xc_away)
    return;  // the host's files are not here
  std::vector<size_t> todo;
  std::string host;
  for (size_t i = 0; i < paths.size(); i++) {
    const xp_path &p = paths[i];
    const db_rec *now = xp_now(p);
    if (p.xp_kind == DB_KIND_DELETED || !S_ISREG(now->mode) ||
        !xp_host_of(c->xc_root, p.xp_name, &host) || pkg_own_state(host))
      continue;
    for (const pkg_claim &cl : pkg_claims(c->xc_db, host, false)) {
      const pkg_meta *m = cl.pc_pkg;
      if (m->pm_version.empty() ||
          !pkg_archive_near(c->xc_db, m->pm_name, m->pm_version, m->pm_arch)) {
        todo.push_back(i);
        break;
      }
    }
  }
  std::atomic<size_t> next(0);
  auto work = [c, &paths, &todo, &next] {
    for (size_t k; (k = next++) < todo.size();) {
      const xp_path &p = paths[todo[k]];
      xp_disk_sums(p.xp_name, xp_now(p)->mask, &c->xc_disk[todo[k]]);
    }
  };
  std::vector<std::thread> threads;
  for (int t = 1; t < port_ncpu() && size_t(t) < todo.size(); t++)
    threads.emplace_back(work);
  work();
  for (std::thread &t : threads)
    t.join();
}
