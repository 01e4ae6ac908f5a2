// accept.cc: which changed paths a new baseline takes from the newer
// snapshot, and the baseline written from the tree.
#include "kavaccept/accept.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "cmp/cmp.h"
#include "db/print.h"
#include "diag/diag.h"

namespace {

bool
changed(const ft_node *node)
{
  db_rec recs[2];
  return cmp_change(node, recs) != DB_KIND_NONE;
}

int
pick_changed(ft_node *node, void *arg)
{
  if (changed(node))
    static_cast<acc_take *>(arg)->emplace(node->ftn_path);
  return 0;
}

// Whether node or any node below it holds a record; the changed ones go
// into take. The children need not be in order for that.
bool
pick_below(const ft_node *node, acc_take *take)
{
  bool held = node->ftn_data != nullptr;
  if (changed(node))
    take->emplace(node->ftn_path);
  for (uint32_t i = 0; i < node->ftn_nchild; i++)
    held |= pick_below(&node->ftn_child[i], take);
  return held;
}

// The node of exactly path: the tree's lookup would also find a path
// spelt with a trailing or a doubled slash, or one cut to fit.
ft_node *
lookup_exact(ft_tree *tree, const std::string &path)
{
  ft_node *node = ft_lookup(tree, path.c_str(), nullptr);
  if (node == nullptr || path != node->ftn_path)
    return nullptr;
  return node;
}

struct writer {
  const acc_take *take;
  db_handle *db;
  std::vector<uint8_t> frame;
};

int
write_node(ft_node *node, void *arg)
{
  writer *w = static_cast<writer *>(arg);
  if (node->ftn_data == nullptr)
    return 0;
  const db_rec *held = static_cast<const db_rec *>(node->ftn_data);
  uint16_t kind = node->ftn_kind;
  bool take = kind != DB_KIND_UNCHANGED && w->take->count(node->ftn_path) > 0;
  // The older record comes first in every payload; a new path holds only
  // the newer one.
  const db_rec *rec = &held[0];
  if (kind == DB_KIND_CHANGED && take)
    rec = &held[1];
  else if ((kind == DB_KIND_DELETED && take) || (kind == DB_KIND_NEW && !take))
    return 0;
  uint32_t len = db_frame_pack(rec, 1, w->frame.data());
  return db_argput(w->db, node->ftn_path, len, DB_KIND_SNAP, w->frame.data());
}

struct copier {
  db_handle *db;
  int werr;  // errno of the refused frame, or 0
};

int
copy_frame(const db_frame *fr, const void *data, void *arg)
{
  copier *c = static_cast<copier *>(arg);
  if (db_put(c->db, fr, data) == 0)
    return 0;
  c->werr = errno;
  return 1;
}

}  // namespace

void
acc_pick_all(ft_tree *tree, acc_take *take)
{
  ft_traverse(tree, pick_changed, take);
}

void
acc_pick_explained(const std::vector<xp_path> &paths, acc_take *take)
{
  for (const xp_path &p : paths)
    if (p.xp_verdict == XP_PACKAGE || p.xp_verdict == XP_MOVED)
      take->insert(p.xp_name);
}

bool
acc_pick_paths(ft_tree *tree, const std::vector<std::string> &given,
               acc_take *take, std::string *err)
{
  for (const std::string &p : given) {
    if (p.empty() || p[0] != '/') {
      *err = p + ": not an absolute path";
      return false;
    }
    bool found;
    bool dir = p.size() > 1 && p.back() == '/';
    if (p == "/" || dir) {
      ft_node *node = lookup_exact(tree, dir ? p.substr(0, p.size() - 1) : p);
      found = node != nullptr && pick_below(node, take);
    } else {
      ft_node *node = lookup_exact(tree, p);
      found = node != nullptr && node->ftn_data != nullptr;
      if (found && changed(node))
        take->insert(p);
    }
    if (!found) {
      *err = p + ": in neither snapshot";
      return false;
    }
  }
  return true;
}

bool
acc_write(ft_tree *tree, const acc_take &take, db_handle *db, const char *out,
          std::string *err)
{
  writer w = {&take, db, std::vector<uint8_t>(DB_REC_LEN + DB_EXT_MAX)};
  if (ft_traverse(tree, write_node, &w) == 0)
    return true;
  *err = diag_sys_text("db_put()", out);
  return false;
}

bool
acc_copy(const char *file, db_handle *db, const char *out, std::string *err)
{
  // One record and its extension, as cmp_load reads a snapshot.
  std::vector<uint8_t> data(DB_REC_LEN + DB_EXT_MAX);
  copier c = {db, 0};
  int r = db_readall(file, copy_frame, &c, data.data(), data.size());
  if (r == 0)
    return true;
  if (r > 0) {  // the copy refused a frame
    errno = c.werr;
    *err = diag_sys_text("db_put()", out);
  } else {
    *err = diag_sys_text("db_readall()", file);
  }
  return false;
}

bool
acc_file_sha256(const char *name, char hex[2 * SHA256_LEN + 1],
                std::string *err)
{
  int fd = open(name, O_RDONLY | O_CLOEXEC);
  sha256_ctx ctx;
  if (fd < 0 || sha256_init(&ctx) != 0) {
    *err = diag_sys_text("acc_file_sha256()", name);
    if (fd >= 0)
      close(fd);
    return false;
  }
  std::vector<uint8_t> buf(1 << 16);
  ssize_t n;
  do {
    n = read(fd, buf.data(), buf.size());
    if (n > 0)
      sha256_update(&ctx, buf.data(), size_t(n));
  } while (n > 0 || (n < 0 && errno == EINTR));
  if (n < 0) {
    *err = diag_sys_text("acc_file_sha256()", name);
    sha256_free(&ctx);
    close(fd);
    return false;
  }
  close(fd);
  uint8_t sum[SHA256_LEN];
  sha256_final(&ctx, sum);
  hex_encode(sum, hex, int(2 * SHA256_LEN));
  return true;
}
