// exists.h: the program-level check of a program that creates a database
// by name (kavbuild -d, kavcmp -d): each passes db_open its own flags and
// mode, which lib/db's tests cannot see.
#pragma once
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "testutil/testutil.h"

// Makes in dir what -d must never open: a file, a link to one, a dangling
// link (whose target must not appear) and a FIFO (which must not block).
// Then runs argv(name) in dir for each and checks that the program stops
// with the open's message and leaves the name as it was. Last, the
// databases it does make under umasks from 0 to 0777 are mode 0600.
inline void
expect_only_new_private_databases(
    const std::string &dir,
    const std::function<std::vector<std::string>(const std::string &)> &argv)
{
  std::string at = dir + "/";
  write_file(at + "file", "keep");
  write_file(at + "target", "target");
  ASSERT_EQ(0, symlink("target", (at + "link").c_str()));
  ASSERT_EQ(0, symlink("missing", (at + "dangling").c_str()));
  ASSERT_EQ(0, mkfifo((at + "fifo").c_str(), 0600));
  for (const char *name : {"file", "link", "dangling", "fifo"}) {
    struct stat before, after;
    ASSERT_EQ(0, lstat((at + name).c_str(), &before));
    prog_result r = run_prog(argv(name), dir);
    EXPECT_EQ(1, r.status) << name;
    EXPECT_EQ(std::string("db_open(): ") + name + ": File exists\n", r.err);
    ASSERT_EQ(0, lstat((at + name).c_str(), &after));
    EXPECT_EQ(before.st_ino, after.st_ino) << name;
    EXPECT_EQ(before.st_mode, after.st_mode) << name;
    EXPECT_EQ(before.st_size, after.st_size) << name;
  }
  EXPECT_EQ("keep", read_file(at + "file"));
  EXPECT_EQ("target", read_file(at + "target"));
  struct stat st;
  EXPECT_NE(0, lstat((at + "missing").c_str(), &st));

  for (int mask : {0, 022, 077, 0277, 0777}) {
    std::string name = "db" + std::to_string(mask);
    prog_opts o;
    o.umask = mask;
    prog_result r = run_prog(argv(name), dir, o);
    EXPECT_EQ(0, r.status) << "umask " << std::oct << mask << ": " << r.err;
    ASSERT_EQ(0, lstat((at + name).c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 07777) << "umask " << std::oct << mask;
  }
}
