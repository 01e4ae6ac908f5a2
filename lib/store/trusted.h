// trusted.h: files a root job trusts: its settings, the watch policy,
// the allowed signers, the signing key, the programs it runs, and its
// database directory. Each is opened once without following a link and
// checked on the descriptor; so is every directory above it, up to "/",
// one name at a time from the root, so that no one but its owner can
// swap a name anywhere on the way between the check and the use.
#pragma once
#include <string>

// What the file must be.
enum st_want { ST_WANT_FILE, ST_WANT_DIR, ST_WANT_PROGRAM };

// A trusted owner is root, or the user running the job, who could change
// the files anyway. A file or directory is trusted when its owner is, and
// neither group nor others may write it; a directory above it may be
// writable by others only when it has the sticky bit and root owns it (as
// /tmp). A program is a regular file that its owner may execute.
//
// Opens path (absolute; a relative one is taken from the working
// directory) and checks it and every directory above it. A symbolic link
// among the directories is followed when it sits in a trusted directory,
// and its target is checked the same way; the last name must not be a
// link. what names the file in messages ("the configuration"). *fd gets
// the descriptor (O_RDONLY, or O_PATH for a program; O_CLOEXEC), which
// the caller closes; *real, when not null, the path with every link
// resolved. False with *err, "path: what is wrong", naming the file or
// the directory that fails and how to fix it; errno is then ENOENT when
// a name is missing (an optional file that is not there), something else
// otherwise.
bool st_open_trusted(const std::string &path, st_want want, const char *what,
                     int *fd, std::string *real, std::string *err);

// st_open_trusted for a program named without a slash, looked for in
// the directories of path (a PATH-like list) in order; the first found
// must be trusted. *file gets its path.
bool st_find_program(const std::string &name, const std::string &path,
                     std::string *file, std::string *err);

// The whole of a trusted regular file read through its descriptor (from
// st_open_trusted), at most max bytes. False with *err.
bool st_read_fd(int fd, const std::string &name, size_t max, std::string *bytes,
                std::string *err);
