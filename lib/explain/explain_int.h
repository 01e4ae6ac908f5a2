// explain_int.h: the engine's own state, shared by its files: explain.cc
// gives each path its verdict, explain_own.cc those of the package
// manager's own files, explain_ahead.cc reads ahead what that will read,
// explain_pairs.cc pairs moves and explains directories.
#pragma once
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "explain/explain.h"
#include "sha1/sha1.h"

// What the dpkg level reads of a file on the host: its MD5 for dpkg's
// records, and the digests the newer record holds, from one read.
struct xp_digest {
  bool xd_done = false;  // read (ahead, or when first asked for)
  bool xd_ok = false;    // and it could be
  char xd_md5[2 * 16 + 1];
  uint8_t xd_sha1[SHA1_LEN];
  uint8_t xd_sha256[DB_SHA256_LEN];
};

struct xp_ctx {
  pkg_db *xc_db;
  std::string xc_root;
  std::map<std::string, std::vector<pkg_op>> xc_ops;  // by package, in order
  std::vector<xp_digest> xc_disk;  // by path, as the paths are ordered
  size_t xc_at = 0;                // the path being explained
  xp_recorded_fn xc_recorded;      // what the newer snapshot records
  bool xc_away = false;            // the records are another machine's
  xp_notes *xc_notes;
  std::set<std::string> xc_told;  // failures the notes hold
  // Links of the alternatives pointing where they allow: the path's index
  // and the host path it leads to, explained once every path has its
  // verdict.
  std::vector<std::pair<size_t, std::string>> xc_links;
};

// The name this machine reads the host's file at host path host by:
// under the root, or "" (which no call opens) when the records are
// another machine's, whose files are not here.
inline std::string
xp_disk(const xp_ctx *c, const std::string &host)
{
  return c->xc_away ? std::string() : c->xc_root + host;
}

// The record the newer snapshot holds for p: its second of a change.
inline const db_rec *
xp_now(const xp_path &p)
{
  return &p.xp_recs[p.xp_kind == DB_KIND_CHANGED ? 1 : 0];
}

// The archive of name at version through the signed indexes: 1 and *ar,
// 0 when none is at hand, -1 when one is but does not verify, which the
// notes tell once and *why says.
int xp_archive_at(xp_ctx *c, const std::string &name,
                  const std::string &version, const std::string &arch,
                  const pkg_archive **ar, std::string *why);
// True for an operation that went back to an older version, and what an
// explanation of its paths says of it.
bool xp_is_downgrade(const pkg_op &op);
std::string xp_downgrade_text(const pkg_op &op);

// The last operation between the snapshots that installed the package's
// present version, or null.
const pkg_op *xp_install_op(const xp_ctx &c, const pkg_meta *m);
// The architectures an archive of the package may have: its own, the
// native one (for a package no longer installed), "all".
std::vector<std::string> xp_arches_of(const xp_ctx &c, const std::string &name);
// The host path of a snapshot's path: false for one outside the root.
bool xp_host_of(const std::string &root, const std::string &name,
                std::string *host);

// The MD5 of the file at name, not following a link, and its SHA-1 and
// SHA-256 as mask (the newer record's) asks; xd_ok false when it cannot
// be read.
void xp_disk_sums(const std::string &name, uint32_t mask, xp_digest *dd);
// Reads on every core the archives and the files that explaining the
// paths will read.
void xp_read_ahead(xp_ctx *c, const std::vector<xp_path> &paths);

// True when the digests the record holds, SHA-1 and SHA-256 as its mask
// asks, are these: a snapshot that records only one is checked by it.
bool xp_sums_match(const db_rec *r, const uint8_t sha1[SHA1_LEN],
                   const uint8_t sha256[DB_SHA256_LEN]);

// explain_own.cc: the package manager's own files. True when host is one
// (dpkg's info directory and state, its log, apt's lists and caches), with
// p's verdict given; an archive that does not verify is a note.
bool xp_explain_own(xp_ctx *c, xp_path *p, const std::string &host);
// Once every path has its verdict: the package manager's state counts as
// its own when some path is a package's by its verified archive, an
// operation so proven; else it stays claimed.
void xp_own_settle(std::vector<xp_path> *paths);

void xp_find_moves(std::vector<xp_path> *paths);
// A directory explained by its entries: one of them explained by a rule
// gives it the rule "entries".
void xp_explain_dirs(std::vector<xp_path> *paths);

// explain_rules.cc: what the package verdicts left unexplained, tried
// against the table of rules (XP_RULE_NAMES) until no rule explains
// more; each rule rests on a verified archive or the snapshots alone.
void xp_apply_rules(xp_ctx *c, std::vector<xp_path> *paths);
// Whether the file at host path t is one a verified archive accounts for:
// a path of this comparison explained by its archive (or by a rule
// resting on one, with *ev so), else unchanged since the older snapshot,
// recorded by the newer and shipped by the verified archive of a package
// that claims it. Links of the alternatives (links, by path index) are
// followed to what they lead to.
bool xp_target_verified(xp_ctx *c, const std::vector<xp_path> &paths,
                        const std::map<std::string, size_t> &at,
                        const std::map<size_t, std::string> &links,
                        std::string t, const xp_path **proof,
                        xp_evidence_kind *ev);
