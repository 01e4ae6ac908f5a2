// confine.h: a watch policy that keeps kavbuild's walk from "/" inside one
// directory of a test.
#pragma once
#include <string>

#include "testutil/testutil.h"

// The walk reports real paths, and confined_policy wants one: a
// TmpDirTest's dir_ has its links resolved already.
using RealTmpDirTest = TmpDirTest;

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
