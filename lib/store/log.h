// log.h: the acceptance log, accept.log in the database directory: one
// JSON object a line, one line per acceptance, the last naming the
// baseline in force. The one piece of code that writes a line and the one
// that reads it back; kavaccept writes, the nightly job reads.
#pragma once
#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

struct st_accept {
  int64_t sa_time = 0;  // seconds since 1970
  std::string sa_user;  // as given: written as kavjson writes paths
  std::string sa_mode;  // "all", "explained" or "path"
  std::string sa_text;  // what -m said
  std::vector<std::string> sa_paths;             // in byte order
  std::string sa_baseline;                       // the new baseline's name
  std::string sa_older_sha256, sa_newer_sha256;  // 64 lowercase hex each
};

// The line, a JSON object and a newline, its members in this order:
// time ("2026-12-09T10:15:00Z"), user, mode, text, paths, baseline,
// older_sha256, newer_sha256. Texts and paths are written as kavjson
// writes paths (text.h), so that any bytes read back as they were.
std::string st_log_line(const st_accept &a);

// Reads one line (without its newline) back: a JSON object with every
// member above, in any order, members of other names ignored; baseline a
// baseline's name (store.h), both digests 64 lowercase hex digits, time
// as written, mode all, explained or path. False with *err saying what is
// wrong ("byte N: ..." for the JSON itself). A value is a string or an
// array of strings: paths must be an array, a member of another name may
// be one. A string takes the escapes \" \\ and \/ only, since the writer writes
// no other, and a member given twice is refused. The texts come back in their
// printed form (esc.h), as the line holds them: one that is not is refused.
bool st_log_parse(std::string_view line, st_accept *a, std::string *err);

// The last line of a log's bytes (the empty string when there is none);
// a log must end with a newline, or its last line was cut: false then.
bool st_log_last(std::string_view log, std::string_view *line);
