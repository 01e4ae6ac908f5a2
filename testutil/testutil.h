// testutil.h: temporary directories, small file helpers and running the
// built programs for end-to-end tests.
#pragma once
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// A fresh directory per test under testing::TempDir(), removed afterwards;
// dir_ is its path with every link resolved.
class TmpDirTest : public testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  std::string path(const std::string &name) const { return dir_ + "/" + name; }
  std::string dir_;
};

// How a child runs; the defaults leave everything as the test has it.
struct prog_opts {
  rlim_t fsize = RLIM_INFINITY;  // RLIMIT_FSIZE; SIGXFSZ is then ignored
  rlim_t as = RLIM_INFINITY;     // RLIMIT_AS
  int umask = -1;                // -1 keeps the test's own
  uid_t uid = 0;                 // with gid, run as this user when non-zero
  gid_t gid = 0;
  // The superuser runs the program without the capabilities that override
  // permissions, so that they bind it while it can still reach the binary
  // wherever the checkout is. A child that cannot drop them exits 124.
  bool bound_by_permissions = false;
  std::vector<std::string> env;  // NAME=value, set in the child's environment
  // A file opened for writing as standard output instead of the pipe, such
  // as /dev/full; the result's out is then empty.
  std::string out_file;
  int timeout = 120;  // seconds; then the child is killed and the test fails
  // Called every few milliseconds with the child's pid while it runs, until
  // it returns true: for a signal sent at a chosen moment.
  std::function<bool(pid_t)> watch;
};

struct prog_result {
  int status;  // exit status, or 128 + signal number
  std::string out;
  std::string err;
};

// Runs argv[0] with the rest as arguments in directory cwd, with TZ=UTC,
// standard input from /dev/null and both output streams captured.
prog_result run_prog(const std::vector<std::string> &argv,
                     const std::string &cwd = ".",
                     const prog_opts &o = prog_opts());

// Runs argv in cwd with standard output on /dev/full and checks that it
// ends as a report that cannot be written must: status 1 and the one
// message "stdout: No space left on device". With fails false (nothing to
// write) it must succeed in silence instead.
void expect_full_stdout(const std::vector<std::string> &argv,
                        const std::string &cwd, bool fails);

// Runs fn in a child process set up as run_prog sets up a program; the
// child exits with status 0 when fn returns.
prog_result run_child(const std::function<void()> &fn,
                      const std::string &cwd = ".",
                      const prog_opts &o = prog_opts());

// n bytes in lower-case hex, as digests are printed.
std::string hex_bytes(const uint8_t *d, size_t n);
std::string read_file(const std::string &name);
void write_file(const std::string &name, const std::string &data);
// rm -rf, without following symbolic links.
void remove_tree(const std::string &name);
