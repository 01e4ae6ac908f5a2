// pkg_gpgv.cc: the signatures of apt's Release files, which gpgv checks
// against the keyrings apt trusts under the root: inline (InRelease), or
// detached beside the file (Release.gpg).
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>

#include "pkg/pkg_int.h"

namespace {

// Writes text to fd, which gpgv reads: a gpgv that stops reading early
// ends the write with EPIPE, not this process with SIGPIPE.
void
feed(int fd, const std::string &text)
{
  sigset_t pipe_set, old;
  sigemptyset(&pipe_set);
  sigaddset(&pipe_set, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_set, &old);
  bool broke = false;
  for (size_t at = 0; at < text.size();) {
    ssize_t n = write(fd, text.data() + at, text.size() - at);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0) {
      broke = errno == EPIPE;
      break;
    }
    at += size_t(n);
  }
  close(fd);
  if (broke && !sigismember(&old, SIGPIPE)) {
    const timespec zero = {0, 0};
    while (sigtimedwait(&pipe_set, nullptr, &zero) < 0 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

void
collect(int fd, std::string *text)
{
  char buf[65536];
  ssize_t n;
  text->clear();
  while ((n = read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
    if (n > 0)
      text->append(buf, size_t(n));
  close(fd);
}

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
  std::vector<char *> argv;
  for (std::string &s : args)
    argv.push_back(&s[0]);
  argv.push_back(nullptr);
  // Spawned, not forked: a copy of a large process would cost seconds.
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0)
    return false;
  int ours = in != nullptr ? fds[1] : fds[0];
  int theirs = in != nullptr ? fds[0] : fds[1];
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  if (in != nullptr) {
    posix_spawn_file_actions_adddup2(&fa, theirs, 0);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  } else {
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, theirs, 1);
  }
  posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid;
  int r = posix_spawnp(&pid, "gpgv", &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  close(theirs);
  if (r != 0) {
    close(ours);
    return false;
  }
  if (in != nullptr)
    feed(ours, *in);
  else
    collect(ours, out);
  int status;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
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
