// triage.h: one comparison of the night, the older snapshot with the
// newer: loaded once, listed as kavcmp -x lists it, and, where the
// comparisons are triaged, given to the explanation engine in the same
// load, whose report (as kavexplain prints it) takes the list's place.
#pragma once
#include <string>

#include "explain/window.h"

struct nt_result {
  bool nr_changed = false;  // the snapshots differ
  std::string nr_list;      // kavcmp -x's lines
  // Where triaged and something changed: the report as kavexplain writes
  // it, and its status (0 all explained, 1 something unexplained, 2 the
  // triage failed). When the engine stopped without a report (the root,
  // the records or the engine failed), nr_report is empty, nr_status 2
  // and nr_stopped says why, as kavexplain would. Nothing changed:
  // nothing triaged, status 0, whatever the records.
  std::string nr_report;
  int nr_status = 0;
  std::string nr_stopped;
};

// Compares older with newer (paths of files in the database directory).
// With explain, w says where the package manager's records are (-r, -a,
// -p, -f of kavexplain); the window's times come from the files as
// kavexplain takes them. False with *err only when the snapshots cannot
// be read: nothing compared.
bool nt_compare(const std::string &older, const std::string &newer,
                bool explain, const xp_window &w, nt_result *r,
                std::string *err);
