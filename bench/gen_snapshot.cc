// gen_snapshot: writes a large snapshot database of made-up but plausible
// records, for timing the readers.
//
//   gen_snapshot [-n count] [-s seed] [-C permille] [-D permille]
//                [-N permille] [-c number] file
//
// The tree (paths, kinds, base attributes) depends only on the seed, so
// two runs with the same seed describe the same host. -C, -D and -N then
// change, drop or add that many records per thousand, chosen by record
// number: "gen_snapshot old" and "gen_snapshot -C 5 -D 1 -N 1 new" are an
// older and a newer snapshot of one host for the comparer. -c changes the
// one record of that number besides: a quiet night. Records come out
// in tree order, as the builder writes them. Without -N the file holds
// exactly count records.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/gen_util.h"
#include "db/db.h"
#include "port/port.h"

namespace {

struct gen {
  gen_db out;
  uint64_t seed;
  uint64_t want;                     // records of the base tree to produce
  uint64_t made;                     // base records produced so far
  unsigned changed, deleted, added;  // per thousand
  uint64_t change_one;               // the record number -c gave, plus one
};

const char *const WORDS[] = {
    "lib",     "share", "doc",      "include",  "man",     "locale",
    "python3", "perl5", "icons",    "config",   "cache",   "log",
    "spool",   "fonts", "zoneinfo", "firmware", "modules", "kernel",
    "drivers", "net",   "crypto",   "sound",    "video",   "gtk",
    "qt",      "x11",   "ssl",      "certs",    "systemd", "udev",
    "dbus",    "pam",   "cron",     "mail",     "www",     "backup",
    "src",     "test",  "data",     "misc",
};
constexpr size_t NWORDS = sizeof WORDS / sizeof WORDS[0];

// The record of base entry number i, possibly changed for a newer snapshot.
void
emit(gen *g, const std::string &path, bool dir, int nsub, int64_t dir_time)
{
  uint64_t i = g->made++;
  uint64_t h = gen_mix(g->seed ^ gen_mix(i));
  uint64_t pick = gen_mix(i ^ 0x5eed);  // the same records change for any seed
  if (pick % 1000 < g->deleted)
    return;
  db_rec r = gen_rec(h, dir);
  r.ino = 2 + i * 3 + (h & 1);
  r.ctime = dir_time + int64_t((h >> 12) % 4 == 0 ? (h >> 16) % 86400 : 0);
  r.flags = (h >> 20) % 64 == 0 ? 0x2 : 0;
  if (dir) {
    r.links = 2 + nsub;
    r.size = 512 * int64_t(1 + (h >> 24) % 8);
  } else {
    r.size = int64_t((h >> 28) % (1u << ((h >> 40) % 24)));
  }
  if ((pick >> 10) % 1000 < g->changed || i + 1 == g->change_one)
    gen_change(&r);
  gen_put(&g->out, path, r);
  if (!dir && (pick >> 20) % 1000 < g->added) {
    r.ino += 1;
    gen_put(&g->out, path + ".new", r);
  }
}

// One directory's entries, siblings in byte order; subdirectories are
// descended into right after their own record.
void
walk(gen *g, const std::string &dir, int depth, uint64_t key)
{
  uint64_t h = gen_mix(key);
  int nfiles = int(2 + h % 25);
  int ndirs = depth >= 6 ? 0 : int((h >> 8) % (depth < 2 ? 8 : 5));
  std::vector<std::pair<std::string, bool>> kids;
  for (int k = 0; k < nfiles + ndirs; k++) {
    uint64_t w = gen_mix(h + uint64_t(k));
    std::string name = WORDS[w % NWORDS];
    bool isdir = k >= nfiles;
    if (!isdir || (w >> 16) % 2)
      name += (isdir ? "-" : "_") + std::to_string((w >> 8) % 1000);
    if (!isdir)
      name += GEN_EXTS[(w >> 32) % GEN_NEXTS];
    kids.push_back({name, isdir});
  }
  std::sort(kids.begin(), kids.end());
  kids.erase(std::unique(kids.begin(), kids.end(),
                         [](const auto &a, const auto &b) {
                           return a.first == b.first;
                         }),
             kids.end());
  int64_t dir_time = 1600000000 + int64_t(h % 100000000);
  for (size_t k = 0; k < kids.size() && g->made < g->want; k++) {
    std::string p = dir + "/" + kids[k].first;
    if (p.size() > DB_PATH_MAX)
      continue;
    if (!kids[k].second) {
      emit(g, p, false, 0, dir_time);
      continue;
    }
    uint64_t sub = gen_mix(h ^ (k + 1));
    emit(g, p, true, int((gen_mix(sub) >> 8) % 5), dir_time);
    walk(g, p, depth + 1, sub);
  }
}

[[noreturn]] void
usage()
{
  static const char text[] =
      "usage: gen_snapshot [-n count] [-s seed] [-C permille] [-D permille] "
      "[-N permille] [-c number] file\n";
  fwrite(text, 1, sizeof text - 1, stderr);
  exit(1);
}

}  // namespace

int
main(int argc, char *argv[])
{
  gen g = {};
  g.want = 1000000;
  int ch;
  while ((ch = getopt(argc, argv, PORT_OPTS("n:s:C:D:N:c:"))) != -1) {
    switch (ch) {
      case 'n': g.want = strtoull(optarg, nullptr, 10); break;
      case 's': g.seed = strtoull(optarg, nullptr, 10); break;
      case 'C': g.changed = unsigned(atoi(optarg)); break;
      case 'D': g.deleted = unsigned(atoi(optarg)); break;
      case 'N': g.added = unsigned(atoi(optarg)); break;
      case 'c': g.change_one = strtoull(optarg, nullptr, 10) + 1; break;
      default: usage();
    }
  }
  if (argc - optind != 1)
    usage();
  g.out = gen_open(argv[optind]);

  // Top-level directories as on a host; numbered volumes follow (they sort
  // after /var) until the count is reached.
  static const char *const top[] = {"bin",  "boot", "etc", "home", "lib", "opt",
                                    "root", "sbin", "srv", "usr",  "var"};
  for (uint64_t v = 0; g.made < g.want; v++) {
    std::string name;
    if (v < sizeof top / sizeof top[0]) {
      name = top[v];
    } else {
      char b[32];
      snprintf(b, sizeof b, "vol%06llu", (unsigned long long)(v - 11));
      name = b;
    }
    uint64_t key = gen_mix(g.seed * 1000003 + v);
    emit(&g, "/" + name, true, 8, 1600000000);
    walk(&g, "/" + name, 0, key);
  }
  gen_close(&g.out);
  printf("%llu records\n", (unsigned long long)g.out.written);
  return 0;
}
