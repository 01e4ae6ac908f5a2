// show.h: the engine of kavshow: each frame of a database printed as it is
// read, unless a path filter leaves it out.
#pragma once
#include <cstddef>

#include "db/db.h"
#include "db/print.h"

// What the options chose. All zero prints every record in the long layout
// with its own mask.
struct show_opts {
  rec_view so_view;
  bool so_exact;                  // -D: only the kept path itself
  bool so_prefix;                 // -d: only paths that begin with it
  char so_path[DB_PATH_MAX + 1];  // from the last -d or -D
};

// Room for the largest frame a writer of the suite makes: a changed pair
// with both extensions.
constexpr size_t SHOW_DATA_MAX = DB_DATA_MAX;

// What show_record returns when stdout refused the record.
constexpr int SHOW_OUT_FAILED = 2;

// db_readall visitor; arg is the show_opts. 0 after printing the frame or
// leaving it out. A frame that does not hold the records its kind promises,
// or holds an extension this reader does not know, is a damaged file,
// whether or not the filters would have shown it: -1, EBADMSG.
// SHOW_OUT_FAILED, with errno from the failed write, when the record could
// not be written, so that the reading stops there.
int show_record(const db_frame *fr, const void *data, void *arg);
