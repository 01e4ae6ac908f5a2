// cmp.h: the compare engine of kavcmp. Two snapshot databases are read into
// one path tree, and every path with a record gets a change kind in its
// node's ftn_kind.
#pragma once
#include <cstdint>

#include "db/db.h"
#include "ft/ft.h"

// Change kinds; also the kind byte of a difference database's frames. A
// node without record (the root, a mere ancestor) keeps kind 0.
constexpr uint16_t CMP_UNCHANGED = 1;  // payload: the older record
constexpr uint16_t CMP_CHANGED = 2;    // payload: older and newer record
constexpr uint16_t CMP_NEW = 4;        // payload: the newer record
constexpr uint16_t CMP_DELETED = 8;    // payload: the older record

// True when a and b agree in every attribute but ctime and mask.
bool cmp_rec_equal(const db_rec *a, const db_rec *b);

// db_readall visitors; tree is an ft_tree made with the default payload
// callbacks, each payload one db_rec or two back to back. cmp_load_old
// marks every path deleted (of repeated paths the last record wins);
// cmp_load_new, run after it, classifies each record against what its
// node holds at that moment. A frame whose data is not exactly one stored
// record is refused: -1, EBADMSG. -1 with ENOMEM when memory runs out.
int cmp_load_old(const db_frame *fr, const void *data, void *tree);
int cmp_load_new(const db_frame *fr, const void *data, void *tree);
