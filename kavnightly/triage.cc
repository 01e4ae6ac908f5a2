// triage.cc: one comparison of the night in process. The list is printed
// before the engine runs over the same tree, so that it is kavcmp's
// whatever the engine does to the nodes.
#include "kavnightly/triage.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "cmp/cmp.h"
#include "db/print.h"
#include "diag/diag.h"
#include "explain/report.h"
#include "ft/ft.h"
#include "pkg/pkg.h"

namespace {

using tree_ptr = std::unique_ptr<ft_tree, decltype(&ft_free)>;

// A stream into memory, whose bytes go to a string when it is closed.
class mem_out {
 public:
  mem_out() : f_(open_memstream(&buf_, &len_)) {}
  ~mem_out()
  {
    if (f_ != nullptr)
      fclose(f_);
    free(buf_);
  }
  mem_out(const mem_out &) = delete;
  mem_out &operator=(const mem_out &) = delete;
  FILE *get() const { return f_; }
  // Closes the stream: false with errno when its bytes could not be kept.
  bool take(std::string *s)
  {
    int r = fclose(f_);
    f_ = nullptr;
    if (r != 0)
      return false;
    s->assign(buf_, len_);
    return true;
  }

 private:
  char *buf_ = nullptr;
  size_t len_ = 0;
  FILE *f_;
};

// "what: " and the system's text for errno.
std::string
sys_text(const char *what)
{
  return std::string(what) + ": " + strerror(errno);
}

// The tree alone, as kavcmp loads it; the message as kavcmp's would be.
ft_tree *
load_tree(const std::string &older, const std::string &newer, std::string *err)
{
  const char *failed = nullptr;
  ft_tree *tree = cmp_load(older.c_str(), newer.c_str(), &failed);
  if (tree == nullptr)
    *err = failed != nullptr ? diag_sys_text("db_readall()", failed)
                             : sys_text("ft_init()");
  return tree;
}

// kavcmp -x's lines of tree into *list.
bool
list_changes(ft_tree *tree, std::string *list, std::string *err)
{
  mem_out out;
  if (out.get() == nullptr) {
    *err = sys_text("open_memstream()");
    return false;
  }
  rec_view view;
  memset(&view, 0, sizeof view);
  view.rv_human = true;
  view.rv_out = out.get();
  if (ft_traverse(tree, cmp_print, &view) != 0 || !out.take(list)) {
    *err = sys_text("the list of changes");
    return false;
  }
  return true;
}

// The engine over tree with the records db, which it closes: the report
// and its status into r, or what stopped it. False only when the report
// could not be kept.
bool
triage(const xp_window &w, ft_tree *tree, pkg_db *db, nt_result *r,
       std::string *err)
{
  std::vector<xp_path> paths;
  xp_notes notes;
  if (!xp_window_explain_with(w, tree, db, &paths, &notes, &r->nr_stopped)) {
    r->nr_status = 2;
    return true;
  }
  mem_out out;
  if (out.get() == nullptr) {
    *err = sys_text("open_memstream()");
    return false;
  }
  if (xp_report_text(paths, notes, out.get()) != 0 ||
      !out.take(&r->nr_report)) {
    *err = sys_text("the triage's report");
    return false;
  }
  r->nr_status = xp_status(paths, notes);
  return true;
}

}  // namespace

bool
nt_compare(const std::string &older, const std::string &newer, bool explain,
           const xp_window &w, nt_result *r, std::string *err)
{
  *r = nt_result();
  // The window's root and times as kavexplain settles them, and the
  // records read beside the tree. When they cannot be had the list still
  // goes out, the tree loaded on its own, and the triage has failed.
  xp_window settled = w;
  ft_tree *t = nullptr;
  pkg_db *db = nullptr;
  std::string stopped;
  if (!explain ||
      !xp_window_settle(&settled, older.c_str(), newer.c_str(), &stopped) ||
      !xp_window_load(settled, older.c_str(), newer.c_str(), &t, &db, &stopped))
    t = load_tree(older, newer, err);
  if (t == nullptr)
    return false;
  tree_ptr tree(t, ft_free);
  if (!list_changes(tree.get(), &r->nr_list, err)) {
    pkg_close(db);
    return false;
  }
  r->nr_changed = !r->nr_list.empty();
  // Nothing changed, nothing to triage: the records are not needed.
  if (!explain || !r->nr_changed) {
    pkg_close(db);
    return true;
  }
  if (db == nullptr) {
    r->nr_status = 2;
    r->nr_stopped = stopped;
    return true;
  }
  return triage(settled, tree.get(), db, r, err);
}
