// explain.h: the engine of kavexplain: every path that two snapshots
// disagree on gets one verdict, checked against the package manager
// (pkg.h), and the evidence it rests on.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "db/db.h"
#include "ft/ft.h"
#include "pkg/pkg.h"

// claimed: only the host's own records (dpkg's, kept copies of them, stat
// overrides, alternatives, the log) account for the path, which an
// intruder with root can rewrite: it counts as unexplained. downgraded: a
// package's archive accounts for it, but the operation went back to an
// older version, which may drop security fixes: it counts as unexplained.
enum xp_verdict_kind {
  XP_UNEXPLAINED,
  XP_CONFFILE,
  XP_PACKAGE,
  XP_MOVED,
  XP_CLAIMED,
  XP_DOWNGRADED
};
constexpr int XP_VERDICTS = 6;
// dpkg: the package manager's own records; archive: the package archive
// under a signed index; snapshots: the two records alone (a move).
enum xp_evidence_kind { XP_EV_DPKG, XP_EV_ARCHIVE, XP_EV_SNAPSHOTS };

extern const char *const XP_VERDICT_WORDS[XP_VERDICTS];
extern const char *const XP_EVIDENCE_WORDS[3];

struct xp_path {
  std::string xp_name;  // as the snapshots hold it
  uint8_t xp_kind;      // DB_KIND_CHANGED, DB_KIND_NEW or DB_KIND_DELETED
  db_rec xp_recs[2];    // the older and the newer, or the one record
  xp_verdict_kind xp_verdict = XP_UNEXPLAINED;
  xp_evidence_kind xp_evidence = XP_EV_DPKG;
  std::string xp_kept;  // the kept records a dpkg-level verdict rests on
  std::string xp_package, xp_version;  // where known
  std::string xp_older;     // the version before the package operation
  std::string xp_expected;  // what an unexplained path should have been
  std::string xp_peer;      // the other path of a move
  // A package operation on xp_package ran while a snapshot was being
  // taken: the snapshot may hold the package half replaced.
  bool xp_during = false;
  // The rule that explained the path (XP_RULE_NAMES), null for none: set
  // only with the verdict package, on a path the package verdicts left
  // unexplained. A rule rests on a verified archive (evidence
  // archive) or on the snapshots alone (evidence snapshots), never on the
  // host's own records.
  const char *xp_rule = nullptr;
};

// The rules, in the order they are tried, by the names the report and
// the JSON member "rule" give; XP_RULE_ENTRIES is the one that explains a
// directory by its entries.
constexpr int XP_RULES = 11;
constexpr int XP_RULE_ENTRIES = XP_RULES - 1;
extern const char *const XP_RULE_NAMES[XP_RULES];

// What a run found besides the paths' verdicts: the report opens with it.
struct xp_notes {
  // An index or archive that did not verify, and why: the paths that
  // needed it are unexplained, every other path keeps its verdict, and
  // the status is 2.
  std::vector<std::string> xn_failed;
  // Trust roots not used for this comparison, and why.
  std::vector<std::string> xn_untrusted;
  // Trust roots that changed in between, used as they are now because a
  // package's archive verified without them explains the change.
  std::vector<std::string> xn_vouched;
  // Archives that -f could not fetch, and why.
  std::vector<std::string> xn_unfetched;
  // The operations in the window that went back to an older version.
  std::vector<pkg_op> xn_downgrades;
};

// ft_visitor over a tree that cmp_load_old and cmp_load_new filled; arg is
// a std::vector<xp_path> that gets every path that is not unchanged.
int xp_collect(ft_node *node, void *arg);

// Whether the newer snapshot records a path (by its name there); empty
// for "it records nothing beyond the paths given".
using xp_recorded_fn = std::function<bool(const std::string &name)>;

// Gives every path its verdict. root is "" or the root the package
// manager's paths lie under in the snapshots; from and to bound the
// window of package operations. What did not verify, and the
// downgrades, go to *notes.
void xp_explain(pkg_db *db, const std::string &root, int64_t from, int64_t to,
                const xp_recorded_fn &recorded, std::vector<xp_path> *paths,
                xp_notes *notes);

// The time a snapshot took: from the start of its walk to its last
// write, in seconds since 1970; from > to when the start is not known.
struct xp_walk {
  int64_t xk_from = 1, xk_to = 0;
};

// Marks each path whose package the log has an operation on inside the
// older or the newer snapshot's walk (xp_during).
void xp_mark_during(const pkg_db *db, const xp_walk &older,
                    const xp_walk &newer, std::vector<xp_path> *paths);

// The status the report ends with: 2 when something did not verify, else
// 0 when every path is a package's by its verified archive or a move and
// nothing was downgraded, else 1.
int xp_status(const std::vector<xp_path> &paths, const xp_notes &notes);
