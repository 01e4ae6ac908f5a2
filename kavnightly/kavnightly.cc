// kavnightly: one night's watch, or serving a collector, or accepting
// changes into a new baseline.
#include <cstdio>

namespace {

const char usage_text[] =
    "usage: kavnightly [-s] [-f file]\n"
    "       kavnightly [-f file] -a all|explained|path -m text [path ...]\n";

}  // namespace

int
main()
{
  fputs(usage_text, stderr);
  return 2;
}
