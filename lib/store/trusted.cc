// trusted.cc: the walk from "/" to a file a root job trusts, one name at a
// time on descriptors, so that what is checked is what is opened: a name
// is looked up only in a directory already found trusted, and nobody but
// a trusted owner can rename anything in one.
#include "store/trusted.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr int LINKS_MAX = 40;  // as the kernel's own lookup allows

// Closes a descriptor on every early return; release() hands it on.
class fd_guard {
 public:
  explicit fd_guard(int fd) : fd_(fd) {}
  ~fd_guard()
  {
    if (fd_ >= 0) {
      int e = errno;
      ::close(fd_);
      errno = e;
    }
  }
  fd_guard(const fd_guard &) = delete;
  fd_guard &operator=(const fd_guard &) = delete;
  int get() const { return fd_; }
  int release()
  {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

// The directories from "/" down to where the walk is, each an O_PATH
// descriptor checked on the way; closed together.
struct chain {
  std::vector<int> ch_fd;
  std::vector<std::string> ch_name;  // "" for "/"
  ~chain()
  {
    for (int fd : ch_fd)
      close(fd);
  }
  std::string path() const
  {
    if (ch_name.size() <= 1)
      return "/";
    std::string p;
    for (size_t i = 1; i < ch_name.size(); i++)
      p += "/" + ch_name[i];
    return p;
  }
  std::string child(const std::string &name) const
  {
    return (ch_name.size() <= 1 ? "" : path()) + "/" + name;
  }
  void pop()
  {
    if (ch_fd.size() > 1) {
      close(ch_fd.back());
      ch_fd.pop_back();
      ch_name.pop_back();
    }
  }
};

bool
trusted_owner(uid_t uid)
{
  return uid == 0 || uid == geteuid();
}

// The mode as stat %a prints it.
std::string
mode_text(mode_t mode)
{
  char buf[16];
  snprintf(buf, sizeof buf, "%o", unsigned(mode & 07777));
  return buf;
}

// Pushes the names of path onto todo so that the first comes off first;
// "" and "." name nothing.
void
push_names(const std::string &path, std::vector<std::string> *todo)
{
  std::vector<std::string> names;
  size_t i = 0;
  while (i < path.size()) {
    size_t j = path.find('/', i);
    if (j == std::string::npos)
      j = path.size();
    std::string n = path.substr(i, j - i);
    if (!n.empty() && n != ".")
      names.push_back(n);
    i = j + 1;
  }
  todo->insert(todo->end(), names.rbegin(), names.rend());
}

// A directory on the way: trusted as trusted.h says, or *err names it.
bool
check_above(const struct stat &st, const std::string &dir, const char *what,
            const std::string &path, std::string *err)
{
  std::string head = dir + ": a directory above " + what + ", " + path + ", ";
  if (!trusted_owner(st.st_uid)) {
    *err = head + "is owned by uid " + std::to_string(st.st_uid) +
           ", not by root: that user could swap the names in it; "
           "chown root " +
           dir;
    return false;
  }
  if ((st.st_mode & 022) == 0)
    return true;
  if ((st.st_mode & S_ISVTX) == 0) {
    *err = head + "has mode " + mode_text(st.st_mode) +
           ": group or others could swap the names in it; chmod go-w " + dir;
    return false;
  }
  if (st.st_uid != 0) {
    *err = head + "has mode " + mode_text(st.st_mode) + " and uid " +
           std::to_string(st.st_uid) +
           " owns it, not root: a directory others may write is trusted "
           "only as /tmp is, sticky and root's; chmod go-w " +
           dir;
    return false;
  }
  return true;
}

// The last name: owner and mode as the shell's check_file_safe said.
bool
check_last(const struct stat &st, const std::string &path, const char *what,
           std::string *err)
{
  if (!trusted_owner(st.st_uid)) {
    *err = path + ": owned by uid " + std::to_string(st.st_uid) +
           ", not by root; " + what + " would be trusted from another user";
    return false;
  }
  if ((st.st_mode & 022) != 0) {
    *err = path + ": mode " + mode_text(st.st_mode) +
           " lets group or others write it; chmod go-w " + path;
    return false;
  }
  return true;
}

// What the last name cannot be opened as, in the words the shell used
// where it had any.
std::string
cannot_open(const std::string &path, st_want want, const char *what, int e)
{
  switch (want) {
    case ST_WANT_FILE: return path + ": cannot read " + what;
    case ST_WANT_PROGRAM: return path + ": no such program";
    case ST_WANT_DIR: break;
  }
  return path + ": cannot open " + what + ": " + strerror(e);
}

// Opens what the walk ended on for the caller, and checks it is what it
// wants. parent and name are where it was found (name "" for a directory
// reached by ".." or for "/"); fd its O_PATH descriptor.
bool
finish(int parent, const std::string &name, fd_guard *fd, const struct stat &st,
       const std::string &path, st_want want, const char *what, int *out,
       std::string *err)
{
  switch (want) {
    case ST_WANT_PROGRAM:
      if (!S_ISREG(st.st_mode) || (st.st_mode & S_IXUSR) == 0) {
        *err = path + ": not a program: " + what +
               " must be a regular file its owner may execute";
        return false;
      }
      if (!check_last(st, path, what, err))
        return false;
      *out = fd->release();
      return true;
    case ST_WANT_DIR: {
      if (!S_ISDIR(st.st_mode)) {
        *err = path + ": " + what + " is not a directory";
        return false;
      }
      if (!check_last(st, path, what, err))
        return false;
      int d = openat(fd->get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (d < 0) {
        *err = cannot_open(path, want, what, errno);
        return false;
      }
      *out = d;
      return true;
    }
    case ST_WANT_FILE: break;
  }
  if (!S_ISREG(st.st_mode) || name.empty()) {
    *err = path + ": cannot read " + what;
    return false;
  }
  if (!check_last(st, path, what, err))
    return false;
  // Opened again by its name in the directory already checked, which no
  // one else can change; the inode must be the one checked all the same.
  int r = openat(parent, name.c_str(),
                 O_RDONLY | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (r < 0) {
    *err = cannot_open(path, want, what, errno);
    return false;
  }
  fd_guard rg(r);
  struct stat again;
  if (fstat(r, &again) != 0 || again.st_dev != st.st_dev ||
      again.st_ino != st.st_ino) {
    *err = path + ": changed while it was opened; " + what + " is not trusted";
    return false;
  }
  *out = rg.release();
  return true;
}

// The directory the walk stands in, reached by ".." or by a link to "/",
// as what it ended on.
bool
finish_here(const chain &ch, const std::string &given, st_want want,
            const char *what, int *out, std::string *real, std::string *err)
{
  fd_guard dup(openat(ch.ch_fd.back(), ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
  struct stat st;
  if (dup.get() < 0 || fstat(dup.get(), &st) != 0) {
    *err = ch.path() + ": " + strerror(errno);
    return false;
  }
  if (real != nullptr)
    *real = ch.path();
  return finish(-1, "", &dup, st, given, want, what, out, err);
}

// st_open_trusted, with *missing set when a name on the way, or the last,
// does not exist (st_find_program then looks further).
bool
open_trusted(const std::string &given, st_want want, const char *what, int *out,
             std::string *real, bool *missing, std::string *err)
{
  *missing = false;
  std::string path = given;
  if (path.empty() || path[0] != '/') {
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr) {
      *err = given + ": cannot find the working directory: " + strerror(errno);
      return false;
    }
    path = std::string(cwd) + "/" + path;
  }
  chain ch;
  int root = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (root < 0) {
    *err = std::string("/: ") + strerror(errno);
    return false;
  }
  ch.ch_fd.push_back(root);
  ch.ch_name.push_back("");
  struct stat st;
  if (fstat(root, &st) != 0) {
    *err = std::string("/: ") + strerror(errno);
    return false;
  }
  std::vector<std::string> todo;
  push_names(path, &todo);
  if (todo.empty()) {
    if (real != nullptr)
      *real = "/";
    fd_guard dup(ch.ch_fd.back());
    ch.ch_fd.clear();
    return finish(-1, "", &dup, st, given, want, what, out, err);
  }
  if (!check_above(st, "/", what, given, err))
    return false;
  int links = 0;
  while (!todo.empty()) {
    std::string name = todo.back();
    todo.pop_back();
    bool last = todo.empty();
    if (name == "..") {
      ch.pop();
      if (last) {
        return finish_here(ch, given, want, what, out, real, err);
      }
      continue;
    }
    int dir = ch.ch_fd.back();
    std::string here = ch.child(name);
    fd_guard fd(openat(dir, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (fd.get() < 0) {
      int e = errno;
      *missing = e == ENOENT;
      *err = cannot_open(given, want, what, e);
      errno = e;
      return false;
    }
    if (fstat(fd.get(), &st) != 0) {
      *err = here + ": " + strerror(errno);
      return false;
    }
    if (S_ISLNK(st.st_mode)) {
      if (last) {
        *err = want == ST_WANT_DIR ? given + ": " + what + " is a symbolic link"
                                   : given + ": is a symbolic link; " + what +
                                         " must be a file of its own";
        return false;
      }
      // In a directory others may write (sticky, as checked), the owner
      // of a link can replace it: it must be a trusted one.
      struct stat dst;
      if (fstat(dir, &dst) != 0) {
        *err = ch.path() + ": " + strerror(errno);
        return false;
      }
      if ((dst.st_mode & 022) != 0 && !trusted_owner(st.st_uid)) {
        *err = here + ": a symbolic link on the way to " + what + ", " + given +
               ", that uid " + std::to_string(st.st_uid) +
               " owns in a directory others may write: that user could "
               "point it elsewhere; replace it with a link root owns";
        return false;
      }
      if (++links > LINKS_MAX) {
        *err = given + ": more than " + std::to_string(LINKS_MAX) +
               " symbolic links on the way to " + what;
        errno = ELOOP;
        return false;
      }
      std::vector<char> buf(size_t(st.st_size) + 2 > PATH_MAX
                                ? size_t(st.st_size) + 2
                                : PATH_MAX);
      ssize_t n = readlinkat(fd.get(), "", buf.data(), buf.size());
      if (n < 0 || size_t(n) >= buf.size()) {
        *err = here + ": cannot read the symbolic link: " +
               strerror(n < 0 ? errno : ENAMETOOLONG);
        return false;
      }
      std::string target(buf.data(), size_t(n));
      if (!target.empty() && target[0] == '/') {
        while (ch.ch_fd.size() > 1)
          ch.pop();
      }
      push_names(target, &todo);
      if (todo.empty()) {
        // A link to "/" (or to "." at the end): the directory reached.
        return finish_here(ch, given, want, what, out, real, err);
      }
      continue;
    }
    if (last) {
      if (real != nullptr)
        *real = here;
      return finish(dir, name, &fd, st, given, want, what, out, err);
    }
    if (!S_ISDIR(st.st_mode)) {
      *err = here + ": a name on the way to " + what + ", " + given +
             ", that is not a directory";
      errno = ENOTDIR;
      return false;
    }
    if (!check_above(st, here, what, given, err))
      return false;
    ch.ch_fd.push_back(fd.release());
    ch.ch_name.push_back(name);
  }
  return false;  // not reached: the last name returns
}

}  // namespace

bool
st_open_trusted(const std::string &path, st_want want, const char *what,
                int *fd, std::string *real, std::string *err)
{
  bool missing;
  if (open_trusted(path, want, what, fd, real, &missing, err))
    return true;
  if (missing)
    errno = ENOENT;
  else if (errno == ENOENT)
    errno = EPERM;
  return false;
}

bool
st_find_program(const std::string &name, const std::string &path,
                std::string *file, std::string *err)
{
  size_t i = 0;
  while (i <= path.size()) {
    size_t j = path.find(':', i);
    if (j == std::string::npos)
      j = path.size();
    std::string dir = path.substr(i, j - i);
    i = j + 1;
    // An empty entry would mean the working directory: never for root.
    if (dir.empty())
      continue;
    std::string cand = dir + "/" + name;
    int fd;
    bool missing;
    if (open_trusted(cand, ST_WANT_PROGRAM, ("the program " + name).c_str(),
                     &fd, nullptr, &missing, err)) {
      close(fd);
      *file = cand;
      return true;
    }
    if (!missing)
      return false;
  }
  *err = name + ": no such program in " + path;
  return false;
}

bool
st_read_fd(int fd, const std::string &name, size_t max, std::string *bytes,
           std::string *err)
{
  bytes->clear();
  char buf[1 << 16];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0) {
      *err = name + ": " + strerror(errno);
      return false;
    }
    if (n == 0)
      return true;
    if (size_t(n) > max - bytes->size()) {
      *err = name + ": larger than " + std::to_string(max) + " bytes";
      return false;
    }
    bytes->append(buf, size_t(n));
  }
}
