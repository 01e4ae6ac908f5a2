// settings.h: kavnightly's settings file, read as NAME=VALUE lines and
// never run: a line that only a shell would make sense of is refused,
// not guessed at.
#pragma once
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// The settings, with the defaults kavnightly(8) gives. The numbers and
// KAV_FETCH come as text from the file (the *_text fields) and are read
// into ns_keep, ns_lockwait and ns_fetch by nt_settings_check, whose
// messages quote the text.
// The default watch policy, set by the build, named once where it stays
// a string in the program, as the package's test looks for it.
extern const char NT_DEFAULT_POLICY[];

struct nt_settings {
  std::string ns_policy = NT_DEFAULT_POLICY, ns_dbdir = "/var/lib/kavrel";
  int ns_keep = 30, ns_lockwait = 60;
  std::string ns_keep_text = "30", ns_lockwait_text = "60";
  std::string ns_signkey, ns_signers, ns_principal, ns_bindir,
      ns_explain = "auto", ns_pkgroot, ns_archives;
  bool ns_fetch = true;
  std::string ns_fetch_text = "yes";
  // export NAME=VALUE lines, in the file's order: the environment of the
  // programs the job runs, beside what it sets itself.
  std::vector<std::pair<std::string, std::string>> ns_exports;
};

constexpr size_t NT_LINE_MAX = 4096;

// Reads text, the contents of the file named file, into *s, which holds
// the defaults or what an earlier file set. A line is one of:
//   blank, or a comment: "#" first after any blanks;
//   NAME=VALUE, NAME one of the settings (KAV_POLICY, KAV_DBDIR,
//     KAV_KEEP, KAV_LOCKWAIT, KAV_SIGNKEY, KAV_SIGNERS, KAV_PRINCIPAL,
//     KAV_BINDIR, KAV_EXPLAIN, KAV_PKGROOT, KAV_ARCHIVES, KAV_FETCH);
//   export NAME=VALUE, for the environment of the programs run. Not a
//     KAV_ name, nor a name the job sets itself (PATH, LC_ALL,
//     SSH_ORIGINAL_COMMAND), nor one that changes how a program is loaded
//     or a shell starts (LD_*, GCONV_PATH, GLIBC_TUNABLES, LOCPATH,
//     NLSPATH, HOSTALIASES, ENV, BASH_ENV, IFS, CDPATH, SHELLOPTS,
//     BASHOPTS, PS4).
// with blanks before it, and after it a comment after a blank, if any.
// VALUE is empty; or unquoted, without blanks, control characters,
// # or any of $ ` \ ; & | < > ( ) * ? [ ] ~ { } ' "; or in single quotes,
// anything but '; or in double quotes, anything but $ ` \ and ". A name
// set twice, a NUL byte, a carriage return, a control character other
// than a tab, and a line longer than NT_LINE_MAX bytes are refused. False
// on the first line refused, with *err "file:line: what is wrong"; *s may
// then hold what came before.
bool nt_settings_parse(const std::string &file, std::string_view text,
                       nt_settings *s, std::string *err);

// The checks on the values that need no file system, with the messages
// kavnightly(8) documents ("KAV_KEEP=x: want a number of snapshots"):
// KAV_KEEP and KAV_LOCKWAIT decimal numbers (leading zeros and all) that
// fit an int, KAV_KEEP at least 1; KAV_SIGNKEY and KAV_SIGNERS both set or
// neither; KAV_PKGROOT and KAV_ARCHIVES empty or absolute; KAV_FETCH yes
// or no; KAV_EXPLAIN auto, yes or no. Fills ns_keep, ns_lockwait and
// ns_fetch. False with *err, the first that fails.
bool nt_settings_check(nt_settings *s, std::string *err);
