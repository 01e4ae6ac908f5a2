// sign.h: signatures of snapshots, package records and the acceptance
// log, made and checked with ssh-keygen -Y (through proc.h), in the
// namespace kavrel-snapshot@kavrel.
#pragma once
#include <string>

constexpr char ST_SIGN_NAMESPACE[] = "kavrel-snapshot@kavrel";

// The programs: ssh-keygen, found where the job's fixed PATH says and
// checked by the caller (trusted.h). The tests point it elsewhere.
struct st_signer {
  std::string sg_keygen;     // the ssh-keygen program's path
  std::string sg_key;        // -f of sign: a private key, or a public key
                             // an agent holds the other half of
  std::string sg_signers;    // the allowed signers file
  std::string sg_principal;  // "" for the one that made the signature
};

// Signs the file into file.sig (replacing it), and writes that to disk.
// False with *err: ssh-keygen's own message, then what failed.
bool st_sign(const st_signer &s, const std::string &file, std::string *err);

enum st_check {
  ST_SIG_GOOD,
  ST_SIG_MISSING,    // file.sig is not there
  ST_SIG_NO_SIGNER,  // made by no key the allowed signers name
  ST_SIG_BAD,        // does not verify: the file was altered
  ST_SIG_FAILED,     // ssh-keygen could not be run; *err says why
};

// Checks file against the signature sig (file + ".sig" when empty; a
// log whose renames were cut short is checked against the signature of
// the next one): the principal is sg_principal, or the
// first that ssh-keygen -Y find-principals names for the signature. The
// file is read through one descriptor, opened without following a link.
// *err gets ssh-keygen's message when there is one.
st_check st_verify(const st_signer &s, const std::string &file,
                   const std::string &sig, std::string *err);
