// explain_during.cc: the paths of a package that the package manager was
// changing while a snapshot was taken. Such a snapshot may hold some of
// the package's files old and some new, or a file deleted that the
// records still list: the verdict stands, and says why it may be wrong.
#include <set>
#include <string>

#include "explain/explain.h"

void
xp_mark_during(const pkg_db *db, const xp_walk &older, const xp_walk &newer,
               std::vector<xp_path> *paths)
{
  std::set<std::string> busy;
  for (const xp_walk *w : {&older, &newer})
    if (w->xk_from <= w->xk_to)
      for (const pkg_op &op : pkg_ops(db, w->xk_from, w->xk_to))
        busy.insert(op.po_name);
  if (busy.empty())
    return;
  for (xp_path &p : *paths)
    p.xp_during = busy.count(p.xp_package) != 0;
}
