// reach.cc: the walk's decisions along one path. Each name is matched
// against the list that governs its directory, with the status the walk
// would read, by the function the walk itself uses.
#include "kavreach/reach.h"

#include <cstring>

#include "db/db.h"
#include "db/print.h"
#include "diag/diag.h"
#include "diag/esc_buf.h"
#include "port/port.h"

namespace {

// The walk's fate for a path: where it stops when it does not reach the
// path, else what it does with the path itself.
struct fate {
  bool reached;
  char stop[DB_PATH_MAX + 1];  // the directory not descended into
  pcl_step step;
};

bool
is_dot(const char *n, size_t len)
{
  return (len == 1 && n[0] == '.') || (len == 2 && n[0] == '.' && n[1] == '.');
}

// path without repeated or trailing slashes into out; -1 after a message.
int
normalize(const char *path, char (&out)[DB_PATH_MAX + 1])
{
  size_t len = 0;
  for (const char *p = path; *p != '\0';) {
    while (*p == '/')
      p++;
    size_t n = strcspn(p, "/");
    if (n == 0)
      break;
    if (is_dot(p, n)) {
      warn_msg2(path, "want a path without . or .. names");
      return -1;
    }
    out[len] = '/';
    memcpy(out + len + 1, p, n);
    len += n + 1;
    p += n;
  }
  strcpy(out + len, len == 0 ? "/" : "");
  return 0;
}

// Follows the walk from "/" to the normalized path; -1 after a message.
int
follow(pclt *t, const char *path, fate *f)
{
  // "/" itself is never matched: the walk starts inside it.
  f->reached = true;
  f->step = {nullptr, false, true};
  char cur[DB_PATH_MAX + 1] = "/";
  for (size_t len = 0; path[len] != '\0' && path[len + 1] != '\0';) {
    if (!f->step.ps_descend) {
      f->reached = false;
      copy_cut(f->stop, cur);
      return 0;
    }
    int inherited = 0;
    const pcl *l = pclt_lookup(t, cur, &inherited);
    size_t n = strcspn(path + len + 1, "/");
    memcpy(cur, path, len + 1 + n);
    cur[len + 1 + n] = '\0';
    port_stat st;
    if (port_lstat(cur, &st) != 0) {
      warn_sys2("lstat()", cur);
      return -1;
    }
    f->step = pcl_walk_step(l, cur + len + 1, &st, inherited);
    len += n + 1;
  }
  return 0;
}

}  // namespace

int
reach_print(pclt *t, const char *path)
{
  if (path[0] != '/') {
    warn_msg2(path, "want an absolute path");
    return -1;
  }
  if (strlen(path) > DB_PATH_MAX) {
    warn_msg2(path, "path too long");
    return -1;
  }
  char full[DB_PATH_MAX + 1];
  fate f;
  if (normalize(path, full) != 0 || follow(t, full, &f) != 0)
    return -1;
  esc_buf<ESC_GROW * 2 * (DB_PATH_MAX + 1) + 64> out(stdout);
  out.put_name(full);
  if (!f.reached) {
    out.put(": not reached: ");
    out.put_name(f.stop);
    out.put(" is not descended into\n");
  } else {
    if (f.step.ps_record) {
      char mask[DB_NATTRS];
      size_t n = mask_text(f.step.ps_ent->pe_mask, mask);
      out.put(": recorded +");
      out.put(mask, n);
    } else {
      out.put(": not recorded");
    }
    out.put(f.step.ps_descend ? ", descended into\n"
                              : ", not descended into\n");
  }
  return out.flush() == 0 ? 0 : -2;
}
