// job.h: one run of kavnightly, as its steps share it: the settings, the
// database directory held open and locked, the programs and files checked,
// and what the run has found so far. Each step returns false with the
// message in *err (without the "kavnightly: " the driver adds); only main()
// prints it and exits.
#pragma once
#include <string>
#include <vector>

#include "kavnightly/settings.h"
#include "store/sign.h"
#include "store/store.h"

// The directories that every command the job runs is looked for in,
// whatever the caller's PATH.
constexpr char NT_PATH[] =
    "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";

struct nt_job {
  nt_settings nj_set;
  bool nj_explain = false;  // the comparisons go through the triage
  std::string nj_root;      // KAV_PKGROOT, or "/" (for the package paths)
  bool nj_signing = false;
  st_signer nj_signer;
  std::string nj_kavbuild, nj_kavaccept;  // checked; "" when not needed
  st_dir nj_dir;
  // The baseline in force (the acceptance log's last line names it), and
  // its acceptance in words: " (accepted TIME by USER, MODE)" or "".
  std::string nj_base, nj_accepted;
};

// The path of the file name of the database directory.
std::string nt_path(const nt_job &j, const std::string &name);

// Checks the signature of the file name of the directory (what it is in
// words: "snapshot", "package records", "acceptance log"), with the
// stop's wording.
bool nt_verify(const nt_job &j, const std::string &name, const char *what,
               std::string *err);
// The snapshot name and, with a signing key, its package records,
// checked.
bool nt_verify_snapshot(const nt_job &j, const std::string &name,
                        std::string *err);
// Signs the file name of the directory when a key is set; after is the
// stop's end ("no snapshot taken").
bool nt_sign(const nt_job &j, const std::string &name, const char *after,
             std::string *err);

// The baseline in force, from the acceptance log when there is one, its
// signature and the baseline's digest checked: nj_base and nj_accepted.
bool nt_find_base(nt_job *j, std::string *err);
// A run stopped between the two renames of the log leaves its new
// signature beside the old log: finishes the rename when the signature is
// the new log's.
bool nt_finish_log(nt_job *j, std::string *err);
// The kept package records to read with the older snapshot name, newest
// first: its own, and for a baseline those of the older baselines too.
std::vector<std::string> nt_kept_records(const nt_job &j,
                                         const std::string &older);

// The night: the snapshot taken, compared, reported on standard output,
// rotated. *status is the run's: 0, 1 or 2 (a failed triage after the
// whole report).
bool nt_night(nt_job *j, int *status, std::string *err);
// -a: a new baseline accepting mode's changes; *status 0 accepted, 1
// nothing to accept.
bool nt_accept(nt_job *j, const std::string &mode, const std::string &text,
               const std::vector<std::string> &paths, int *status,
               std::string *err);
