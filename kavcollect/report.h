// report.h: what kavcollect prints of the hosts it collected. Each
// function writes to standard output; -1 with errno when it refused.
// Where the changes were triaged on the collector, t (or triage) gives the
// triage of each host, in the order of the results; null for none.
#pragma once
#include <string>
#include <vector>

#include "kavcollect/collect.h"
#include "kavcollect/triage.h"

// The host's report: its first collection, or what changed since the
// previous snapshot and since the baseline, as kavcmp -x prints it, or,
// triaged, as kavexplain reports it; a quiet night prints nothing.
// Errors go to standard error.
int report_host(const collect_result *r, const triage_host *t);
// The same as JSON Lines, each with a "host" field; an error as a line
// with an "error" field as well as on standard error. Triaged, each
// change's line has the verdict's members as kavexplain -j writes them,
// and each package operation a line of its own.
int report_host_json(const collect_result *r, const triage_host *t);

// A package operation, as the hosts' records say it ran, on the hosts
// named: verified on each where a path of it is accounted for by its
// archive, verified through a signed index; claimed (only the host's
// records say it ran) on each of another group.
struct fleet_op {
  std::string fo_name, fo_old, fo_new;
  bool fo_verified;
  std::vector<const std::string *> fo_hosts;
};
// A change since the previous snapshot seen on the hosts named: the same
// path, kind and records without inode and change time (which differ from
// host to host for the same new file), and the same verdict.
struct fleet_change {
  const collect_change *fc_change;
  xp_verdict_kind fc_verdict;
  std::vector<const std::string *> fc_hosts;
};
// The operations of the sections since the previous snapshot, claimed
// first, then fewest hosts first.
std::vector<fleet_op> report_group_ops(const std::vector<collect_result> &rs,
                                       const std::vector<triage_host> &ts);
// The changes since the previous snapshot, fewest hosts first. Triaged,
// only those not explained: a path a package's verified archive or a move
// accounts for is told by its operation.
std::vector<fleet_change> report_group_changes(
    const std::vector<collect_result> &rs, const std::vector<triage_host> *ts);
// "b 1.0 -> 1.1 on 2 hosts, verified: web1, web2", a line without its
// newline; up to ten hosts are named.
std::string report_op_line(const fleet_op &op);

// The fleet summary: the snapshots set aside, then every change since the
// previous snapshot, grouped across hosts; triaged, the package
// operations, then the changes not explained. Nothing when nothing
// changed and nothing was set aside.
int report_fleet(const std::vector<collect_result> &results,
                 const std::vector<triage_host> *triage);
