// json_want.h: the line kavjson should print for a stored entry, worked
// out from the records apart from the engine and its attribute table; for
// the end-to-end tests.
#pragma once
#include <sys/stat.h>
#include <time.h>

#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "db/db.h"

// For the one test file that includes it: file-local as its own helpers.
namespace {

using nlohmann::json;

struct entry {
  std::string path;
  uint8_t kind;
  std::vector<db_rec> recs;
};

// The attributes in print order, written out apart from the library's table.
struct want_attr {
  uint32_t bit;
  const char *name;
};
const want_attr ATTRS[] = {{0x001, "ino"},   {0x004, "links"}, {0x008, "uid"},
                           {0x010, "gid"},   {0x002, "mode"},  {0x040, "size"},
                           {0x080, "flags"}, {0x020, "ctime"}, {0x100, "csum"}};

json
names(uint32_t mask)
{
  json a = json::array();
  for (const auto &at : ATTRS)
    if (mask & at.bit)
      a.push_back(at.name);
  return a;
}

std::string
type_word(uint16_t mode)
{
  switch (mode & S_IFMT) {
    case S_IFREG: return "file";
    case S_IFDIR: return "directory";
    case S_IFLNK: return "symlink";
    case S_IFIFO: return "fifo";
    case S_IFCHR: return "chardev";
    case S_IFBLK: return "blockdev";
    case S_IFSOCK: return "socket";
  }
  return "unknown";
}

// What a record holds once stored: links and flags keep 16 bits, ctime 32.
db_rec
stored(db_rec r)
{
  r.links = int32_t(uint16_t(r.links));
  r.flags = uint16_t(r.flags);
  r.ctime = int64_t(uint32_t(r.ctime));
  return r;
}

// The object a record should give: only what its mask names.
json
want_record(const db_rec &in)
{
  db_rec r = stored(in);
  json o = json::object();
  if (r.mask & 0x001)
    o["ino"] = r.ino;
  if (r.mask & 0x004)
    o["links"] = uint32_t(r.links);
  if (r.mask & 0x008)
    o["uid"] = r.uid;
  if (r.mask & 0x010)
    o["gid"] = r.gid;
  if (r.mask & 0x002) {
    char oct[8];
    snprintf(oct, sizeof oct, "%06o", unsigned(r.mode));
    o["mode"] = oct;
    o["type"] = type_word(r.mode);
  }
  if (r.mask & 0x040)
    o["size"] = uint64_t(r.size);
  if (r.mask & 0x080) {
    o["flags"] = r.flags;
    const char *flag_names[] = {"nodump", "uchg", "append", "opaque",
                                "uunlink"};
    json a = json::array();
    for (int i = 0; i < 5; i++)
      if (r.flags & 1u << i)
        a.push_back(flag_names[i]);
    o["flag_names"] = a;
  }
  if (r.mask & 0x020) {
    time_t t = time_t(r.ctime);
    struct tm tm;
    char text[32];
    gmtime_r(&t, &tm);
    strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    o["ctime"] = text;
  }
  if (r.mask & 0x100) {
    char hex[2 * DB_SUM_LEN + 1];
    for (size_t i = 0; i < DB_SUM_LEN; i++)
      snprintf(hex + 2 * i, 3, "%02x", r.csum[i]);
    o["csum"] = hex;
  }
  return o;
}

// The attributes a comparison of the two stored records finds different.
uint32_t
want_differ(const db_rec &older, const db_rec &newer)
{
  db_rec a = stored(older), b = stored(newer);
  uint32_t d = 0;
  d |= a.ino != b.ino ? 0x001 : 0;
  d |= a.mode != b.mode ? 0x002 : 0;
  d |= a.links != b.links ? 0x004 : 0;
  d |= a.uid != b.uid ? 0x008 : 0;
  d |= a.gid != b.gid ? 0x010 : 0;
  d |= a.size != b.size ? 0x040 : 0;
  d |= a.flags != b.flags ? 0x080 : 0;
  d |= memcmp(a.csum, b.csum, DB_SUM_LEN) != 0 ? 0x100 : 0;
  return d;
}

// The whole line an entry should give, but for its path.
json
want_line(const entry &e)
{
  const char *words[] = {"snapshot", nullptr, "changed", nullptr,  "new",
                         nullptr,    nullptr, nullptr,   "deleted"};
  json j;
  if (e.kind < 9 && words[e.kind] != nullptr) {
    j["change"] = words[e.kind];
  } else {
    j["change"] = "unknown";
    j["kind"] = e.kind;
  }
  j["recorded"] = names(e.recs[0].mask);
  if (e.kind == DB_KIND_CHANGED) {
    j["older"] = want_record(e.recs[0]);
    j["newer"] = want_record(e.recs[1]);
    j["differ"] = names(want_differ(e.recs[0], e.recs[1]));
  } else {
    j["record"] = want_record(e.recs[0]);
  }
  return j;
}

}  // namespace
