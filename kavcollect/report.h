// report.h: what kavcollect prints of the hosts it collected. Each
// function writes to standard output; -1 with errno when it refused.
#pragma once
#include <vector>

#include "kavcollect/collect.h"

// The host's report: its first collection, or what changed since the
// previous snapshot and since the baseline, as kavcmp -x prints it; a
// quiet night prints nothing. Errors go to standard error.
int report_host(const collect_result *r);
// The same as JSON Lines, each with a "host" field; an error as a line
// with an "error" field as well as on standard error.
int report_host_json(const collect_result *r);

// The fleet summary: every change since the previous snapshot, grouped
// across hosts by path, kind and the records without inode and change
// time (which differ from host to host for the same new file). Changes
// seen on fewest hosts first. Nothing when nothing changed.
int report_fleet(const std::vector<collect_result> &results);
