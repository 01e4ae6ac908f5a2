// pkg_gpgv.cc: the signatures of apt's Release files, which gpgv checks
// against the keyrings trusted for this comparison: inline (InRelease),
// or detached beside the file (Release.gpg). gpgv reads private copies of
// the keyrings' checked bytes, and a home of its own with nothing in it,
// so that no other key is ever consulted.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "diag/diag.h"
#include "pkg/pkg_int.h"
#include "proc/proc.h"

namespace {

// Runs gpgv with the keyrings and the files, its home the key directory:
// in, when given, is its standard input; out, when given, gets its
// standard output. True when the signature verifies.
bool
gpgv_run(const pkg_keydir &kd, const std::vector<size_t> &keys,
         std::vector<std::string> files, const std::string *in,
         std::string *out)
{
  // Without a keyring gpgv would take its home's: never run it so.
  if (kd.kd_dir.empty() || keys.empty())
    return false;
  std::vector<std::string> args = {"gpgv", "--quiet", "--homedir", kd.kd_dir};
  for (size_t k : keys)
    args.insert(args.end(), {"--keyring", kd.kd_files[k]});
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

// Writes data whole to a new file; false with errno.
bool
write_new(const std::string &name, const std::string &data)
{
  int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0)
    return false;
  size_t at = 0;
  while (at < data.size()) {
    ssize_t n = write(fd, data.data() + at, data.size() - at);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0) {
      int e = errno;
      close(fd);
      errno = e;
      return false;
    }
    at += size_t(n);
  }
  return close(fd) == 0;
}

}  // namespace

pkg_keydir::~pkg_keydir()
{
  if (kd_dir.empty())
    return;
  // gpgv may leave its own files in its home: everything in it goes.
  for (const std::string &n : pkg_dir_names(kd_dir))
    if (n != "." && n != "..")
      unlink((kd_dir + "/" + n).c_str());
  rmdir(kd_dir.c_str());
}

bool
pkg_keydir_make(const pkg_trust &t, pkg_keydir *kd, std::string *err)
{
  const char *tmp = getenv("TMPDIR");
  std::string templ =
      std::string(tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp") +
      "/kavkeys.XXXXXX";
  if (mkdtemp(&templ[0]) == nullptr) {
    *err = diag_sys_text("mkdtemp()", templ.c_str());
    return false;
  }
  kd->kd_dir = templ;  // mode 0700, as mkdtemp makes it
  for (size_t i = 0; i < t.pt_keys.size(); i++) {
    std::string f = kd->kd_dir + "/k" + std::to_string(i) + ".gpg";
    if (!write_new(f, t.pt_keys[i].pk_bytes)) {
      *err = diag_sys_text("write()", f.c_str());
      return false;
    }
    kd->kd_files.push_back(f);
  }
  return true;
}

// The signed text of a Release file: the one gpgv puts out of an inline
// signed file, or the file itself where sig, its detached signature,
// verifies it.
bool
pkg_release_verify(const pkg_keydir &kd, const std::vector<size_t> &keys,
                   const std::string &file, const std::string &sig,
                   std::string *text)
{
  if (sig.empty())
    return gpgv_run(kd, keys, {"--output", "-", file}, nullptr, text);
  // gpgv checks the bytes read here, on its standard input: what is
  // verified is what is parsed.
  return pkg_read_file(file, text) &&
         gpgv_run(kd, keys, {sig, "-"}, text, nullptr);
}
