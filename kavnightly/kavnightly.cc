// kavnightly: one night's watch. Takes a snapshot with kavbuild under a
// temporary name, signs it when a key is configured, moves it into place,
// compares it with the previous snapshot and with the baseline, triaging
// each comparison against the package manager where the host has dpkg, and
// keeps the baseline and the newest KAV_KEEP others. With -s it serves a
// collector instead; with -a it accepts changes into a new baseline.
//
// Nothing it trusts may be swapped by another user: the settings, the
// policy, the allowed signers, the key, the programs and the database
// directory are each opened once without following a link and checked,
// with every directory above them, before anything is built or written.
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "diag/diag.h"
#include "kavnightly/job.h"
#include "kavnightly/serve.h"
#include "policy/configfile.h"
#include "policy/pclt.h"
#include "port/port.h"
#include "reach/reach.h"
#include "store/trusted.h"

namespace {

const char usage_text[] =
    "usage: kavnightly [-s] [-f file]\n"
    "       kavnightly [-f file] -a all|explained|path -m text [path ...]\n";

// Every message of the job starts with its name, as the programs it runs
// name themselves.
[[noreturn]] void
die(const std::string &msg)
{
  die_msg2("kavnightly", msg.c_str());
}

[[noreturn]] void
die_sys(const char *what, const char *name = nullptr)
{
  if (name == nullptr)
    die_sys2("kavnightly", what);
  die_sys3("kavnightly", what, name);
}

[[noreturn]] void
usage()
{
  fputs(usage_text, stderr);
  exit(2);
}

// What the command line asked for.
struct request {
  std::string conf = KAV_SETTINGS_PATH;  // set by the build
  bool named = false;                    // -f
  bool serving = false;                  // -s
  std::string mode, text;                // -a, -m
  std::vector<std::string> paths;
};

request
parse_args(int argc, char *argv[])
{
  request rq;
  bool have_text = false;
  int ch;
  while ((ch = getopt(argc, argv, PORT_OPTS("a:f:m:s"))) != -1) {
    switch (ch) {
      case 'a': rq.mode = optarg; break;
      case 'f':
        rq.conf = optarg;
        rq.named = true;
        break;
      case 'm':
        rq.text = optarg;
        have_text = true;
        break;
      case 's': rq.serving = true; break;
      default: usage();  // getopt has said what was wrong
    }
  }
  for (int i = optind; i < argc; i++)
    rq.paths.emplace_back(argv[i]);
  if (rq.mode.empty()) {
    if (!rq.paths.empty() || have_text)
      usage();
  } else if (rq.mode == "all" || rq.mode == "explained") {
    if (!rq.paths.empty() || rq.serving)
      usage();
  } else if (rq.mode == "path") {
    if (rq.paths.empty() || rq.serving)
      usage();
  } else {
    usage();
  }
  if (!rq.mode.empty() && rq.text.empty())
    die("-a: say with -m why the changes are accepted");
  return rq;
}

// A settings file is a page of lines: one far larger is not one.
constexpr size_t NT_SETTINGS_MAX = 1 << 20;

// The settings: the defaults, then the file's lines. The default file may
// be missing; one named with -f must be there.
void
load_settings(const request &rq, nt_settings *s)
{
  struct stat st;
  if (lstat(rq.conf.c_str(), &st) != 0) {
    if (!rq.named && errno == ENOENT)
      return;
    die(rq.conf + ": cannot read the configuration");
  }
  int fd;
  std::string text, err;
  if (!st_open_trusted(rq.conf, ST_WANT_FILE, "the configuration", &fd, nullptr,
                       &err))
    die(err);
  bool ok = st_read_fd(fd, rq.conf, NT_SETTINGS_MAX, &text, &err);
  close(fd);
  if (!ok)
    die(rq.conf + ": cannot read the configuration");
  if (!nt_settings_parse(rq.conf, text, s, &err))
    die(err);
}

// Applies the settings' exports and fixes the commands' PATH and locale,
// whatever the caller's.
void
set_environment(const nt_settings &s)
{
  for (const auto &e : s.ns_exports)
    if (setenv(e.first.c_str(), e.second.c_str(), 1) != 0)
      die_sys("setenv()", e.first.c_str());
  if (setenv("PATH", NT_PATH, 1) != 0 || setenv("LC_ALL", "C", 1) != 0)
    die_sys("setenv()");
}

// The directory that holds this program, with every link resolved.
std::string
own_dir()
{
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0)
    die("cannot find the directory kavnightly is in");
  std::string self(buf, size_t(n));
  size_t slash = self.rfind('/');
  return slash == 0 ? "/" : self.substr(0, slash);
}

// A program of KAV_BINDIR, checked as trusted.h checks a program.
std::string
need_program(const nt_job &j, const char *name)
{
  std::string file = j.nj_set.ns_bindir + "/" + name;
  struct stat st;
  if (lstat(file.c_str(), &st) != 0)
    die(file + ": no such program (see KAV_BINDIR)");
  int fd;
  std::string err;
  if (!st_open_trusted(file, ST_WANT_PROGRAM, "a program kavnightly runs", &fd,
                       nullptr, &err))
    die(err);
  close(fd);
  return file;
}

// A file the job trusts, checked and closed: the path is safe to open
// again, since no one else can swap any name on the way to it.
void
need_file(const std::string &file, const char *what)
{
  int fd;
  std::string err;
  if (!st_open_trusted(file, ST_WANT_FILE, what, &fd, nullptr, &err))
    die(err);
  close(fd);
}

// A system program the job or its library runs (ssh-keygen, gpgv,
// apt-get) as NT_PATH finds it; "" when it is not there and not required.
std::string
system_program(const char *name, bool required)
{
  std::string file, err;
  if (st_find_program(name, NT_PATH, &file, &err))
    return file;
  if (required || !err.empty())
    die(err);
  return "";
}

// Whether the comparisons go through the triage: automatic means wherever
// the package manager's root has dpkg's records.
void
decide_explain(nt_job *j)
{
  const nt_settings &s = j->nj_set;
  std::string root = s.ns_pkgroot;
  while (root.size() > 1 && root.back() == '/')
    root.pop_back();
  j->nj_root = root;
  std::string status = (root == "/" ? "" : root) + "/var/lib/dpkg/status";
  struct stat st;
  bool have = stat(status.c_str(), &st) == 0 && S_ISREG(st.st_mode);
  if (s.ns_explain == "no")
    j->nj_explain = false;
  else if (s.ns_explain == "auto")
    j->nj_explain = have;
  else if (!have)
    die("KAV_EXPLAIN=yes, but " + status + " is missing: no package database");
  else
    j->nj_explain = true;
}

// Everything the run will trust, checked before anything is built.
void
check_job(nt_job *j, const request &rq)
{
  std::string err;
  nt_settings &s = j->nj_set;
  if (!nt_settings_check(&s, &err))
    die(err);
  if (s.ns_bindir.empty())
    s.ns_bindir = own_dir();
  need_file(s.ns_policy, "the watch policy");
  if (!s.ns_signers.empty()) {
    struct stat st;
    if (stat(s.ns_signers.c_str(), &st) != 0)
      die(s.ns_signers + ": cannot read the allowed signers");
    need_file(s.ns_signers, "the allowed signers");
    need_file(s.ns_signkey, "the signing key");
    j->nj_signing = true;
    j->nj_signer.sg_keygen = system_program("ssh-keygen", true);
    j->nj_signer.sg_key = s.ns_signkey;
    j->nj_signer.sg_signers = s.ns_signers;
    j->nj_signer.sg_principal = s.ns_principal;
  }
  j->nj_kavbuild = need_program(*j, "kavbuild");
  decide_explain(j);
  if (j->nj_explain) {
    system_program("gpgv", false);
    if (s.ns_fetch)
      system_program("apt-get", false);
  }
  if (!rq.mode.empty()) {
    if (rq.mode == "explained" && !j->nj_explain)
      die("-a explained: the changes are not checked against a package "
          "manager here (KAV_EXPLAIN)");
    j->nj_kavaccept = need_program(*j, "kavaccept");
  }
}

// A walk that records or enters the database directory sees this job's
// own snapshots come and go: no night would ever be quiet. The walk's own
// rules are asked about the directory as the walk would name it (its
// physical path).
void
check_unwatched(const nt_job &j, const std::string &real)
{
  const std::string &policy = j.nj_set.ns_policy;
  pclt *t = pclt_init();
  if (t == nullptr)
    die_sys("pclt_init()");
  if (configfile_parse(policy.c_str(), t) < 0) {
    configfile_perror();
    die("cannot read the policy " + policy + "; nothing built");
  }
  reach_answer answer;
  std::string err;
  bool ok = reach_path(t, real.c_str(), &answer, &err);
  pclt_free(t);
  if (!ok)
    die(err + "; nothing built");
  if (!reach_watched(answer))
    return;
  size_t slash = real.rfind('/');
  std::string parent = slash == 0 ? "/" : real.substr(0, slash);
  die(reach_line(answer) + ": the policy " + policy +
      " watches the database directory, so every night would report "
      "its own snapshots; prune it: put first in the list of " +
      parent + " an entry '+N:S' with 'name:" + real.substr(slash + 1) +
      "' (see kavnightly(8))");
}

// What a database directory the run may not write needs: under the
// systemd unit, which lets the job write /var/lib/kavrel alone, a
// KAV_DBDIR of another name is read-only until the unit names it.
const char READ_ONLY[] =
    ": read-only to this run; under kavnightly.service, name it in "
    "ReadWritePaths= (see kavnightly(8)); nothing built";

// The database directory, made when missing, and checked; with make, it
// must be writable before the night's walk is spent.
void
open_dir(nt_job *j, bool make)
{
  std::string err;
  const std::string &dir = j->nj_set.ns_dbdir;
  if (!st_dir_open(dir, make, &j->nj_dir, &err)) {
    if (errno == EROFS)
      die(dir + READ_ONLY);
    die(err);
  }
  struct statvfs vfs;
  if (make && fstatvfs(j->nj_dir.sd_fd, &vfs) == 0 &&
      (vfs.f_flag & ST_RDONLY) != 0)
    die(dir + READ_ONLY);
}

void
serve(nt_job *j)
{
  struct stat st;
  if (lstat(j->nj_set.ns_dbdir.c_str(), &st) == 0 || errno != ENOENT)
    open_dir(j, false);
  const char *req = getenv("SSH_ORIGINAL_COMMAND");
  std::string err;
  switch (nt_serve(&j->nj_dir, req == nullptr ? "" : req, j->nj_set.ns_lockwait,
                   STDOUT_FILENO, &err)) {
    case NT_SERVED: exit(0);
    case NT_REFUSED: die("refused: " + err);
    case NT_FAILED: die(err);
  }
  exit(2);
}

// What an interrupted run leaves goes, and so does whatever this one
// leaves unfinished.
nt_job *cleaning;

void
clean_up()
{
  std::string err;
  if (cleaning != nullptr && !st_clean(cleaning->nj_dir, &err))
    warn_msg2("kavnightly", err.c_str());
}

void
take_lock(nt_job *j)
{
  bool busy = false;
  std::string err;
  int wait = j->nj_set.ns_lockwait;
  if (st_lock(&j->nj_dir, false, wait, &busy, &err))
    return;
  if (busy)
    die(nt_path(*j, "lock") + ": another run still holds it after " +
        std::to_string(wait) + " s; giving up");
  die(err);
}

}  // namespace

int
main(int argc, char *argv[])
{
  diag_exit_status(2);
  request rq = parse_args(argc, argv);
  static nt_job job;
  load_settings(rq, &job.nj_set);
  set_environment(job.nj_set);
  if (rq.serving) {
    std::string err;
    if (!nt_settings_check(&job.nj_set, &err))
      die(err);
    serve(&job);
  }
  check_job(&job, rq);
  umask(077);
  open_dir(&job, true);
  check_unwatched(job, job.nj_dir.sd_real);
  take_lock(&job);

  std::string err;
  if (!nt_finish_log(&job, &err))
    die(err);
  cleaning = &job;
  atexit(clean_up);
  if (!st_clean(job.nj_dir, &err))
    die(err);

  int status = 2;
  bool ok = rq.mode.empty()
                ? nt_night(&job, &status, &err)
                : nt_accept(&job, rq.mode, rq.text, rq.paths, &status, &err);
  if (!ok)
    die(err);
  if (fflush(stdout) != 0)
    die_sys("stdout");
  return status;
}
