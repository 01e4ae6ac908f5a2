// pkg_member_test.cc: which member names of a verified archive may stand
// for a host path. A name that could reach outside the root explains
// nothing, however well the archive verifies.
#include <gtest/gtest.h>

#include "pkg/pkg_int.h"

namespace {

struct member_row {
  const char *name;
  const char *path;  // "" for a member that explains no path
};

constexpr member_row MEMBER_ROWS[] = {
    {"./usr/bin/tool", "/usr/bin/tool"},
    {"./usr/share/doc/", "/usr/share/doc"},
    {"usr/bin/tool", "/usr/bin/tool"},  // written without "./"
    {"./", "/"},
    {".", "/"},
    {"./a b/c\nd", "/a b/c\nd"},
    {"./..data", "/..data"},  // a name that merely begins with dots
    {"/etc/sudoers", ""},
    {"//etc/sudoers", ""},
    {"../etc/sudoers", ""},
    {"./../etc/sudoers", ""},
    {"./usr/../etc/sudoers", ""},
    {"./usr/lib/..", ""},
    {"./usr/./bin/tool", ""},
    {"./usr//bin/tool", ""},
    {"", ""},
};

TEST(PkgMember, OnlyNamesUnderTheRootStandForAPath) {
  for (const member_row &r : MEMBER_ROWS)
    EXPECT_EQ(r.path, pkg_member_path(r.name)) << "member " << r.name;
}

}  // namespace
