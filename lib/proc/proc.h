// proc.h: running a program, the one way the tree starts child processes.
// An argument vector, never a shell; each standard stream from or to
// /dev/null, a descriptor, or a pipe; a deadline; the status it ended with.
// A zeroed proc_cmd is a program with every stream on /dev/null and no
// deadline: set what differs.
#pragma once
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

enum proc_in_kind : uint8_t {
  PROC_IN_NULL,   // /dev/null
  PROC_IN_FD,     // pi_fd, left open for the caller to close
  PROC_IN_BYTES,  // pi_data, written through a pipe while the output is read
};

struct proc_in {
  proc_in_kind pi_kind;
  int pi_fd;
  const char *pi_data;  // not copied: must live until proc_wait returns
  size_t pi_len;
};

enum proc_out_kind : uint8_t {
  PROC_OUT_NULL,     // /dev/null
  PROC_OUT_FD,       // po_fd, left open for the caller to close
  PROC_OUT_COLLECT,  // the first po_cap bytes kept in the result
  PROC_OUT_PIPE,     // a pipe the caller reads itself (proc_start only)
};

struct proc_out {
  proc_out_kind po_kind;
  int po_fd;
  // PROC_OUT_COLLECT keeps this many bytes; what comes past it is read
  // and dropped, so that the child runs on.
  size_t po_cap;
};

// A deadline on the monotonic clock, in milliseconds (proc_now_ms() plus
// the time allowed); PROC_NO_DEADLINE waits as long as the child runs.
constexpr int64_t PROC_NO_DEADLINE = 0;

struct proc_cmd {
  // argv[0] is looked up on PATH as execvp does, unless it holds a slash.
  // Terminated by a null pointer.
  const char *const *cm_argv;
  proc_in cm_in;
  proc_out cm_out;
  proc_out cm_err;
  // The child leads a process group of its own, and a kill at the deadline
  // reaches everything it started (an ssh ProxyCommand, say).
  bool cm_own_group;
  int64_t cm_deadline;
};

enum proc_end : uint8_t {
  PROC_EXITED,     // pr_code is its exit status
  PROC_SIGNALED,   // pr_code is the signal's number
  PROC_TIMED_OUT,  // killed at the deadline
};

struct proc_result {
  proc_end pr_end;
  int pr_code;
  std::string pr_out;  // PROC_OUT_COLLECT's bytes, else empty
  std::string pr_err;
  bool pr_out_cut;  // more came than po_cap
  bool pr_err_cut;
};

// A started child. pc_out and pc_err are the read ends of PROC_OUT_PIPE
// streams, else -1; the caller reads them, and may close them and set -1
// before proc_wait, which closes what is left. The other fields are the
// module's.
struct proc_child {
  pid_t pc_pid;
  int pc_out;
  int pc_err;
  // After a failed proc_start: the program could not be executed (not
  // found, not executable), rather than the system refusing a pipe or a
  // process.
  bool pc_cannot_run;
  std::string pc_name;
  bool pc_group;
  int64_t pc_deadline;
  int pc_in;  // the pipe to its standard input, or -1
  const char *pc_in_data;
  size_t pc_in_left;
  int pc_keep[2];  // the pipes collected for the result, or -1
  size_t pc_cap[2];
};

// The monotonic clock in milliseconds, for cm_deadline.
int64_t proc_now_ms();

// Runs the program to its end: proc_start, then proc_wait. False when it
// could not be started or waited for, with the reason in *err naming the
// program and the call that failed; a program that ran and failed is true,
// its end in *r. Nothing printed, nothing exited.
bool proc_run(const proc_cmd &cmd, proc_result *r, std::string *err);

// Starts the program. Every descriptor but 0, 1 and 2 is closed in the
// child. False with *err (and c->pc_cannot_run) when it could not be
// started; nothing is then left to wait for.
bool proc_start(const proc_cmd &cmd, proc_child *c, std::string *err);

// Feeds PROC_IN_BYTES, collects PROC_OUT_COLLECT streams, and reaps the
// child; past the deadline it is killed (its group with it) and the result
// says PROC_TIMED_OUT. SIGPIPE from a child that stops reading early is
// kept from this process. False with *err only when the child could not be
// waited for; it is killed and reaped then, as far as that goes.
bool proc_wait(proc_child *c, proc_result *r, std::string *err);

// Kills the child (its group, when it has one) now; proc_wait still reaps
// it.
void proc_kill(proc_child *c);
