// pcl.h: policy entries (pclent) and policy lists (pcl), and the matching
// of a directory entry against a list.
#pragma once
#include <regex.h>
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>

// Entry flags.
constexpr uint8_t PCLENT_RECORD = 0x01;
constexpr uint8_t PCLENT_PRUNE = 0x02;    // "S": do not descend
constexpr uint8_t PCLENT_INHERIT = 0x04;  // "I": governs directories below

// Type set bits; an empty set selects every type.
constexpr uint8_t PCL_T_FIFO = 0x01;
constexpr uint8_t PCL_T_CHR = 0x02;
constexpr uint8_t PCL_T_DIR = 0x04;
constexpr uint8_t PCL_T_BLK = 0x08;
constexpr uint8_t PCL_T_REG = 0x10;
constexpr uint8_t PCL_T_LNK = 0x20;
constexpr uint8_t PCL_T_SOCK = 0x40;

// A type letter of the policy language, its bit, and the file type of the
// status that it selects.
struct pcl_type {
  char letter;
  uint8_t bit;
  mode_t fmt;
};
// The seven types in the order the policy dump shows them.
constexpr pcl_type PCL_TYPES[] = {
    {'f', PCL_T_FIFO, S_IFIFO},  {'c', PCL_T_CHR, S_IFCHR},
    {'d', PCL_T_DIR, S_IFDIR},   {'b', PCL_T_BLK, S_IFBLK},
    {'r', PCL_T_REG, S_IFREG},   {'l', PCL_T_LNK, S_IFLNK},
    {'s', PCL_T_SOCK, S_IFSOCK},
};
constexpr size_t PCL_NTYPES = sizeof PCL_TYPES / sizeof PCL_TYPES[0];

// The bit of a type letter; 0 for any other character.
constexpr uint8_t
pcl_type_bit(char c)
{
  for (const pcl_type &t : PCL_TYPES)
    if (t.letter == c)
      return t.bit;
  return 0;
}

// Range kinds.
constexpr uint8_t PCLENT_R_EXACT = 1;    // N
constexpr uint8_t PCLENT_R_FROM = 2;     // N-
constexpr uint8_t PCLENT_R_UPTO = 3;     // -N
constexpr uint8_t PCLENT_R_BETWEEN = 4;  // N-M

constexpr uint16_t PCLENT_MAX_ITEMS = 65535;  // per list inside an entry
constexpr uint8_t PCL_MAX_ENTRIES = 255;

struct pclent_range {
  uint32_t pr_low;
  uint32_t pr_high;
  uint8_t pr_kind;
};

// One rule. Arrays are owned; a new entry has them all null.
struct pclent {
  char **pe_names;  // name globs
  uint16_t pe_nnames;
  char **pe_resrc;  // regex sources
  regex_t *pe_res;  // compiled, same index
  uint16_t pe_nres;
  pclent_range *pe_gids;
  uint16_t pe_ngids;
  pclent_range *pe_uids;
  uint16_t pe_nuids;
  uint8_t pe_types;  // PCL_T_* bits; 0 selects every type
  uint8_t pe_flags;  // PCLENT_* flags
  uint16_t pe_mask;  // attribute mask recorded for a match
};

// A list of rules, tried in order. Owns its entries.
struct pcl {
  pclent *pl_ents;
  uint8_t pl_count;
  uint8_t pl_kind;  // PCL_INH_*
};

constexpr uint8_t PCL_INH_UNSET = 0;
constexpr uint8_t PCL_INH_NO = 1;
constexpr uint8_t PCL_INH_PRE = 2;
constexpr uint8_t PCL_INH_POST = 3;

pclent *pclent_init();
void pclent_clear(pclent *e);  // releases everything; e can be refilled
void pclent_free(pclent *e);
// dst (whose old contents are not released) becomes a deep copy of src,
// regexes compiled anew. Null on failure, dst then holds nothing to release.
pclent *pclent_copy(pclent *dst, const pclent *src);

// Adders return e, or null with the entry unchanged (ENOMEM at 65535 items).
pclent *pclent_name_add(pclent *e, const char *text);
// *code gets regcomp()'s result, or 0 when it failed before compiling.
pclent *pclent_addename(pclent *e, const char *text, int *code);
pclent *pclent_egid_add(pclent *e, const pclent_range *r);
pclent *pclent_euid_add(pclent *e, const pclent_range *r);
void pclent_type_set(pclent *e, uint8_t bits);

pcl *pcl_init();
// Appends a deep copy of e; null (ENOMEM when the list holds 255 entries,
// or a copy that failed) leaves l's count and entries unchanged.
pcl *pcl_add(pcl *l, const pclent *e);
void pcl_clear(pcl *l);
void pcl_free(pcl *l);

// 1 if name matches the glob pattern ('*' any run, '?' any one byte; the
// byte after a '*' is always taken literally), else 0.
int glob_match(const char *pattern, const char *name);

// The first entry of l that matches the directory entry name with status st,
// or null. With inherited set, only PCLENT_INHERIT entries take part.
// Allocates nothing.
const pclent *pcl_match(const pcl *l, const char *name, const struct stat *st,
                        int inherited);

// What the walk does with a directory entry: the entry of l that governs
// it (as pcl_match finds it, or null), whether it is recorded, and whether
// the walk goes into it (a directory that entry does not prune).
struct pcl_step {
  const pclent *ps_ent;
  bool ps_record;
  bool ps_descend;
};
pcl_step pcl_walk_step(const pcl *l, const char *name, const struct stat *st,
                       int inherited);
