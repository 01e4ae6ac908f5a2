// report.h: the reports of the verdicts, as kavexplain prints them and the
// nightly job files them, on out; 0, or -1 with errno when out refused them.
#pragma once
#include <cstdio>
#include <string>
#include <vector>

#include "explain/explain.h"

// The report opens with what the notes hold: what did not verify, trust
// roots not used, downgrades.
int xp_report_text(const std::vector<xp_path> &paths, const xp_notes &notes,
                   FILE *out);
int xp_report_json(const std::vector<xp_path> &paths, FILE *out);
// What a line of xp_report_json says of p after its path: the members from
// "verdict" on, each after a comma.
std::string xp_report_json_members(const xp_path &p);
