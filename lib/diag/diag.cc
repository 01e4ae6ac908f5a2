// diag.cc: the message family. Each sys function reads errno first, before
// anything it does can change it, and writes the line with one fprintf.
#include "diag/diag.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

void
warn_sys0()
{
  const char *e = strerror(errno);
  fprintf(stderr, "%s\n", e);
}

void
warn_sys1(const char *a)
{
  const char *e = strerror(errno);
  fprintf(stderr, "%s: %s\n", a, e);
}

void
warn_sys2(const char *a, const char *b)
{
  const char *e = strerror(errno);
  fprintf(stderr, "%s: %s: %s\n", a, b, e);
}

void
warn_sys3(const char *a, const char *b, const char *c)
{
  const char *e = strerror(errno);
  fprintf(stderr, "%s: %s: %s: %s\n", a, b, c, e);
}

void
warn_msg1(const char *a)
{
  fprintf(stderr, "%s\n", a);
}

void
warn_msg2(const char *a, const char *b)
{
  fprintf(stderr, "%s: %s\n", a, b);
}

void
warn_msg3(const char *a, const char *b, const char *c)
{
  fprintf(stderr, "%s: %s: %s\n", a, b, c);
}

void
die_sys0()
{
  warn_sys0();
  exit(1);
}

void
die_sys1(const char *a)
{
  warn_sys1(a);
  exit(1);
}

void
die_sys2(const char *a, const char *b)
{
  warn_sys2(a, b);
  exit(1);
}

void
die_sys3(const char *a, const char *b, const char *c)
{
  warn_sys3(a, b, c);
  exit(1);
}

void
die_msg1(const char *a)
{
  warn_msg1(a);
  exit(1);
}

void
die_msg2(const char *a, const char *b)
{
  warn_msg2(a, b);
  exit(1);
}

void
die_msg3(const char *a, const char *b, const char *c)
{
  warn_msg3(a, b, c);
  exit(1);
}
