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
// stands among the held (a run killed while setting it aside) is moved.
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

enum store_got {
  STORE_FAILED,     // nothing kept; *err says why (the host, ssh, the store)
  STORE_TAKEN,      // the snapshot and its companions stand under their names
  STORE_SET_ASIDE,  // the snapshot is bad: set aside, *err says why
};
// Fetches the snapshot want with "send" into dir: its members under
// temporary names, each bounded (collect_parse_member), checked against
// want's size and SHA-256 and, when signers is not empty, its signature
// against that allowed signers file, then read whole (collect_check); then
// moved to their names, the snapshot last. A snapshot whose bytes are as
// listed but that has a member over its bound, no or a bad signature, or
// would not load is set aside (store_set_aside, into *aside).
store_got store_fetch(const collect_opts *o, const char *host,
                      const std::string &ctl, const std::string &dir,
                      const snap_entry &want, const std::string &signers,
                      time_t deadline, std::vector<snap_entry> *aside,
                      std::string *err);

// Checks dir/name's signature dir/name.sig against the allowed signers:
// ST_SIG_GOOD, or what is wrong with *err saying it, naming path.
st_check store_verify(const std::string &path, const std::string &signers,
                      std::string *err);
