// triage.h: each host's comparisons explained on the collector, by the
// engine kavexplain runs, against signed indexes and archives that the
// collector verifies with its own keyrings. What the host sent with its
// snapshots (the package records that kavnightly keeps, NAME.pkg) is only
// a claim: which package and version a path is said to come from, and
// which operations are said to have run; it decides which archives are
// looked at, never that a path is explained.
#pragma once
#include <array>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "explain/explain.h"
#include "kavcollect/collect.h"
#include "pkg/pkg.h"

// The archives -f tried to fetch in this run, by "NAME VERSION ARCH": ""
// when fetched, else the line that says why not. Hosts are triaged at
// once; one fetch runs at a time, and no archive is tried twice.
struct triage_fetched {
  std::mutex tf_mutex;
  std::map<std::string, std::string> tf_tried;
};

// What the command line chose for the triage.
struct triage_opts {
  std::vector<std::string> to_keyrings;  // -K: alone verify every index
  std::vector<std::string> to_sources;   // -S: directories of signed indexes
  std::string to_cache;                  // -C: archives by name, or ""
  std::string to_root;  // -r: "" or where the hosts' package paths lie
  // The indexes, verified by the first host that needs them and read by
  // every other: the keyrings and sources are the run's, not a host's.
  std::shared_ptr<pkg_index_shared> to_indexes = pkg_index_shared_make();
  // -f: the run's fetches into to_cache, or null when nothing is fetched.
  triage_fetched *to_fetched = nullptr;
};

// One comparison (a collect_section) triaged, or why it was not.
struct triage_section {
  bool ts_done = false;
  std::string ts_error;  // why not, when not done
  std::vector<xp_path> ts_paths;
  xp_notes ts_notes;
  // The operations the host's two records differ by: claims, each
  // verified when ts_paths holds a path its archive accounts for.
  std::vector<pkg_op> ts_ops;
  // The records' extensions, which the paths point into.
  std::vector<std::array<db_ext, 2>> ts_ext;
};

// A host's triage: one per section of its result, in the same order.
struct triage_host {
  std::vector<triage_section> th_sections;
};

// Triages each section of r, whose store directory is o->co_store/HOST,
// with the records kept with its two snapshots. A section whose records
// are missing or cannot be read is not done, and says why. With
// t->to_fetched, the archives a section's operations need and that are
// not at hand are first fetched into t->to_cache with apt's tools, as
// apt is configured for the user running this; what could not be, and
// why, goes to the section's notes (xn_unfetched). The paths point into
// r's changes: keep r unchanged while out is used.
void triage_run(const collect_opts *o, const triage_opts *t,
                const collect_result *r, triage_host *out);

// True when an operation of the section is shown by a path that its
// package's archive, verified through a signed index, accounts for: one
// the new version installed, or, for a removal, one the old one shipped.
bool triage_op_verified(const triage_section &s, const pkg_op &op);

// The file the host's package records for snapshot name are kept in.
std::string triage_records(const collect_opts *o, const std::string &host,
                           const std::string &name);
