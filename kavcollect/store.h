// store.h: the files of a host's directory in the store, and SHA-256.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "kavcollect/collect.h"
#include "store/sign.h"

struct evp_md_ctx_st;

// Names in a host's directory besides the snapshots and their companions.
#define STORE_TMP_PREFIX "tmp."    // a file on its way in; removed when found
#define STORE_SUMS "sums"          // size and SHA-256 of each snapshot held
#define STORE_COMPARED "compared"  // the newest snapshot reported
#define STORE_BASELINE "baseline"  // a snapshot accepted as the baseline
#define STORE_SIGNERS "allowed_signers"
// NAME.from-NNNNNN: snapshot NAME kept as a difference (delta.h) from the
// later snapshot numbered NNNNNN, which is its reference.
#define STORE_FROM ".from-"
// The snapshots to fetch whole on the next run, a name a line: their
// difference did not rebuild to what the host listed.
#define STORE_WHOLE "whole"
// The snapshots set aside: their bytes as received (what came of them),
// NAME.why saying why, and the sums file of their names, sizes and
// SHA-256 as the host listed them, by which they are known and never
// fetched again.
#define STORE_BAD "bad"
#define STORE_WHY ".why"
constexpr size_t STORE_SMALL_MAX = 1 << 24;  // a sums file or a host's list

// SHA-256 through the system's crypto library.
class sha256_ctx {
 public:
  sha256_ctx();
  ~sha256_ctx();
  sha256_ctx(const sha256_ctx &) = delete;
  sha256_ctx &operator=(const sha256_ctx &) = delete;
  void update(const void *p, size_t n);
  bool final(std::string *hex);  // false when the library failed
 private:
  evp_md_ctx_st *ctx_;
  bool ok_;
};

std::string store_hex(const uint8_t *bytes, size_t n);
// what, then the system's reason for errno.
std::string store_sys_err(const std::string &what);
// A snapshot's number as its name writes it: six digits.
std::string store_number6(uint32_t num);
bool store_sha256_file(const std::string &path, uint64_t *size,
                       std::string *hex, std::string *err);

// A new file of mode 0600 under a temporary name in dir: its descriptor in
// *fd, its name in *tmp; false with *err. store_tmp_close syncs and closes
// it (false with *err).
bool store_tmp_open(const std::string &dir, int *fd, std::string *tmp,
                    std::string *err);
bool store_tmp_close(int fd, const std::string &tmp, std::string *err);
bool store_sync_dir(const std::string &dir, std::string *err);
// Replaces dir/name with text, whole or not at all.
bool store_write_file(const std::string &dir, const char *name,
                      const std::string &text, std::string *err);
// The file's text (at most STORE_SMALL_MAX bytes); empty when it is missing.
bool store_read_small(const std::string &path, std::string *text,
                      std::string *err);

// Makes the host's directory (mode 0700) when missing, removes what a
// killed run left there, and sets *held to its snapshots, oldest first, and
// *aside to those set aside. One that the sums of bad/ name but that still
// stands among the held (a run killed while setting it aside) is moved. A
// snapshot that stands both whole and as a difference (a run killed while
// changing its form) is kept whole.
bool store_open_host(const std::string &dir, std::vector<snap_entry> *held,
                     std::vector<snap_entry> *aside, std::string *err);
// Sets e aside: each file of from (empty ones skipped) is moved to
// dir/bad/NAME followed by the suffix at the same place of to, why is
// written beside them, and e added to bad/sums and to *aside (kept
// oldest first). The sums are written first: a run killed after them
// finishes the move when the host is next opened.
bool store_set_aside(const std::string &dir, const snap_entry &e,
                     const std::vector<std::string> &from,
                     const std::vector<std::string> &to, const std::string &why,
                     std::vector<snap_entry> *aside, std::string *err);
bool store_put_sums(const std::string &dir, const std::vector<snap_entry> &held,
                    std::string *err);

// The bytes of held[i] (held as store_open_host gives them), rebuilt from
// the snapshots after it when it is kept as a difference, and checked
// against the size and SHA-256 of the sums, as is every snapshot used to
// rebuild it: the one way anything reads a snapshot of the store. False,
// with *err naming the file and what is wrong.
bool store_snap_read(const std::string &dir,
                     const std::vector<snap_entry> &held, size_t i,
                     std::string *bytes, std::string *err);

// A snapshot of the store as a file, for what reads files (the compare
// engine, ssh-keygen): the file itself when it is kept whole, else a
// private temporary file of the host's directory, removed with this.
struct store_file {
  std::string sf_path;
  bool sf_tmp = false;
  store_file() = default;
  store_file(const store_file &) = delete;
  store_file &operator=(const store_file &) = delete;
  ~store_file();
};
// Sets *out to held[i] as a file, its bytes checked as store_snap_read
// checks them. False, with *err.
bool store_snap_file(const std::string &dir,
                     const std::vector<snap_entry> &held, size_t i,
                     store_file *out, std::string *err);

// A run converts at most this many whole snapshots to differences: the one
// below the newest, then the oldest (a store that an older collector kept
// whole shrinks a few a night).
constexpr int STORE_PACK_MAX = 3;
// Keeps a quiet night to about what changed: each snapshot held whole but
// the newest and the baseline held[base] (at most STORE_PACK_MAX) is
// replaced by a difference from the one after it, which is written, synced
// and renamed, and read back byte for byte, before the whole file is
// removed; a baseline kept as a difference is made whole again, as it is
// read every night. Updates se_from of *held. False, with *err.
bool store_pack(const std::string &dir, std::vector<snap_entry> *held,
                size_t base, std::string *err);

// Sets held[k] aside (store_set_aside) as its bytes, rebuilt when it is
// kept as a difference, after making whole any snapshot kept as a
// difference from it; removes it from *held and writes the sums.
bool store_set_aside_held(const std::string &dir, std::vector<snap_entry> *held,
                          size_t k, const std::string &why,
                          std::vector<snap_entry> *aside, std::string *err);

// The snapshot a difference is asked from: the newest held, its bytes as
// store_snap_read gives them.
struct store_base {
  snap_entry sb_entry;
  std::string sb_bytes;
  // Its package records as the store holds them (store_base_records), for
  // a host that sends the snapshot's own as a difference from them.
  std::string sb_records;
  bool sb_has_records = false;
  // Set by store_fetch: the host answered the request for a difference
  // with an error and nothing else, as a kavnightly that does not know it
  // does; the snapshot was then asked whole.
  bool sb_unknown = false;
};

// Sets base's records from dir, where the store holds them as a regular
// file of at most COLLECT_PKG_MAX bytes; else none.
void store_base_records(const std::string &dir, store_base *base);

enum store_got {
  STORE_FAILED,     // nothing kept; *err says why (the host, ssh, the store)
  STORE_TAKEN,      // the snapshot and its companions stand under their names
  STORE_SET_ASIDE,  // the snapshot is bad: set aside, *err says why
  STORE_BAD_DIFF,   // the host's difference did not rebuild to the snapshot
                    // listed: nothing kept, *err says so
};
// Fetches the snapshot want with "send" into dir, as a difference from
// base when base is not null ("send NAME since BASE SHA256"): its members under
// temporary names, each bounded (collect_parse_member), checked against
// want's size and SHA-256 and, when signers is not empty, its signature
// against that allowed signers file, then read whole (collect_check); then
// moved to their names, the snapshot last. A snapshot whose bytes are as
// listed but that has a member over its bound, no or a bad signature, or
// would not load is set aside (store_set_aside, into *aside). A difference
// is rebuilt and checked against want's size and SHA-256 before anything
// else: one that does not rebuild to them is STORE_BAD_DIFF, as are
// package records sent as a difference from base's that do not rebuild to
// the size and SHA-256 their head states. Records the same as base's are
// kept as a link to base's file.
store_got store_fetch(const collect_opts *o, const char *host,
                      const std::string &ctl, const std::string &dir,
                      const snap_entry &want, store_base *base,
                      const std::string &signers, time_t deadline,
                      std::vector<snap_entry> *aside, std::string *err);

// Checks the signature sig ("" for path + ".sig") of path against the
// allowed signers: ST_SIG_GOOD, or what is wrong with *err saying it,
// naming path.
st_check store_verify(const std::string &path, const std::string &sig,
                      const std::string &signers, std::string *err);
