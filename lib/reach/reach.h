// reach.h: what the walk of "/" under a watch policy does with one path,
// found by following its rules down to the path, as data: kavreach prints
// it, and the nightly job asks it whether the walk would see its own
// database directory.
#pragma once
#include <cstdint>
#include <string>

#include "policy/pclt.h"

struct reach_answer {
  std::string ra_path;      // as the walk names it: no repeated or trailing "/"
  bool ra_reached = false;  // the walk gets to the path
  std::string ra_stop;      // where not: the directory it does not enter
  // Where reached: whether the path is recorded, with the attributes of
  // ra_mask, and whether the walk descends into it.
  bool ra_recorded = false;
  uint16_t ra_mask = 0;
  bool ra_descended = false;
};

// Follows the walk under t (settled by configfile_parse) from "/" to the
// absolute path, matching each name against the list that governs its
// directory with the status the walk would read, by the walk's own
// function. False with *err ("PATH: want an absolute path", or the lstat
// that failed along the path) when the path is not absolute, too long,
// holds a "." or ".." name, or a status along it cannot be read.
bool reach_path(pclt *t, const char *path, reach_answer *a, std::string *err);

// True when the walk records the path or descends into it: a path that
// must stay out of every snapshot is neither.
inline bool
reach_watched(const reach_answer &a)
{
  return a.ra_reached && (a.ra_recorded || a.ra_descended);
}

// kavreach's line for the answer, without its newline, the paths escaped:
// "/a/b: recorded +MASK, not descended into", "/a/b: not recorded,
// descended into", "/a/b: not reached: /a is not descended into".
std::string reach_line(const reach_answer &a);
