// collect.h: the engine of kavcollect. Each host's snapshots are fetched
// over ssh(1) from its forced command (kavnightly -s) into the store,
// checked against the history the store already holds, and compared there.
#pragma once
#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "db/db.h"
#include "proc/proc.h"

// How many comparisons may run at once: each holds two snapshots.
struct collect_gate {
  std::mutex cg_mutex;
  std::condition_variable cg_wait;
  int cg_free;
};

// Holds one of a gate's places while it lives: comparing, rebuilding,
// packing and triage each hold two snapshots, and no more run at once
// than the gate allows.
class collect_gate_hold {
 public:
  explicit collect_gate_hold(collect_gate *g) : g_(g)
  {
    std::unique_lock<std::mutex> lock(g_->cg_mutex);
    g_->cg_wait.wait(lock, [this] { return g_->cg_free > 0; });
    g_->cg_free--;
  }
  ~collect_gate_hold()
  {
    {
      std::lock_guard<std::mutex> lock(g_->cg_mutex);
      g_->cg_free++;
    }
    g_->cg_wait.notify_one();
  }
  collect_gate_hold(const collect_gate_hold &) = delete;
  collect_gate_hold &operator=(const collect_gate_hold &) = delete;

 private:
  collect_gate *g_;
};

// What the command line chose, shared by every host.
struct collect_opts {
  const char *co_store;       // the store's directory
  const char *co_ssh_config;  // -F, or null for ssh's own
  int co_time_limit;          // seconds for one host, all its sessions
  collect_gate *co_gate;
  const char *co_ctl_dir;  // private (0700): the hosts' control sockets
};

// One snapshot as the host lists it or the store holds it.
struct snap_entry {
  std::string se_name;
  uint32_t se_num;  // the six-digit number of its name
  uint64_t se_size;
  std::string se_sha;  // SHA-256, 64 lowercase hex digits
  // In the store: the number of the snapshot it is kept as a difference
  // from, always a later one; 0 when it is kept whole.
  uint32_t se_from = 0;
};

// A snapshot's name as kavnightly makes it: kavdb-NNNNNN-TIME, TIME
// letters and digits ending in Z. True, and *num set, for such a name.
bool collect_snap_name(const std::string &name, uint32_t *num);

// Checks the host's list against what the store holds, both oldest first,
// and sets *fetch to the listed snapshots the store lacks. False, with *err
// naming the fault, when the host's history was reset or rewritten.
bool collect_history(const std::vector<snap_entry> &held,
                     const std::vector<snap_entry> &listed,
                     std::vector<snap_entry> *fetch, std::string *err);

// Parses the output of "list": one "NAME SIZE SHA256" line per snapshot.
// False, with *err, for anything else or numbers that do not increase.
bool collect_parse_list(const std::string &text, std::vector<snap_entry> *out,
                        std::string *err);

// The bounds of the members of "send", checked on each member's line
// before a byte of it is read. The snapshot is the size the list gave it.
// A signature made by ssh-keygen -Y is under 2 KiB with any key it makes;
// 64 KiB leaves room for keys to come. The package records are a tar of
// what kavexplain -s keeps, through xz: 700 packages keep 29 MiB, 4.9 MiB
// after xz (6 to 1), and the reader takes at most 128 MiB (PKG_KEPT_MAX)
// before xz, about 21 MiB after it at that ratio; 32 MiB bounds them.
constexpr uint64_t COLLECT_SIG_MAX = uint64_t(64) << 10;
constexpr uint64_t COLLECT_PKG_MAX = uint64_t(32) << 20;
// The members in the order of sending, after the snapshot itself.
constexpr const char *COLLECT_COMPANIONS[] = {".sig", ".pkg"};
constexpr int COLLECT_MEMBERS = 3;  // the snapshot and its companions

// A difference is asked for only for a snapshot listed at up to 1 GiB (a
// whole Debian host makes 70 MB): it is rebuilt in memory beside its base,
// and a host's list must not choose the collector's memory. Its member is
// at most the snapshot's listed size: a host sends a difference only when
// it is the smaller.
constexpr uint64_t COLLECT_DELTA_SNAP_MAX = uint64_t(1) << 30;

enum collect_member {
  COLLECT_MEMBER_OK,
  COLLECT_MEMBER_BAD,  // not the framed form: the session is at fault
  COLLECT_MEMBER_BIG,  // over its bound: the snapshot as served is at fault
};
// Parses "member NAME SIZE" of the framed form for the snapshot want:
// *index is the member's place (0 the snapshot, then COLLECT_COMPANIONS),
// and must grow from member to member, the snapshot first; *size its size.
// A snapshot of a size other than listed is BAD: the list is the bound.
// Else *err names the member and what is wrong.
collect_member collect_parse_member(const std::string &line,
                                    const snap_entry &want, int *index,
                                    uint64_t *size, std::string *err);

// Parses "delta NAME BASE SIZE" of the framed form, in place of the
// snapshot's member line: want as a difference from base, *size bytes of
// it, at most want's listed size. False, with *err, for anything else: the
// session is at fault.
bool collect_parse_delta(const std::string &line, const snap_entry &want,
                         const std::string &base, uint64_t *size,
                         std::string *err);

// Parses "delta NAME.pkg BASE.pkg SIZE LENGTH SHA256" of the framed form,
// in place of the package records' member line after *index (the place of
// the last member): want's records as *size bytes of difference from
// base's, rebuilding to *length bytes of SHA-256 *sha. BIG when *length is
// over the records' bound; BAD for anything else, or a difference larger
// than what it makes.
collect_member collect_parse_records_delta(const std::string &line,
                                           const snap_entry &want,
                                           const std::string &base, int *index,
                                           uint64_t *size, uint64_t *length,
                                           std::string *sha, std::string *err);

// Reads the snapshot at path whole, as a comparison would: false, with
// *err saying which frame and why, when it would not load; errno is then
// EBADMSG for a damaged snapshot, else the error of reading it.
bool collect_check(const std::string &path, std::string *err);

// One ssh session running one request on a host: its stdout is read
// through ssh_read; its stderr is kept (the first KiB) to say err it failed.
struct ssh_session {
  proc_child ss_proc;  // its pipes moved to ss_out and ss_err
  int ss_out;
  int ss_err;
  time_t ss_deadline;
  std::string ss_errtext;
  int ss_code;  // after ssh_finish: ssh's exit status, -1 when it did not exit
};
// Starts ssh in batch mode. Every session of one host goes through one
// connection, whose control socket is ctl (see ssh_config(5): the first
// session opens it; ssh_close ends it). False, with *err, when ssh cannot
// be started.
bool ssh_start(ssh_session *s, const collect_opts *o, const char *host,
               const std::string &ctl, const char *request, time_t deadline,
               std::string *err);
// Ends the connection of control socket ctl, if it is open.
void ssh_close(const collect_opts *o, const char *host, const std::string &ctl);
// Up to n bytes of the request's output: their number, 0 at its end, -1
// when the deadline passed (ETIMEDOUT) or reading failed.
ssize_t ssh_read(ssh_session *s, void *buf, size_t n);
// Ends the session and waits for ssh, killing it when abandon is set (the
// output is not wanted) or the deadline passes. True when ssh exited 0;
// else *err says how it ended, with the last line it wrote on stderr.
bool ssh_finish(ssh_session *s, bool abandon, std::string *err);

// A record's extension, kept once the tree it lived in is freed.
struct collect_ext {
  bool ce_set = false;  // the record had one
  uint8_t ce_sha256[DB_SHA256_LEN];
  std::vector<uint8_t> ce_xa;  // the extended attribute items
};
// One path that differs between two snapshots; recs[1] only for a change.
// The records' ext is null: collect_change_recs gives them back with it.
struct collect_change {
  std::string cc_path;
  uint8_t cc_kind;
  db_rec cc_recs[2];
  collect_ext cc_ext[2];
};
// c's records into recs with their extensions in ext, which must live as
// long as recs are used, as must c (the attributes stay in it).
void collect_change_recs(const collect_change &c, db_rec recs[2],
                         db_ext ext[2]);
// The comparison of two snapshots of the host's directory in the store.
struct collect_section {
  bool cs_since_base;  // the older one is the baseline
  bool cs_with_prev;   // the older one is the one before the newer
  std::string cs_older;
  std::string cs_newer;
  std::vector<collect_change> cs_changes;
};

// A snapshot that would not load or verify, now out of the history.
struct collect_aside {
  std::string ca_name;
  std::string ca_why;
};

// What one host gave: an error, or what was fetched and compared; and the
// snapshots set aside on the way, even when it failed after them.
struct collect_result {
  std::string cr_host;
  std::string cr_error;  // empty when the host was collected
  bool cr_first;         // its first collection: nothing compared
  std::vector<std::string> cr_fetched;
  std::vector<collect_section> cr_sections;
  std::string cr_compared;  // the newest snapshot now compared
  std::vector<collect_aside> cr_aside;
};

// Collects one host into store/HOST: list, history check, fetch, compare.
// Threads may collect several hosts at once; they share co_gate.
void collect_host(const collect_opts *o, const char *host, collect_result *out);

// Records in store/HOST that every snapshot up to r->cr_compared has been
// reported, so that the next run compares only what comes after. False,
// with *err, when it cannot be written.
bool collect_mark(const collect_opts *o, const collect_result *r,
                  std::string *err);

// Compares the store's snapshots older and newer of one host through the
// compare engine. False, with *err, for a damaged or unreadable snapshot.
bool collect_compare(const std::string &older, const std::string &newer,
                     std::vector<collect_change> *out, std::string *err);
