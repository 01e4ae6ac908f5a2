// window.h: what the options -r, -a, -p, -t, -T and -f of kavexplain say
// (the package manager's root and archives, the window of package
// operations between two snapshots, and whether the archives missing are
// fetched), and the engine's run over two loaded
// snapshots under them. kavaccept takes the same options and explains its
// changes the same way, so both drivers share this.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "explain/explain.h"
#include "ft/ft.h"

struct xp_window {
  std::string xw_root;               // -r: "" for the host's own
  const char *xw_adir = nullptr;     // -a: null for none
  std::vector<std::string> xw_kept;  // -p, in the order given
  bool xw_have_from = false, xw_have_to = false;
  int64_t xw_from = 0, xw_to = 0;  // -t and -T, seconds since 1970
  // -f: when the records are read, the archives of the versions the
  // window's operations installed or removed that are not at hand are
  // fetched into kavrel's cache with apt's tools, each within
  // XP_FETCH_SECONDS; one that cannot be fetched only leaves its paths to
  // what can be verified without it.
  bool xw_fetch = false;
  // The time each snapshot took, older and newer, as its file tells it
  // (xp_window_settle): package operations inside them are marked.
  xp_walk xw_walks[2];
};

// The window's option letters, as getopt takes them.
constexpr char XP_WINDOW_OPTS[] = "r:a:p:t:T:f";
constexpr int XP_FETCH_SECONDS = 120;

// True when ch is one of the window's letters.
bool xp_window_takes(int ch);
// Takes one of those letters with its argument. False with *err for a
// time that is not a number, or a letter not the window's. The argument
// of -a must live as long as w.
bool xp_window_option(xp_window *w, int ch, const char *arg, std::string *err);

// Makes the root real, as the snapshots hold it. False with *err.
bool xp_window_root(xp_window *w, std::string *err);

// xp_window_root, and gives the times not given the databases'
// modification times, rounded out to whole seconds as the package
// manager's log has them. False with *err naming the call and the file
// that failed.
bool xp_window_settle(xp_window *w, const char *older, const char *newer,
                      std::string *err);

struct pkg_db;

// cmp_load of the two snapshots into *tree, with the package manager's
// records read meanwhile into *db on a second thread: the two take about
// as long. False with *err the whole message ("db_readall(): file: ..."
// as kavcmp says it, or what the records lacked), and nothing held.
bool xp_window_load(const xp_window &w, const char *older, const char *newer,
                    ft_tree **tree, pkg_db **db, std::string *err);
// xp_window_explain with the records that xp_window_load read, which it
// closes.
bool xp_window_explain_with(const xp_window &w, ft_tree *tree, pkg_db *db,
                            std::vector<xp_path> *paths, xp_notes *notes,
                            std::string *err);

// Every path of tree (loaded by cmp_load) that is not unchanged into
// paths, each with its verdict, and what the report opens with into
// *notes. False with *err the whole message when the package manager's
// records cannot be read; an index or archive that does not verify is a
// note, and only the paths that needed it are unexplained. The paths
// point into tree's records: keep it while they are used.
//
// The keyrings and sources apt trusts count as the older snapshot of
// tree recorded them; those not trusted are notes. One that changed in
// between counts as it is now only when a package's archive, verified
// without it, explains its change: the paths are then explained once
// more with it, and a note says so.
bool xp_window_explain(const xp_window &w, ft_tree *tree,
                       std::vector<xp_path> *paths, xp_notes *notes,
                       std::string *err);
