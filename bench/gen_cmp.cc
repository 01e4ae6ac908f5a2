// gen_cmp: writes an older and a newer snapshot database of one made-up
// host, for timing the comparer.
//
//   gen_cmp [-s host|big|spread] [-n records] [-b entries] [-D dirs]
//           [-r seed] older newer
//
// Records come out the way the builder writes them: a directory's record,
// then its entries in an arbitrary (shuffled, readdir-like) order, each
// subdirectory followed at once by its contents. The newer snapshot has 1%
// of the files changed, 0.5% deleted and 0.5% new, chosen by entry number.
// Shapes:
//   host    (default) a tree of -D directories (50000) holding -n records
//           (1000000) in all, one of them a directory of -b entries
//           (200000);
//   big     one directory of -b entries;
//   spread  -b entries spread over 1000 directories of equal size.
// The last two have the same number of records, so their timings compare
// the cost of one huge directory with that of many ordinary ones.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bench/gen_util.h"
#include "db/db.h"
#include "port/port.h"

namespace {

const char *const WORDS[] = {
    "lib",     "share", "doc",      "include",  "man",     "locale",
    "python3", "perl5", "icons",    "config",   "cache",   "log",
    "spool",   "fonts", "zoneinfo", "firmware", "modules", "kernel",
    "drivers", "net",   "crypto",   "sound",    "video",   "x11",
    "ssl",     "certs", "udev",     "dbus",     "pam",     "cron",
    "mail",    "www",   "backup",   "src",      "test",    "data",
};
constexpr size_t NWORDS = sizeof WORDS / sizeof WORDS[0];

struct dir {
  std::string name;
  std::vector<uint32_t> subdirs;
  uint32_t nfiles = 0;
  bool big = false;  // file names of a spool, not of a package tree
};

struct out {
  gen_db g;
  bool newer;
  uint64_t seed;
  uint64_t entry;  // entries of the base tree visited so far
};

db_rec
base_rec(uint64_t h, bool isdir)
{
  db_rec r = gen_rec(h, isdir);
  r.ino = h % 100000000;
  r.ctime = 1600000000 + int64_t((h >> 12) % 100000000);
  r.flags = (h >> 40) % 64 == 0 ? 0x2 : 0;
  r.size = isdir ? 512 : int64_t((h >> 28) % 100000);
  return r;
}

std::string
file_name(const dir &d, uint64_t h, uint32_t k)
{
  char buf[64];
  if (d.big)
    snprintf(buf, sizeof buf, "msg.%08x.%u", uint32_t(h), k);
  else
    snprintf(buf, sizeof buf, "%s_%u%s", WORDS[h % NWORDS], k,
             GEN_EXTS[(h >> 32) % GEN_NEXTS]);
  return buf;
}

// Writes the entries of dirs[i] below path, in a shuffled order that is the
// same for both snapshots.
void
emit_dir(out *o, const std::vector<dir> &dirs, uint32_t i,
         const std::string &path)
{
  const dir &d = dirs[i];
  uint64_t total = uint64_t(d.nfiles) + d.subdirs.size();
  std::vector<uint32_t> order(total);
  for (uint32_t k = 0; k < total; k++)
    order[k] = k;
  std::shuffle(order.begin(), order.end(),
               std::mt19937_64(gen_mix(o->seed ^ i)));
  for (uint32_t k : order) {
    if (k >= d.nfiles) {
      const dir &sub = dirs[d.subdirs[k - d.nfiles]];
      std::string p = path + "/" + sub.name;
      gen_put(&o->g, p, base_rec(gen_mix(o->seed + p.size() * 7919 + k), true));
      emit_dir(o, dirs, d.subdirs[k - d.nfiles], p);
      continue;
    }
    uint64_t e = o->entry++;
    uint64_t h = gen_mix(o->seed ^ gen_mix(e));
    uint64_t pick = gen_mix(e ^ 0x5eed);
    std::string p = path + "/" + file_name(d, h, k);
    db_rec r = base_rec(h, false);
    if (o->newer && pick % 1000 < 5)
      continue;  // deleted
    if (o->newer && (pick >> 10) % 100 == 0)
      gen_change(&r);
    gen_put(&o->g, p, r);
    if (o->newer && (pick >> 20) % 1000 < 5) {
      r.ino += 1;
      gen_put(&o->g, p + ".new", r);
    }
  }
}

[[noreturn]] void
usage()
{
  static const char text[] =
      "usage: gen_cmp [-s host|big|spread] [-n records] [-b entries] "
      "[-D dirs] [-r seed] older newer\n";
  fwrite(text, 1, sizeof text - 1, stderr);
  exit(1);
}

}  // namespace

int
main(int argc, char *argv[])
{
  std::string shape = "host";
  uint64_t nrec = 1000000, nbig = 200000, ndirs = 50000, seed = 1;
  int ch;
  while ((ch = getopt(argc, argv, PORT_OPTS("s:n:b:D:r:"))) != -1) {
    switch (ch) {
      case 's': shape = optarg; break;
      case 'n': nrec = strtoull(optarg, nullptr, 10); break;
      case 'b': nbig = strtoull(optarg, nullptr, 10); break;
      case 'D': ndirs = strtoull(optarg, nullptr, 10); break;
      case 'r': seed = strtoull(optarg, nullptr, 10); break;
      default: usage();
    }
  }
  if (argc - optind != 2)
    usage();

  // dirs[0] is "/", which the builder never records.
  std::vector<dir> dirs(1);
  if (shape == "big") {
    dirs.push_back({"spool", {}, uint32_t(nbig), true});
    dirs[0].subdirs.push_back(1);
  } else if (shape == "spread") {
    dirs.push_back({"spread", {}, 0, false});
    dirs[0].subdirs.push_back(1);
    for (uint32_t k = 0; k < 1000; k++) {
      dirs[1].subdirs.push_back(uint32_t(dirs.size()));
      dirs.push_back(
          {"d" + std::to_string(k), {}, uint32_t(nbig / 1000), false});
    }
  } else if (shape == "host") {
    // Each directory hangs below an earlier one, favouring the first ones,
    // which gives a few wide directories near the top and long thin chains.
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> u(0, 1);
    for (uint64_t i = 1; i < ndirs; i++) {
      double x = u(rng);
      uint32_t parent = uint32_t(double(i) * x * std::sqrt(x));
      char name[48];
      snprintf(name, sizeof name, "%s-%llu", WORDS[gen_mix(i) % NWORDS],
               static_cast<unsigned long long>(i));
      dirs[parent].subdirs.push_back(uint32_t(dirs.size()));
      dirs.push_back({name, {}, 0, false});
    }
    uint32_t spool = uint32_t(dirs.size() / 3);
    dirs[spool].nfiles = uint32_t(nbig);
    dirs[spool].big = true;
    // The remaining files go to the ordinary directories, 1 to 2 times
    // the mean each, the last one taking what is left.
    uint64_t left = nrec - (dirs.size() - 1) - nbig;
    uint64_t mean = left / (dirs.size() - 2);
    for (size_t i = 1; i < dirs.size() && left > 0; i++) {
      if (i == spool)
        continue;
      uint64_t n = std::min<uint64_t>(left, mean / 2 + gen_mix(i) % (mean + 1));
      dirs[i].nfiles = uint32_t(n);
      left -= n;
    }
    dirs[1].nfiles += uint32_t(left);
  } else {
    usage();
  }

  for (int k = 0; k < 2; k++) {
    const char *name = argv[optind + k];
    out o = {gen_open(name), k == 1, seed, 0};
    emit_dir(&o, dirs, 0, "");
    gen_close(&o.g);
    fprintf(stderr, "%s: %llu records in %zu directories\n", name,
            static_cast<unsigned long long>(o.g.written), dirs.size() - 1);
  }
  return 0;
}
