// accept.h: the engine of kavaccept. A baseline and a newer snapshot are
// loaded into one tree by cmp_load; a new baseline takes the newer record
// of the changed paths picked (none for a path deleted) and keeps the
// baseline's record of every other path. Changed means as kavcmp sees it:
// a path that differs in ctime or mask alone is unchanged and keeps its
// baseline record.
#pragma once
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "db/db.h"
#include "explain/explain.h"
#include "ft/ft.h"
#include "sha256/sha256.h"

// The paths whose newer record the new baseline takes, in byte order; each
// changed, new or deleted in the tree it was picked from.
typedef std::set<std::string, std::less<>> acc_take;

// Every changed path of tree.
void acc_pick_all(ft_tree *tree, acc_take *take);

// The changed paths that xp_explain gave a package's or a move's verdict
// (both halves of a move); not a configuration file edit, nothing
// unexplained.
void acc_pick_explained(const std::vector<xp_path> &paths, acc_take *take);

// The given paths that changed, and for a given path ending in "/" the
// directory before it and every changed path below it ("/" alone: every
// path). A path must be given as the snapshots hold it. False with *err
// naming the first given path that is not absolute, or that neither
// snapshot holds (nor, for a directory, anything below it), and which; a
// typo is never taken for a path that merely did not change.
bool acc_pick_paths(ft_tree *tree, const std::vector<std::string> &given,
                    acc_take *take, std::string *err);

// Writes the new baseline to db in tree order (ft.h), one frame per path:
// the newer record for a path in take, the baseline's for any other, none
// for a deleted path taken or a new path not taken. Each record keeps its
// extension. False with *err ("db_put(): out: ...", out being db's name)
// when a frame cannot be written.
bool acc_write(ft_tree *tree, const acc_take &take, db_handle *db,
               const char *out, std::string *err);

// Copies the frames of the snapshot file to db (named out) as they stand,
// in file order, so that the copy is the file byte for byte. False with
// *err ("db_readall(): file: ..." or "db_put(): out: ...").
bool acc_copy(const char *file, db_handle *db, const char *out,
              std::string *err);

// The SHA-256 of the file name, as 64 lowercase hex digits and a
// terminator. False with *err ("acc_file_sha256(): name: ...") when it
// cannot be read.
bool acc_file_sha256(const char *name, char hex[2 * SHA256_LEN + 1],
                     std::string *err);
