#include "proc/proc.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "testutil/testutil.h"

namespace {

// A command for argv with every stream on /dev/null and no deadline.
proc_cmd
cmd_of(const std::vector<const char *> &argv)
{
  proc_cmd s = {};
  s.cm_argv = argv.data();
  return s;
}

proc_out
collect(size_t cap)
{
  return {PROC_OUT_COLLECT, -1, cap};
}

// A result seeded with junk, so that a field proc_run leaves alone shows.
proc_result
junk_result()
{
  return {PROC_TIMED_OUT, 0x5555, "junk", "junk", true, true};
}

std::string
pattern(size_t n)
{
  std::string s(n, '\0');
  for (size_t i = 0; i < n; i++)
    s[i] = char('a' + i * 7 % 26);
  return s;
}

// Reads fd until its end or until ms pass: true at its end.
bool
ends_within(int fd, int ms, std::string *got)
{
  int64_t until = proc_now_ms() + ms;
  for (;;) {
    int64_t left = until - proc_now_ms();
    if (left <= 0)
      return false;
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, int(left)) <= 0)
      continue;
    char buf[256];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n == 0)
      return true;
    if (n > 0)
      got->append(buf, size_t(n));
  }
}

}  // namespace

// Input and output each larger than a pipe holds: written and read
// together, or the child and the parent would wait on each other.
TEST(Proc, BigInputBigOutput) {
  const std::string big = pattern(3 << 20);
  const struct {
    std::vector<const char *> argv;
    bool out, err;  // which streams echo the input
  } cases[] = {
      {{"cat", nullptr}, true, false},
      {{"/bin/sh", "-c", "cat >&2", nullptr}, false, true},
      {{"/bin/sh", "-c", "tee /dev/stderr", nullptr}, true, true},
  };
  for (const auto &c : cases) {
    proc_cmd s = cmd_of(c.argv);
    s.cm_in = {PROC_IN_BYTES, -1, big.data(), big.size()};
    s.cm_out = collect(SIZE_MAX);
    s.cm_err = collect(SIZE_MAX);
    // A deadlock shows as the deadline passing, not as a test that hangs.
    s.cm_deadline = proc_now_ms() + 60000;
    proc_result r = junk_result();
    std::string err;
    const char *name = c.argv[c.argv.size() - 2];
    ASSERT_TRUE(proc_run(s, &r, &err)) << name << ": " << err;
    EXPECT_EQ(PROC_EXITED, r.pr_end) << name;
    EXPECT_EQ(0, r.pr_code) << name;
    EXPECT_TRUE(r.pr_out == (c.out ? big : "")) << name;
    EXPECT_TRUE(r.pr_err == (c.err ? big : "")) << name;
    EXPECT_FALSE(r.pr_out_cut || r.pr_err_cut) << name;
  }
}

// A child that leaves its input unread: the write fails, this process
// lives on with no SIGPIPE pending, and the child's status is its own.
TEST(Proc, InputNotRead) {
  const std::string big = pattern(1 << 20);
  const struct {
    const char *script;
    int code;
  } cases[] = {{"exit 0", 0}, {"exit 4", 4}, {"head -c 10 >/dev/null", 0}};
  for (const auto &c : cases) {
    std::vector<const char *> argv = {"/bin/sh", "-c", c.script, nullptr};
    proc_cmd s = cmd_of(argv);
    s.cm_in = {PROC_IN_BYTES, -1, big.data(), big.size()};
    proc_result r = junk_result();
    std::string err;
    ASSERT_TRUE(proc_run(s, &r, &err)) << c.script << ": " << err;
    EXPECT_EQ(PROC_EXITED, r.pr_end) << c.script;
    EXPECT_EQ(c.code, r.pr_code) << c.script;
    sigset_t pending;
    sigpending(&pending);
    EXPECT_FALSE(sigismember(&pending, SIGPIPE)) << c.script;
  }
}

TEST(Proc, Ends) {
  const struct {
    const char *script;
    proc_end end;
    int code;
  } cases[] = {
      {"exit 0", PROC_EXITED, 0},
      {"exit 1", PROC_EXITED, 1},
      {"exit 127", PROC_EXITED, 127},
      {"exit 255", PROC_EXITED, 255},
      {"kill -TERM $$", PROC_SIGNALED, SIGTERM},
      {"kill -KILL $$", PROC_SIGNALED, SIGKILL},
  };
  for (const auto &c : cases) {
    std::vector<const char *> argv = {"/bin/sh", "-c", c.script, nullptr};
    proc_result r = junk_result();
    std::string err;
    ASSERT_TRUE(proc_run(cmd_of(argv), &r, &err)) << c.script << ": " << err;
    EXPECT_EQ(c.end, r.pr_end) << c.script;
    EXPECT_EQ(c.code, r.pr_code) << c.script;
    EXPECT_EQ("", r.pr_out) << c.script;
    EXPECT_FALSE(r.pr_out_cut) << c.script;
  }
}

// A program that cannot be run is a failure to start, never a status:
// not 127 as a shell would make it.
class ProcStart : public TmpDirTest {};

TEST_F(ProcStart, CannotRun) {
  write_file(path("plain"), "#!/bin/sh\nexit 0\n");
  chmod(path("plain").c_str(), 0644);
  std::string none = path("none"), plain = path("plain");
  const struct {
    const char *prog;
    int error;
  } cases[] = {
      {"kavrel-proc-test-no-such-program", ENOENT},
      {none.c_str(), ENOENT},
      {plain.c_str(), EACCES},
      {dir_.c_str(), EACCES},
  };
  for (const auto &c : cases) {
    std::vector<const char *> argv = {c.prog, "x", nullptr};
    proc_child ch;
    std::string err;
    errno = 0;
    EXPECT_FALSE(proc_start(cmd_of(argv), &ch, &err)) << c.prog;
    EXPECT_EQ(c.error, errno) << c.prog;
    EXPECT_TRUE(ch.pc_cannot_run) << c.prog;
    EXPECT_EQ(std::string(c.prog) + ": posix_spawnp: " + strerror(c.error),
              err);
    proc_result r = junk_result();
    EXPECT_FALSE(proc_run(cmd_of(argv), &r, &err)) << c.prog;
  }
  std::vector<const char *> argv = {"/bin/sh", "-c", "exit 127", nullptr};
  proc_child ch;
  std::string err;
  ASSERT_TRUE(proc_start(cmd_of(argv), &ch, &err)) << err;
  proc_result r = junk_result();
  ASSERT_TRUE(proc_wait(&ch, &r, &err)) << err;
  EXPECT_EQ(PROC_EXITED, r.pr_end);
  EXPECT_EQ(127, r.pr_code);
}

// The system refusing a pipe is told apart from a program that cannot run.
TEST(Proc, NoDescriptorsLeft) {
  prog_result pr = run_child([] {
    struct rlimit rl = {16, 16};
    setrlimit(RLIMIT_NOFILE, &rl);
    while (dup(0) >= 0) {
    }
    std::vector<const char *> argv = {"cat", nullptr};
    proc_cmd s = cmd_of(argv);
    s.cm_in = {PROC_IN_BYTES, -1, "x", 1};
    proc_child c;
    std::string err;
    bool ok = proc_start(s, &c, &err);
    printf("%d %d %s\n", ok, c.pc_cannot_run, err.c_str());
  });
  EXPECT_EQ(0, pr.status);
  EXPECT_EQ(std::string("0 0 cat: pipe2: ") + strerror(EMFILE) + "\n", pr.out);
}

TEST(Proc, BadDescriptor) {
  std::vector<const char *> argv = {"cat", nullptr};
  proc_cmd s = cmd_of(argv);
  s.cm_in = {PROC_IN_FD, 1000, nullptr, 0};
  proc_result r;
  std::string err;
  EXPECT_FALSE(proc_run(s, &r, &err));
  EXPECT_EQ(std::string("cat: descriptor 1000: ") + strerror(EBADF), err);
}

// Killed at the deadline: the child, and with cm_own_group what it
// started too, which holds the output pipe open until it dies. Its pid
// comes first on that pipe.
TEST(Proc, Deadline) {
  const struct {
    bool group, collected;
  } cases[] = {{true, false}, {true, true}, {false, false}};
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.group ? "group" : "alone") +
                 (c.collected ? ", stderr collected" : ""));
    int p[2];
    ASSERT_EQ(0, pipe2(p, O_CLOEXEC));
    std::vector<const char *> argv = {
        "/bin/sh", "-c", "sleep 30 & echo $!; echo waiting >&2; wait", nullptr};
    proc_cmd s = cmd_of(argv);
    s.cm_out = {PROC_OUT_FD, p[1], 0};
    if (c.collected)
      s.cm_err = collect(100);
    s.cm_own_group = c.group;
    int64_t start = proc_now_ms();
    s.cm_deadline = start + 300;
    proc_result r = junk_result();
    std::string err;
    bool ran = proc_run(s, &r, &err);
    int64_t took = proc_now_ms() - start;
    close(p[1]);
    EXPECT_TRUE(ran) << err;
    EXPECT_EQ(PROC_TIMED_OUT, r.pr_end);
    EXPECT_GE(took, 300);
    EXPECT_LT(took, 10000);
    EXPECT_EQ(c.collected ? "waiting\n" : "", r.pr_err);
    std::string got;
    bool ended = ends_within(p[0], c.group ? 10000 : 300, &got);
    EXPECT_EQ(c.group, ended) << got;
    int pid = atoi(got.c_str());
    ASSERT_GT(pid, 1) << got;
    if (!ended)
      kill(pid, SIGKILL);
    close(p[0]);
  }
}

TEST(Proc, DeadlineNotReached) {
  std::vector<const char *> argv = {"/bin/sh", "-c", "echo hi; exit 3",
                                    nullptr};
  for (bool collected : {false, true}) {
    proc_cmd s = cmd_of(argv);
    if (collected)
      s.cm_out = collect(100);
    s.cm_deadline = proc_now_ms() + 60000;
    proc_result r = junk_result();
    std::string err;
    ASSERT_TRUE(proc_run(s, &r, &err)) << err;
    EXPECT_EQ(PROC_EXITED, r.pr_end) << collected;
    EXPECT_EQ(3, r.pr_code) << collected;
    EXPECT_EQ(collected ? "hi\n" : "", r.pr_out);
  }
}

// The child holds 0, 1 and 2 and nothing else, whatever the parent has
// open, close-on-exec or not.
TEST_F(ProcStart, NoDescriptorLeaks) {
  write_file(path("in"), "x");
  int in = open(path("in").c_str(), O_RDONLY | O_CLOEXEC);
  int out = open(path("out").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  int stray = dup(2);  // inherited by any child that does not close it
  ASSERT_GE(in, 0);
  ASSERT_GE(out, 0);
  ASSERT_GE(stray, 0);
  // Listed by the shell, which opens nothing of its own for a plain
  // command (a redirection would: it saves the descriptor it replaces).
  std::vector<const char *> argv = {"/bin/sh", "-c", "ls /proc/$$/fd", nullptr};
  const std::string text = "input";
  for (int how = 0; how < 3; how++) {
    proc_cmd s = cmd_of(argv);
    s.cm_out = collect(100);
    if (how == 1) {
      s.cm_in = {PROC_IN_BYTES, -1, text.data(), text.size()};
      s.cm_err = collect(100);
    } else if (how == 2) {
      s.cm_in = {PROC_IN_FD, in, nullptr, 0};
      s.cm_out = {PROC_OUT_FD, out, 0};
      s.cm_err = {PROC_OUT_FD, out, 0};
    }
    proc_result r = junk_result();
    std::string err;
    ASSERT_TRUE(proc_run(s, &r, &err)) << err;
    EXPECT_EQ("0\n1\n2\n", how == 2 ? read_file(path("out")) : r.pr_out)
        << "case " << how;
  }
  close(stray);
  close(in);
  close(out);
}

TEST(Proc, Cap) {
  const struct {
    size_t len, cap;
  } cases[] = {{0, 0},   {0, 10},         {10, 10},
               {11, 10}, {1 << 20, 1000}, {1 << 20, 0}};
  for (const auto &c : cases) {
    std::string script = "head -c " + std::to_string(c.len) + " /dev/zero";
    std::vector<const char *> argv = {"/bin/sh", "-c", script.c_str(), nullptr};
    proc_cmd s = cmd_of(argv);
    s.cm_out = collect(c.cap);
    proc_result r = junk_result();
    std::string err;
    ASSERT_TRUE(proc_run(s, &r, &err)) << err;
    // Read to its end, not cut off: the child finishes its writes.
    EXPECT_EQ(PROC_EXITED, r.pr_end) << script;
    EXPECT_EQ(0, r.pr_code) << script;
    EXPECT_EQ(std::string(c.len < c.cap ? c.len : c.cap, '\0'), r.pr_out)
        << script << ", cap " << c.cap;
    EXPECT_EQ(c.len > c.cap, r.pr_out_cut) << script << ", cap " << c.cap;
  }
}

TEST(Proc, Environment) {
  ASSERT_EQ(0, setenv("KAV_PROC_TEST", "a b\nc", 1));
  std::vector<const char *> argv = {"/bin/sh", "-c",
                                    "printf %s \"$KAV_PROC_TEST\"", nullptr};
  proc_cmd s = cmd_of(argv);
  s.cm_out = collect(100);
  proc_result r = junk_result();
  std::string err;
  bool ran = proc_run(s, &r, &err);
  unsetenv("KAV_PROC_TEST");
  ASSERT_TRUE(ran) << err;
  EXPECT_EQ("a b\nc", r.pr_out);
}

TEST_F(ProcStart, InputFromDescriptor) {
  const std::string text = pattern(200000);
  write_file(path("in"), text);
  int fd = open(path("in").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  std::vector<const char *> argv = {"cat", nullptr};
  proc_cmd s = cmd_of(argv);
  s.cm_in = {PROC_IN_FD, fd, nullptr, 0};
  s.cm_out = collect(SIZE_MAX);
  proc_result r = junk_result();
  std::string err;
  ASSERT_TRUE(proc_run(s, &r, &err)) << err;
  EXPECT_TRUE(r.pr_out == text);
  EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC) << "the caller's flags changed";
  close(fd);
}

// Streams the caller reads itself, and a child it gives up on.
TEST(Proc, CallerReads) {
  std::vector<const char *> argv = {"/bin/sh", "-c", "echo out; echo err >&2",
                                    nullptr};
  proc_cmd s = cmd_of(argv);
  s.cm_out = {PROC_OUT_PIPE, -1, 0};
  s.cm_err = {PROC_OUT_PIPE, -1, 0};
  proc_result r = junk_result();
  std::string err;
  EXPECT_FALSE(proc_run(s, &r, &err));
  EXPECT_EQ("/bin/sh: a pipe the caller reads needs proc_start", err);
  proc_child c;
  ASSERT_TRUE(proc_start(s, &c, &err)) << err;
  std::string out, errtext;
  EXPECT_TRUE(ends_within(c.pc_out, 10000, &out));
  EXPECT_TRUE(ends_within(c.pc_err, 10000, &errtext));
  ASSERT_TRUE(proc_wait(&c, &r, &err)) << err;
  EXPECT_EQ("out\n", out);
  EXPECT_EQ("err\n", errtext);
  EXPECT_EQ(PROC_EXITED, r.pr_end);
  EXPECT_EQ(0, r.pr_code);
  EXPECT_EQ("", r.pr_out);

  std::vector<const char *> sleeper = {"sleep", "30", nullptr};
  s = cmd_of(sleeper);
  s.cm_out = {PROC_OUT_PIPE, -1, 0};
  s.cm_own_group = true;
  ASSERT_TRUE(proc_start(s, &c, &err)) << err;
  proc_kill(&c);
  ASSERT_TRUE(proc_wait(&c, &r, &err)) << err;
  EXPECT_EQ(PROC_SIGNALED, r.pr_end);
  EXPECT_EQ(SIGKILL, r.pr_code);
  EXPECT_EQ(-1, c.pc_out);
}
