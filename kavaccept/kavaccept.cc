// kavaccept: makes a new baseline snapshot database from a baseline and the
// newest snapshot, taking the newest records of the paths the mode picks,
// and prints the acceptance log line that says what it took.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "cmp/cmp.h"
#include "db/db.h"
#include "diag/diag.h"
#include "explain/window.h"
#include "ft/ft.h"
#include "kavaccept/accept.h"
#include "port/port.h"
#include "store/log.h"

namespace {

const char usage_text[] =
    "usage: kavaccept [-f] [-r root] [-a dir] [-p records]... [-t time1] "
    "[-T time2] -m text -u user -n name mode baseline newest out "
    "[path ...]\n";

// 1 says there was nothing to accept: a usage error is 2, as every other
// error.
[[noreturn]] void
usage()
{
  fputs(usage_text, stderr);
  exit(2);
}

enum mode { MODE_ALL, MODE_EXPLAINED, MODE_PATH };
constexpr const char *MODE_WORDS[] = {"all", "explained", "path"};
constexpr size_t NMODES = sizeof MODE_WORDS / sizeof MODE_WORDS[0];

struct args {
  xp_window w;
  const char *text = nullptr, *user = nullptr, *name = nullptr;
  mode m = MODE_ALL;
  const char *baseline = nullptr, *newest = nullptr, *out = nullptr;
  std::vector<std::string> paths;
};

// A text of the log line: given, and no longer than a path may be.
void
check_text(const char *opt, const char *text)
{
  if (text == nullptr)
    usage();
  if (strlen(text) > DB_PATH_MAX)
    die_msg2(opt, "argument too long");
}

void
parse(int argc, char *argv[], args *a)
{
  std::string err;
  int ch;
  while ((ch = getopt(argc, argv, PORT_OPTS("r:a:p:t:T:fm:u:n:"))) != -1) {
    switch (ch) {
      case 'm': a->text = optarg; break;
      case 'u': a->user = optarg; break;
      case 'n': a->name = optarg; break;
      default:
        if (!xp_window_takes(ch))
          usage();  // getopt has said what was wrong
        if (!xp_window_option(&a->w, ch, optarg, &err))
          die_msg1(err.c_str());
    }
  }
  if (argc - optind < 4)
    usage();
  size_t m = 0;
  while (m < NMODES && strcmp(argv[optind], MODE_WORDS[m]) != 0)
    m++;
  if (m == NMODES)
    usage();
  a->m = mode(m);
  a->baseline = argv[optind + 1];
  a->newest = argv[optind + 2];
  a->out = argv[optind + 3];
  a->paths.assign(argv + optind + 4, argv + argc);
  if (a->paths.empty() != (a->m != MODE_PATH))
    usage();
  check_text("-m", a->text);
  check_text("-u", a->user);
  check_text("-n", a->name);
  if (a->text[0] == '\0')
    die_msg2("-m", "no text");
  if (a->user[0] == '\0')
    die_msg2("-u", "no user");
  // The name the new baseline gets in its directory.
  if (a->name[0] == '\0' || strchr(a->name, '/') != nullptr ||
      strcmp(a->name, ".") == 0 || strcmp(a->name, "..") == 0)
    die_msg2("-n", "not a plain file name");
}

// The changed paths the mode takes the newest records of; exits on an error.
void
pick(args *a, ft_tree *tree, acc_take *take)
{
  std::string err;
  switch (a->m) {
    case MODE_ALL: acc_pick_all(tree, take); break;
    case MODE_PATH:
      if (!acc_pick_paths(tree, a->paths, take, &err))
        die_msg1(err.c_str());
      break;
    case MODE_EXPLAINED: {
      std::vector<xp_path> paths;
      xp_notes notes;
      if (!xp_window_explain(a->w, tree, &paths, &notes, &err))
        die_msg1(err.c_str());
      // Nothing is accepted on a night when something did not verify.
      if (!notes.xn_failed.empty())
        die_msg2("not verified", notes.xn_failed[0].c_str());
      acc_pick_explained(paths, take);
      break;
    }
  }
}

// Makes the directory entry of a new file as durable as its data. A file
// system that cannot sync a directory (EINVAL) keeps it as it does.
int
sync_dir(const char *file)
{
  const char *slash = strrchr(file, '/');
  std::string dir = slash == nullptr ? "."
                    : slash == file  ? "/"
                                     : std::string(file, size_t(slash - file));
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    warn_sys2("open()", dir.c_str());
    return -1;
  }
  if (fsync(fd) != 0 && errno != EINVAL) {
    warn_sys2("fsync()", dir.c_str());
    close(fd);
    return -1;
  }
  close(fd);  // read only: nothing is lost when closing fails
  return 0;
}

// Writes the new baseline to out, made by this call (*made), then to the
// disk, modified at mtime. 0, or -1 after saying what failed.
int
write_out(const args &a, ft_tree *tree, const acc_take &take,
          const timespec &mtime, bool *made)
{
  db_handle *db = db_open(a.out, O_RDWR | O_CREAT | O_EXCL, 0600);
  *made = db != nullptr;
  if (db == nullptr) {
    warn_sys2("db_open()", a.out);
    return -1;
  }
  // Should the buffer be refused, each frame is written as it comes.
  db_wbuffer(db);
  std::string err;
  bool ok = a.m == MODE_ALL ? acc_copy(a.newest, db, a.out, &err)
                            : acc_write(tree, take, db, a.out, &err);
  if (ok && db_flush(db) != 0) {
    ok = false;
    err = diag_sys_text("db_put()", a.out);
  }
  int r = ok ? 0 : -1;
  if (!ok)
    warn_msg1(err.c_str());
  const timespec times[2] = {{0, UTIME_OMIT}, mtime};
  if (r == 0 && futimens(db_fd(db), times) != 0) {
    warn_sys2("futimens()", a.out);
    r = -1;
  }
  if (r == 0 && fsync(db_fd(db)) != 0) {
    warn_sys2("fsync()", a.out);
    r = -1;
  }
  if (db_close(db) != 0 && r == 0) {
    warn_sys2("db_close()", a.out);
    r = -1;
  }
  return r == 0 ? sync_dir(a.out) : -1;
}

// Says what made the run fail after out was made, and removes out.
[[noreturn]] void
fail_made(const char *what, const char *name, const char *out)
{
  if (name != nullptr)
    warn_sys2(what, name);
  else if (what != nullptr)
    warn_sys1(what);
  unlink(out);
  exit(2);
}

}  // namespace

int
main(int argc, char *argv[])
{
  diag_exit_status(2);
  args a;
  parse(argc, argv, &a);
  // Refused before the work as well as when it is made.
  struct stat st;
  if (lstat(a.out, &st) == 0) {
    errno = EEXIST;
    die_sys2("db_open()", a.out);
  }
  std::string err;
  if (a.m == MODE_EXPLAINED &&
      !xp_window_settle(&a.w, a.baseline, a.newest, &err))
    die_msg1(err.c_str());
  const char *failed = nullptr;
  ft_tree *tree = cmp_load(a.baseline, a.newest, &failed);
  if (tree == nullptr)
    die_sys2("db_readall()", failed);
  acc_take take;
  pick(&a, tree, &take);
  if (take.empty()) {
    warn_msg1("nothing to accept");
    exit(1);
  }

  // A later kavexplain against the new baseline counts the package
  // operations from its modification time: the baseline's, unless the
  // newest snapshot is taken whole.
  const char *dated = a.m == MODE_ALL ? a.newest : a.baseline;
  if (stat(dated, &st) != 0)
    die_sys2("stat()", dated);
  char older_sum[2 * SHA256_LEN + 1], newer_sum[2 * SHA256_LEN + 1];
  if (!acc_file_sha256(a.baseline, older_sum, &err))
    die_msg1(err.c_str());
  bool made = false;
  if (write_out(a, tree, take, st.st_mtim, &made) != 0) {
    if (made)
      fail_made(nullptr, nullptr, a.out);
    exit(2);
  }
  ft_free(tree);
  if (!acc_file_sha256(a.out, newer_sum, &err)) {
    warn_msg1(err.c_str());
    fail_made(nullptr, nullptr, a.out);
  }

  st_accept log;
  log.sa_time = int64_t(time(nullptr));
  log.sa_user = a.user;
  log.sa_mode = MODE_WORDS[a.m];
  log.sa_text = a.text;
  log.sa_paths.assign(take.begin(), take.end());
  log.sa_baseline = a.name;
  log.sa_older_sha256 = older_sum;
  log.sa_newer_sha256 = newer_sum;
  std::string line = st_log_line(log);
  if (fwrite(line.data(), 1, line.size(), stdout) != line.size() ||
      fflush(stdout) != 0)
    fail_made("stdout", nullptr, a.out);
  return 0;
}
