// gen_util.h: what the snapshot generators share: the hash their made-up
// values come from, the parts of a record both make alike, and writing it.
#pragma once
#include <fcntl.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "db/db.h"
#include "diag/diag.h"

// A 64-bit finaliser: every made-up value is a function of the seed and an
// entry's number, so equal seeds give equal trees.
inline uint64_t
gen_mix(uint64_t x)
{
  x += 0x9e3779b97f4a7c15ull;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
  return x ^ (x >> 31);
}

constexpr const char *GEN_EXTS[] = {"",      ".so",   ".h",  ".c",
                                    ".py",   ".conf", ".gz", ".txt",
                                    ".html", ".png",  ".mo", ".1"};
constexpr size_t GEN_NEXTS = sizeof GEN_EXTS / sizeof GEN_EXTS[0];

// A database being written; the generators die on any failure.
struct gen_db {
  db_handle *db;
  const char *name;
  uint64_t written;  // frames written
};

inline gen_db
gen_open(const char *name)
{
  gen_db g = {db_open(name, O_RDWR | O_CREAT | O_EXCL, 0600), name, 0};
  if (g.db == nullptr)
    die_sys2("db_open()", name);
  return g;
}

inline void
gen_close(gen_db *g)
{
  if (db_close(g->db) != 0)
    die_sys2("db_close()", g->name);
}

inline void
gen_put(gen_db *g, const std::string &path, const db_rec &r)
{
  uint8_t data[DB_REC_LEN];
  db_rec_pack(&r, data);
  if (db_argput(g->db, path.c_str(), DB_REC_LEN, DB_KIND_SNAP, data) < 0)
    die_sys2("db_argput()", g->name);
  g->written++;
}

// The owner, kind and (of a file) digest of an entry whose hash is h; the
// caller sets what its tree decides: inode, size, ctime, flags.
inline db_rec
gen_rec(uint64_t h, bool dir)
{
  db_rec r;
  memset(&r, 0, sizeof r);
  r.uid = (h >> 8) % 8 == 0 ? 1000 : 0;
  r.gid = r.uid == 0 ? 0 : 100;
  if (dir) {
    r.mode = 040755;
    r.links = 2;
    r.mask = DB_ALL & ~DB_CSUM;
  } else {
    r.mode = (h >> 24) % 10 == 0 ? 0100755 : 0100644;
    r.links = 1;
    for (size_t k = 0; k < DB_SUM_LEN; k++)
      r.csum[k] = uint8_t(gen_mix(h + k));
    r.mask = DB_ALL;
  }
  return r;
}

// What a newer snapshot changes in an entry: size, ctime and digest.
inline void
gen_change(db_rec *r)
{
  r->size += 1;
  r->ctime += 3600;
  r->csum[0] ^= 0xff;
}
