// diag.cc: the message family. Each sys function reads errno first, before
// anything it does can change it. Every caller's text is written in its
// escaped form, so a path holding a newline cannot add a line to the
// report; the operation names and fixed texts hold no special byte and
// read as they are. The line is built on the stack and written with one
// fwrite unless a text is larger than the buffer.
#include "diag/diag.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "diag/esc_buf.h"

namespace {

// The program's one exit status for an error, set by its main().
int fail_status = 1;

// Room for a whole path escaped byte by byte, the operation's name and the
// system's text.
constexpr size_t LINE_ROOM = 8192;

// texts joined by ": ", then the system's text err when it is not null.
// errno is left as it was.
void
put_line(std::initializer_list<const char *> texts, const char *err)
{
  int e = errno;
  esc_buf<LINE_ROOM> line(stderr);
  const char *sep = "";
  for (const char *t : texts) {
    line.put(sep);
    line.put_name(t);
    sep = ": ";
  }
  if (err != nullptr) {
    line.put(sep);
    line.put(err);
  }
  line.put('\n');
  line.flush();
  errno = e;
}

}  // namespace

void
warn_sys0()
{
  put_line({}, strerror(errno));
}

void
warn_sys1(const char *a)
{
  put_line({a}, strerror(errno));
}

void
warn_sys2(const char *a, const char *b)
{
  put_line({a, b}, strerror(errno));
}

void
warn_sys3(const char *a, const char *b, const char *c)
{
  put_line({a, b, c}, strerror(errno));
}

void
warn_msg1(const char *a)
{
  put_line({a}, nullptr);
}

void
warn_msg2(const char *a, const char *b)
{
  put_line({a, b}, nullptr);
}

void
warn_msg3(const char *a, const char *b, const char *c)
{
  put_line({a, b, c}, nullptr);
}

std::string
diag_sys_text(const char *a, const char *b)
{
  return std::string(a) + ": " + b + ": " + strerror(errno);
}

void
diag_exit_status(int status)
{
  fail_status = status;
}

void
die_sys0()
{
  warn_sys0();
  exit(fail_status);
}

void
die_sys1(const char *a)
{
  warn_sys1(a);
  exit(fail_status);
}

void
die_sys2(const char *a, const char *b)
{
  warn_sys2(a, b);
  exit(fail_status);
}

void
die_sys3(const char *a, const char *b, const char *c)
{
  warn_sys3(a, b, c);
  exit(fail_status);
}

void
die_msg1(const char *a)
{
  warn_msg1(a);
  exit(fail_status);
}

void
die_msg2(const char *a, const char *b)
{
  warn_msg2(a, b);
  exit(fail_status);
}

void
die_msg3(const char *a, const char *b, const char *c)
{
  warn_msg3(a, b, c);
  exit(fail_status);
}
