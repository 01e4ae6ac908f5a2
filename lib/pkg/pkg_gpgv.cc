// pkg_gpgv.cc: the signatures of apt's Release files, which gpgv checks
// against the keyrings apt trusts under the root: inline (InRelease), or
// detached beside the file (Release.gpg).
#include <unistd.h>

#include <cstdint>
#include <fstream>

#include "pkg/pkg_int.h"
#include "proc/proc.h"

namespace {

// Runs gpgv with the keyrings and the files: in, when given, is its
// standard input; out, when given, gets its standard output. True when
// the signature verifies.
bool
gpgv_run(const std::vector<std::string> &keyrings,
         std::vector<std::string> files, const std::string *in,
         std::string *out)
{
  std::vector<std::string> args = {"gpgv", "--quiet"};
  for (const std::string &k : keyrings)
    args.insert(args.end(), {"--keyring", k});
  args.insert(args.end(), files.begin(), files.end());
  std::vector<const char *> argv;
  for (const std::string &s : args)
    argv.push_back(s.c_str());
  argv.push_back(nullptr);
  proc_cmd cmd = {};
  cmd.cm_argv = argv.data();
  if (in != nullptr)
    cmd.cm_in = {PROC_IN_BYTES, -1, in->data(), in->size()};
  else
    cmd.cm_out = {PROC_OUT_COLLECT, -1, SIZE_MAX};
  proc_result r;
  std::string err;
  if (!proc_run(cmd, &r, &err))
    return false;
  if (in == nullptr)
    *out = std::move(r.pr_out);
  return r.pr_end == PROC_EXITED && r.pr_code == 0;
}

}  // namespace

// The keyrings apt trusts: its own, and those the sources name.
std::vector<std::string>
pkg_keyrings(const pkg_db *db)
{
  std::vector<std::string> k;
  std::string apt = db->pd_root + "/etc/apt/";
  if (access((apt + "trusted.gpg").c_str(), R_OK) == 0)
    k.push_back(apt + "trusted.gpg");
  for (const std::string &n : pkg_dir_names(apt + "trusted.gpg.d"))
    if (pkg_ends_with(n, ".gpg"))
      k.push_back(apt + "trusted.gpg.d/" + n);
  std::vector<std::string> sources = {apt + "sources.list"};
  for (const std::string &n : pkg_dir_names(apt + "sources.list.d"))
    sources.push_back(apt + "sources.list.d/" + n);
  for (const std::string &s : sources) {
    std::ifstream in(s);
    std::string word;
    while (in >> word) {
      std::string path;
      if (word == "Signed-By:")
        in >> path;
      else if (word.compare(0, 10, "signed-by=") == 0)
        path = word.substr(10, word.find(']') - 10);
      else if (word.compare(0, 11, "[signed-by=") == 0)
        path = word.substr(11, word.find(']') - 11);
      if (!path.empty() && path[0] == '/')
        k.push_back(db->pd_root + path);
    }
  }
  return k;
}

// The signed text of a Release file: the one gpgv puts out of an inline
// signed file, or the file itself where sig, its detached signature,
// verifies it.
bool
pkg_release_verify(const std::vector<std::string> &keys,
                   const std::string &file, const std::string &sig,
                   std::string *text)
{
  if (sig.empty())
    return gpgv_run(keys, {"--output", "-", file}, nullptr, text);
  // gpgv checks the bytes read here, on its standard input: what is
  // verified is what is parsed.
  return pkg_read_file(file, text) && gpgv_run(keys, {sig, "-"}, text, nullptr);
}
