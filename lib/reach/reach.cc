// reach.cc: the walk's decisions along one path. Each name is matched
// against the list that governs its directory, with the status the walk
// would read, by the function the walk itself uses.
#include "reach/reach.h"

#include <cstring>

#include "db/db.h"
#include "db/print.h"
#include "diag/diag.h"
#include "port/port.h"
#include "text/text.h"

namespace {

bool
is_dot(const char *n, size_t len)
{
  return (len == 1 && n[0] == '.') || (len == 2 && n[0] == '.' && n[1] == '.');
}

// path without repeated or trailing slashes into *out; false with *err.
bool
normalize(const char *path, std::string *out, std::string *err)
{
  out->clear();
  for (const char *p = path; *p != '\0';) {
    while (*p == '/')
      p++;
    size_t n = strcspn(p, "/");
    if (n == 0)
      break;
    if (is_dot(p, n)) {
      *err = std::string(path) + ": want a path without . or .. names";
      return false;
    }
    *out += '/';
    out->append(p, n);
    p += n;
  }
  if (out->empty())
    *out = "/";
  return true;
}

// Follows the walk from "/" to the normalized path a->ra_path; false with
// *err.
bool
follow(pclt *t, reach_answer *a, std::string *err)
{
  // "/" itself is never matched: the walk starts inside it.
  pcl_step step = {nullptr, false, true};
  const std::string &path = a->ra_path;
  std::string cur = "/";
  for (size_t len = 0; len + 1 < path.size();) {
    if (!step.ps_descend) {
      a->ra_stop = cur;
      return true;
    }
    int inherited = 0;
    const pcl *l = pclt_lookup(t, cur.c_str(), &inherited);
    size_t n = path.find('/', len + 1);
    n = (n == std::string::npos ? path.size() : n) - (len + 1);
    cur = path.substr(0, len + 1 + n);
    port_stat st;
    if (port_lstat(cur.c_str(), &st) != 0) {
      *err = diag_sys_text("lstat()", cur.c_str());
      return false;
    }
    step = pcl_walk_step(l, cur.c_str() + len + 1, &st, inherited);
    len += n + 1;
  }
  a->ra_reached = true;
  a->ra_recorded = step.ps_record;
  a->ra_mask = step.ps_record ? step.ps_ent->pe_mask : 0;
  a->ra_descended = step.ps_descend;
  return true;
}

}  // namespace

bool
reach_path(pclt *t, const char *path, reach_answer *a, std::string *err)
{
  *a = reach_answer();
  if (path[0] != '/') {
    *err = std::string(path) + ": want an absolute path";
    return false;
  }
  if (strlen(path) > DB_PATH_MAX) {
    *err = std::string(path) + ": path too long";
    return false;
  }
  return normalize(path, &a->ra_path, err) && follow(t, a, err);
}

std::string
reach_line(const reach_answer &a)
{
  std::string s = text_esc(a.ra_path);
  if (!a.ra_reached)
    return s + ": not reached: " + text_esc(a.ra_stop) +
           " is not descended into";
  if (a.ra_recorded) {
    char mask[DB_NATTRS];
    s += ": recorded +";
    s.append(mask, mask_text(a.ra_mask, mask));
  } else {
    s += ": not recorded";
  }
  return s + (a.ra_descended ? ", descended into" : ", not descended into");
}
