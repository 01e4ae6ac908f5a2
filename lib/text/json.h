// json.h: the JSON lines of kavjson and kavcollect: each frame of a
// database as one line of JSON (one object, UTF-8), written as it is read,
// unless a path filter leaves it out.
#pragma once
#include <cstddef>
#include <cstdio>

#include "db/db.h"

// The longest line one frame can make, its newline included: a path whose
// every byte is escaped, two records with every attribute at its widest.
constexpr size_t JSON_LINE_MAX = 8192;
// Lines gather here and go out in blocks of about this size.
constexpr size_t JSON_BUF_LEN = 64 * 1024;
static_assert(JSON_BUF_LEN >= 2 * JSON_LINE_MAX, "several lines a block");

// What the options chose and the output on its way. A driver zeroes it,
// sets the filters as kavshow's do and names the stream to write to.
struct json_state {
  bool js_exact;                  // -D: only the kept path itself
  bool js_prefix;                 // -d: only paths that begin with it
  char js_path[DB_PATH_MAX + 1];  // from the last -d or -D
  FILE *js_out;                   // where the blocks go
  int js_werr;                    // errno of the first failed write, or 0
  size_t js_len;                  // bytes waiting in js_buf
  char js_buf[JSON_BUF_LEN];
};

// db_readall visitor; arg is the json_state. 0 after writing the frame's
// line or leaving it out. -1 with EBADMSG for a frame shorter than the
// records its kind promises, whether or not the filters would have shown
// it; -1 with js_werr set when a block could not be written.
int json_record(const db_frame *fr, const void *data, void *arg);

// Writes out the lines that wait and flushes js_out. 0, or -1 with errno
// (and js_werr) from the failed write; the lines are then given up.
int json_flush(json_state *st);
