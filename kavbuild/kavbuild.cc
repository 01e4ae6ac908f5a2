// kavbuild: walks the file tree from "/" under the watch policy and writes
// a new snapshot database with one frame per recorded object.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "db/db.h"
#include "diag/diag.h"
#include "kavbuild/capture.h"
#include "kavbuild/digestq.h"
#include "kavbuild/walk.h"
#include "policy/configfile.h"
#include "policy/pclt.h"
#include "port/port.h"

namespace {

const char usage_text[] = "usage: kavbuild [-c file1] [-d file2]\n";
static_assert(sizeof usage_text - 1 == 38, "usage text is 38 bytes");

[[noreturn]] void
usage()
{
  fwrite(usage_text, 1, sizeof usage_text - 1, stderr);
  exit(1);
}

void
on_status_signal(int)
{
  capture_status_request();
}

static_assert(DQ_MAX_THREADS == 64, "the message below names the limit");

// The threads that digest: one per CPU this process may run on, unless
// KAVBUILD_THREADS says otherwise; 1 digests on the walk's own thread.
int
digest_threads()
{
  const char *v = getenv("KAVBUILD_THREADS");
  if (v == nullptr)
    return std::min(port_ncpu(), DQ_MAX_THREADS);
  char *end;
  errno = 0;
  long n = strtol(v, &end, 10);
  if (errno != 0 || end == v || *end != '\0' || n < 1 || n > DQ_MAX_THREADS)
    die_msg2("KAVBUILD_THREADS", "not a number from 1 to 64");
  return int(n);
}

// Lets the soft limit of open files rise, as far as the hard limit allows,
// to what the digest queue would have: the walk keeps files open for the
// digests to come. Short of it, the queue makes do with what there is.
void
allow_open_files()
{
  struct rlimit rl;
  if (getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur >= DQ_OPEN_FILES)
    return;
  rl.rlim_cur = std::min<rlim_t>(rl.rlim_max, DQ_OPEN_FILES);
  setrlimit(RLIMIT_NOFILE, &rl);
}

// The default database name: the time the build starts, local time.
void
default_dbname(char (&name)[DB_PATH_MAX + 1])
{
  time_t now = time(nullptr);
  struct tm tm;
  if (localtime_r(&now, &tm) == nullptr)
    die_sys1("localtime_r()");
  snprintf(name, sizeof name, "kavdb-%d-%.2d-%.2d-%.2d-%.2d-%.2d",
           tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
           tm.tm_sec);
}

// Walks the tree into db. 0, or -1 once the walk, a digest or a write has
// said what failed; the database keeps the frames written before it.
int
build(pclt *tree, db_handle *db, int threads)
{
  // Short of memory for the digest queue, the build still runs, on one
  // thread.
  capture_ctx *cap = capture_open(db, threads);
  if (cap == nullptr && (cap = capture_open(db, 1)) == nullptr)
    die_sys1("capture_open()");
  int r = fs_walk_sync(tree, "/", capture_file, capture_sync, cap);
  if (r == 0)
    r = capture_sync(cap);
  capture_close(cap);
  // Frames db_put accepted may still wait in the handle's buffer; every
  // exit writes them out first, so the file holds all of them.
  if (db_flush(db) != 0) {
    warn_sys1("db_put()");
    r = -1;
  }
  return r == 0 ? 0 : -1;
}

}  // namespace

int
main(int argc, char *argv[])
{
  // Without a handler the signal would end the run; failing to install one
  // only loses the status line, so the build goes on regardless.
  port_on_status_signal(on_status_signal);

  char conf[DB_PATH_MAX + 1];
  copy_cut(conf, KAV_POLICY_PATH);  // set by the build
  char dbname[DB_PATH_MAX + 1];
  default_dbname(dbname);

  int ch;
  while ((ch = getopt(argc, argv, PORT_OPTS("c:d:"))) != -1) {
    switch (ch) {
      case 'c': copy_arg(conf, optarg, "-c"); break;
      case 'd': copy_arg(dbname, optarg, "-d"); break;
      default: usage();  // getopt has said what was wrong
    }
  }
  if (optind != argc)
    usage();
  int threads = digest_threads();
  allow_open_files();

  pclt *tree = pclt_init();
  if (tree == nullptr)
    die_sys1("pclt_init()");
  int status = 1;
  if (configfile_parse(conf, tree) != 0) {
    configfile_perror();
  } else {
    db_handle *db = db_open(dbname, O_RDWR | O_CREAT | O_EXCL, 0600);
    if (db == nullptr)
      die_sys2("db_open()", dbname);
    // Frames go out in large writes; should the buffer be refused, each
    // frame is written as it comes.
    db_wbuffer(db);
    int r = build(tree, db, threads);
    if (db_close(db) != 0 && r == 0)
      die_sys2("db_close()", dbname);
    status = r == 0 ? 0 : 1;
  }
  pclt_free(tree);
  return status;
}
