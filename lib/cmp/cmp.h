// cmp.h: the compare engine that kavcmp, kavexplain, kavaccept and
// kavcollect share. Two snapshot databases are read into one path tree,
// and every path with a record gets a change kind in its node's ftn_kind;
// the paths that differ are then printed or stored.
#pragma once
#include <cstdint>

#include "db/db.h"
#include "ft/ft.h"

// Change kinds are the DB_KIND_* values. A node without record (the root,
// a mere ancestor) keeps DB_KIND_NONE; the payload of the others is the
// older record (DB_KIND_UNCHANGED, DB_KIND_DELETED), the newer record
// (DB_KIND_NEW), or the older and the newer record (DB_KIND_CHANGED).

// True when a and b agree in every attribute but ctime and mask.
bool cmp_rec_equal(const db_rec *a, const db_rec *b);

// Decodes a snapshot frame's record and its extension, which points into
// data. -1 with EBADMSG unless the frame is a snapshot frame carrying
// exactly one record and its extension, if any: so nothing is read that
// the frame did not supply, and a difference database is not taken for a
// snapshot. The loaders below check every frame with it.
int cmp_frame_rec(const db_frame *fr, const void *data, db_rec *rec,
                  db_ext *ext);

// db_readall visitors; tree is an ft_tree made with the default payload
// callbacks, each payload one db_rec or two back to back (followed by their
// extensions, which they point to, when they have any). cmp_load_old
// marks every path deleted (of repeated paths the last record wins);
// cmp_load_new, run after it, classifies each record against what its
// node holds at that moment. A frame that is not a snapshot frame of
// exactly one stored record and its extension is refused: -1, EBADMSG. -1 with
// ENOMEM when memory runs out.
int cmp_load_old(const db_frame *fr, const void *data, void *tree);
int cmp_load_new(const db_frame *fr, const void *data, void *tree);

// The whole load: a new tree, older read into it with cmp_load_old, then
// newer with cmp_load_new. The tree, or null with errno: then *failed is
// the file that could not be read, or null when the tree could not be
// made; what was loaded is released.
ft_tree *cmp_load(const char *older, const char *newer, const char **failed);

// The change a node of that tree holds, with its records in recs (older and
// newer, or the one record of a new or deleted path twice); DB_KIND_NONE
// where the path did not change.
uint16_t cmp_change(const ft_node *node, db_rec recs[2]);

// ft_visitors for the loaded tree, which report every path that is not
// unchanged. cmp_print prints it as the rec_view (arg) chose, on the
// view's stream: 0, or -1 with errno when the stream refused it, which
// ends the traversal.
// cmp_put_diff appends its frame to the db_handle (arg): kind and records
// as the node holds them, the older record first. -1 when the frame
// cannot be written, errno from the write.
int cmp_print(ft_node *node, void *view);
int cmp_put_diff(ft_node *node, void *db);
