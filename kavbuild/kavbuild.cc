// kavbuild: walks the file tree from "/" under the watch policy and writes
// a new snapshot database with one frame per recorded object.
#include <fcntl.h>
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

// Frames db_put accepted may still wait in the handle's buffer; every exit
// writes them out first, so the file holds all of them.
int
flush_db(db_handle *db)
{
  if (db_flush(db) == 0)
    return 0;
  warn_sys1("db_put()");
  return -1;
}

}  // namespace

int
main(int argc, char *argv[])
{
  // Without a handler the signal would end the run; failing to install one
  // only loses the status line, so the build goes on regardless.
  port_on_status_signal(on_status_signal);

  time_t now = time(nullptr);
  struct tm tm;
  localtime_r(&now, &tm);
  char conf[1024];
  copy_cut(conf, KAV_POLICY_PATH);  // set by the build
  char dbname[1024];
  snprintf(dbname, sizeof dbname, "kavdb-%d-%.2d-%.2d-%.2d-%.2d-%.2d",
           tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
           tm.tm_min, tm.tm_sec);

  int ch;
  while ((ch = getopt(argc, argv, PORT_OPTS("c:d:"))) != -1) {
    switch (ch) {
      case 'c': copy_cut(conf, optarg); break;
      case 'd': copy_cut(dbname, optarg); break;
      default: usage();  // getopt has said what was wrong
    }
  }
  if (optind != argc)
    usage();
  int threads = digest_threads();

  pclt *tree = pclt_init();
  if (tree == nullptr)
    die_sys1("pclt_init()");
  if (configfile_parse(conf, tree) != 0) {
    configfile_perror();
    pclt_free(tree);
    exit(1);
  }
  db_handle *db = db_open(dbname, O_RDWR | O_CREAT | O_EXCL, 0600);
  if (db == nullptr)
    die_sys2("db_open()", dbname);
  // Frames go out in large writes; should the buffer be refused, each
  // frame is written as it comes.
  db_wbuffer(db);

  // Short of memory for the digest queue, the build still runs, on one
  // thread.
  capture_ctx *cap = capture_open(db, threads);
  if (cap == nullptr && (cap = capture_open(db, 1)) == nullptr)
    die_sys1("capture_open()");
  int r = fs_walk_sync(tree, "/", capture_file, capture_sync, cap);
  if (r == 0)
    r = capture_sync(cap);
  capture_close(cap);
  if (r != 0) {
    // The walk or the visitor has said what failed; the database keeps the
    // frames written before it.
    flush_db(db);
    db_close(db);
    pclt_free(tree);
    exit(1);
  }
  if (flush_db(db) != 0) {
    db_close(db);
    pclt_free(tree);
    exit(1);
  }
  if (db_close(db) != 0)
    die_sys2("db_close()", dbname);
  pclt_free(tree);
  return 0;
}
