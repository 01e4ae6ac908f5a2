// confine.h: a watch policy that keeps kavbuild's walk from "/" inside one
// directory of a test.
#pragma once
#include <string>

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
// directory read and its status ends a build by design. Tests retry a
// build that failed that way outside their own tree.
inline bool
foreign_race(int status, const std::string &err, const std::string &top)
{
  return status == 1 && err.rfind("lstat(): ", 0) == 0 &&
         err.find(top) == std::string::npos &&
         err.find("No such file or directory") != std::string::npos;
}
