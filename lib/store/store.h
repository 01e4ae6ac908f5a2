// store.h: the database directory of the nightly job. Snapshots are named
// kavdb-NNNNNN-YYYYMMDDThhmmssZ, the six digits counting them from 000000,
// the baselines kavdb-000000-...; each may have companions beside it
// (.sig, .pkg, .pkg.sig). A file comes into place under its name only once
// it is whole and on disk; a snapshot goes with all its companions.
// Everything is done relative to one descriptor of the directory, opened
// once and checked (trusted.h), never by the path again.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The directory, held open; st_dir_open fills it, st_dir_close releases
// it (and the lock, when taken).
struct st_dir {
  std::string sd_path;  // as named, for messages: sd_path + "/" + name
  std::string sd_real;  // with every symbolic link above it resolved
  int sd_fd = -1;       // the directory (O_DIRECTORY, not a link)
  int sd_lock = -1;     // "lock", while locked
};

constexpr char ST_PREFIX[] = "kavdb-";
constexpr char ST_BASE_PREFIX[] = "kavdb-000000-";
// The companions of a snapshot, in the order they are placed: the file
// itself comes last, so that it never stands without them.
constexpr const char *ST_COMPANIONS[] = {".sig", ".pkg.sig", ".pkg"};
// The files of the job's own in the directory besides the snapshots:
// what an interrupted run leaves is removed by the next one.
constexpr const char *ST_SCRATCH[] = {"partial",
                                      "partial.sig",
                                      "partial.pkg",
                                      "partial.pkg.sig",
                                      "report",
                                      "report.unexplained",
                                      "report.explained",
                                      "report.triage",
                                      "accept.log.partial",
                                      "accept.log.partial.sig"};

// Whether name is a snapshot's: "kavdb-", six digits, "-", eight digits,
// "T", six digits, "Z", and nothing else.
bool st_is_snapshot(std::string_view name);
// Whether name is a baseline's: a snapshot numbered 000000.
bool st_is_baseline(std::string_view name);

// The name of the snapshot after prev ("" for none: the baseline), taken
// at now (UTC). The number is read as decimal, leading zeros and all. ""
// when prev is no snapshot's name, when it is numbered 999999 (a seventh
// digit would break the order of the names), or when now's year has not
// four digits.
std::string st_next_name(std::string_view prev, int64_t now);
// A new baseline's name for the time now (UTC): kavdb-000000- and the
// time ("" as above). The caller moves on a second while the name is taken.
std::string st_baseline_name(int64_t now);

// Opens the directory path (made when missing, with the directories above
// it, mode 0700, when make is set) as trusted.h checks a directory, and checks
// that it is mode 0700 and that no name of ST_SCRATCH, "lock" or "accept.log"
// (and its .sig) is a symbolic link. False with *err naming the directory or
// the file and what is wrong.
bool st_dir_open(const std::string &path, bool make, st_dir *d,
                 std::string *err);
void st_dir_close(st_dir *d);

// Takes the lock on "lock" in the directory (flock), exclusive for a run,
// shared for serving; waits up to wait_s seconds for another holder,
// polling. A run makes the file (mode 0600); a shared lock on a directory
// without one is granted with no lock held (sd_lock stays -1), since no
// run has ever been there. Called again, it changes the lock held. False
// with *err: busy (*busy set, "DIR/lock: another run still holds it after
// N s; giving up"), a "lock" that is not a regular file, or a call that
// failed; no lock is held then.
bool st_lock(st_dir *d, bool shared, int wait_s, bool *busy, std::string *err);

// The snapshots of the directory, oldest first (byte order of the names,
// which is the order of the numbers): regular files only, links and
// anything else left out.
bool st_list(const st_dir &d, std::vector<std::string> *names,
             std::string *err);

// Writes the file name of the directory to disk (fsync).
bool st_sync_file(const st_dir &d, const std::string &name, std::string *err);
// Writes the directory's entries to disk, after renames.
bool st_sync_dir(const st_dir &d, std::string *err);

// Writes bytes to the file name of the directory, new (O_EXCL, mode
// 0600), and to disk. False with *err; what was written is removed.
bool st_write(const st_dir &d, const std::string &name, std::string_view bytes,
              std::string *err);
// Reads the whole regular file name of the directory (not following a
// link) into *bytes. False with *err; *missing set when it is not there.
bool st_read(const st_dir &d, const std::string &name, std::string *bytes,
             bool *missing, std::string *err);
// Whether name is there (not following a link): a regular file, or
// anything at all when any is set.
bool st_exists(const st_dir &d, const std::string &name, bool any = false);

// Moves from and its companions that exist (from + ext) to to (+ ext),
// companions first, the directory synced after them and again after the
// file. When a step fails, every companion already moved is moved back
// (or removed, when that fails too) so that nothing is left under the new
// name. False with *err naming what failed.
bool st_place(const st_dir &d, const std::string &from, const std::string &to,
              std::string *err);

// Removes the snapshot name with every companion it has, the snapshot
// first: it never stands without its signature, and a companion left by a
// failure goes with the next rotation. False with *err.
bool st_remove(const st_dir &d, const std::string &name, std::string *err);

// Removes all but the newest keep snapshots other than the baselines,
// each with its companions, oldest first, and then every companion whose
// snapshot is gone (a failed run of an older version left them). *removed
// gets the names: the snapshots', then those companions'.
bool st_rotate(const st_dir &d, int keep, std::vector<std::string> *removed,
               std::string *err);

// Removes every file of ST_SCRATCH that is there. False with *err for one
// that cannot be removed.
bool st_clean(const st_dir &d, std::string *err);

// The SHA-256 of the regular file name of the directory as 64 lowercase
// hex digits; its size in *size when size is not null: the bytes read for
// the digest, from one opening.
bool st_sha256(const st_dir &d, const std::string &name, std::string *hex,
               off_t *size, std::string *err);
