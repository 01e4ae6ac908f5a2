// explain_pairs.cc: the verdicts over more than one path: a deleted and
// a new path that are one object moved, and a directory whose listing
// changed only because its entries did.
#include <sys/stat.h>

#include <map>
#include <string>
#include <utility>

#include "explain/explain_int.h"

// Pairs of an unexplained deleted and an unexplained new path that are
// plainly one object: the same inode and contents, or the only pair with
// the same contents and a size above zero.
void
xp_find_moves(std::vector<xp_path> *paths)
{
  auto key = [](const db_rec &r) {
    std::string k(reinterpret_cast<const char *>(r.csum), DB_SUM_LEN);
    if (r.ext != nullptr)
      k.append(reinterpret_cast<const char *>(r.ext->sha256), DB_SHA256_LEN);
    return k + std::to_string(r.size) + "/" + std::to_string(r.mode >> 12);
  };
  std::map<std::string, std::vector<size_t>> gone, came;
  std::map<std::pair<uint64_t, std::string>, std::vector<size_t>> gone_ino;
  for (size_t i = 0; i < paths->size(); i++) {
    xp_path &p = (*paths)[i];
    if (p.xp_verdict != XP_UNEXPLAINED ||
        !(p.xp_recs[0].mask & (DB_CSUM | DB_SHA256)) || !p.xp_package.empty())
      continue;
    if (p.xp_kind == DB_KIND_DELETED) {
      gone[key(p.xp_recs[0])].push_back(i);
      gone_ino[{p.xp_recs[0].ino, key(p.xp_recs[0])}].push_back(i);
    } else if (p.xp_kind == DB_KIND_NEW) {
      came[key(p.xp_recs[0])].push_back(i);
    }
  }
  auto pair = [paths](size_t from, size_t to) {
    xp_path &a = (*paths)[from], &b = (*paths)[to];
    a.xp_verdict = b.xp_verdict = XP_MOVED;
    a.xp_evidence = b.xp_evidence = XP_EV_SNAPSHOTS;
    a.xp_expected.clear();
    b.xp_expected.clear();
    a.xp_peer = b.xp_name;
    b.xp_peer = a.xp_name;
  };
  for (auto &c : came) {
    for (size_t to : c.second) {
      const db_rec &r = (*paths)[to].xp_recs[0];
      auto g = gone_ino.find({r.ino, c.first});
      if ((r.mask & DB_INO) && g != gone_ino.end() && g->second.size() == 1 &&
          (*paths)[g->second[0]].xp_verdict == XP_UNEXPLAINED)
        pair(g->second[0], to);
    }
    auto g = gone.find(c.first);
    if (c.second.size() == 1 && g != gone.end() && g->second.size() == 1 &&
        (*paths)[c.second[0]].xp_recs[0].size > 0 &&
        (*paths)[g->second[0]].xp_verdict == XP_UNEXPLAINED &&
        (*paths)[c.second[0]].xp_verdict == XP_UNEXPLAINED)
      pair(g->second[0], c.second[0]);
  }
}

// A directory whose only changes are its listing's (contents, size,
// links) changed because entries came or went: it is explained as well as
// those entries right below it are, by the first one's package: the
// package's when every one is a package's or a move, a claim when some
// rest on claims or downgrades and none is unexplained.
void
xp_explain_dirs(std::vector<xp_path> *paths)
{
  std::map<std::string, std::vector<const xp_path *>> below;
  for (const xp_path &p : *paths)
    if (p.xp_kind != DB_KIND_CHANGED)
      below[p.xp_name.substr(0, p.xp_name.rfind('/'))].push_back(&p);
  for (xp_path &p : *paths) {
    if (p.xp_kind != DB_KIND_CHANGED || p.xp_verdict != XP_UNEXPLAINED ||
        !S_ISDIR(p.xp_recs[1].mode) ||
        (db_rec_diff(&p.xp_recs[0], &p.xp_recs[1]) &
         ~(DB_CSUM | DB_SHA256 | DB_SIZE | DB_LINKS)) != 0)
      continue;
    auto b = below.find(p.xp_name);
    if (b == below.end())
      continue;
    bool all = true, weak = false;
    for (const xp_path *e : b->second) {
      all &= e->xp_verdict == XP_PACKAGE || e->xp_verdict == XP_MOVED ||
             e->xp_verdict == XP_CLAIMED || e->xp_verdict == XP_DOWNGRADED;
      weak |= e->xp_verdict == XP_CLAIMED || e->xp_verdict == XP_DOWNGRADED;
    }
    if (!all)
      continue;
    const xp_path *first = b->second[0];
    p.xp_verdict = weak ? XP_CLAIMED : XP_PACKAGE;
    p.xp_package = first->xp_package;
    p.xp_version = first->xp_version;
    p.xp_older = first->xp_older;
    p.xp_evidence = first->xp_evidence;
    p.xp_kept = first->xp_kept;
    p.xp_expected.clear();
    if (weak)
      p.xp_expected = "the entries below it explained (some are claims)";
    for (const xp_path *e : b->second)
      if (e->xp_rule != nullptr && !weak)
        p.xp_rule = XP_RULE_NAMES[XP_RULE_ENTRIES];
  }
}
