// confine.h: a watch policy that keeps kavbuild's walk from "/" inside one
// directory of a test, and retrying a build that a foreign change ended.
#pragma once
#include <climits>
#include <cstdlib>
#include <functional>
#include <string>

#include "testutil/testutil.h"

// A TmpDirTest whose dir_ has its links resolved: the walk reports real
// paths, and confined_policy wants one.
class RealTmpDirTest : public TmpDirTest {
 protected:
  void
  SetUp() override
  {
    TmpDirTest::SetUp();
    char real[PATH_MAX];
    ASSERT_NE(nullptr, realpath(dir_.c_str(), real));
    dir_ = real;
  }
};

// Each ancestor of top lets the walk through its next component only and
// prunes everything else; body is the policy for top's own contents, its
// node statement included ("@T" stands for top). top must be a real path
// (no links, no trailing slash) whose names hold no glob characters.
inline std::string
confined_policy(const std::string &top, std::string body)
{
  std::string text, at = "/";
  for (size_t pos = 1; pos < top.size();) {
    size_t end = top.find('/', pos);
    if (end == std::string::npos)
      end = top.size();
    text += "@NO:" + at + "\n+N\nname:" + top.substr(pos, end - pos) +
            "\n+N:S\n";
    at = top.substr(0, end);
    pos = end + 1;
  }
  for (size_t i; (i = body.find("@T")) != std::string::npos;)
    body.replace(i, 2, top);
  return text + body;
}

// The walk from "/" reads shared directories such as /tmp, whose entries
// other programs remove at any moment; an entry that vanishes between the
// directory read and its status ends a build by design. This tells such a
// failure outside top by the last "lstat(): " message, which begins a line
// (a status line may stand before it).
inline bool
foreign_race(int status, const std::string &err, const std::string &top)
{
  size_t at = err.rfind("lstat(): ");
  if (status != 1 || at == std::string::npos ||
      (at > 0 && err[at - 1] != '\n'))
    return false;
  std::string line = err.substr(at, err.find('\n', at) - at);
  return line.find(top) == std::string::npos &&
         line.find("No such file or directory") != std::string::npos;
}

// Runs run() (a build) again while it fails by a foreign race, six times in
// all; undo, when given, removes what a failed try left behind.
inline prog_result
retry_foreign_race(const std::string &top,
                   const std::function<prog_result()> &run,
                   const std::function<void()> &undo = nullptr)
{
  auto r = run();
  for (int tries = 1; tries < 6 && foreign_race(r.status, r.err, top);
       tries++) {
    if (undo)
      undo();
    r = run();
  }
  return r;
}
