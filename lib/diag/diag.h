// diag.h: one-line messages on standard error, "a: b: c" and optionally the
// system's text for errno. Each text is written escaped (esc.h), so the
// message is one line whatever a path holds. warn_* return with errno as
// it was; die_* then exit through exit(), so standard output is still
// flushed, with status 1 or the one diag_exit_status chose.
#pragma once
#include <cstddef>
#include <cstring>
#include <string>

void warn_sys0();
void warn_sys1(const char *a);
void warn_sys2(const char *a, const char *b);
void warn_sys3(const char *a, const char *b, const char *c);
void warn_msg1(const char *a);
void warn_msg2(const char *a, const char *b);
void warn_msg3(const char *a, const char *b, const char *c);

// The status die_* exit with from now on: a program whose page gives 1 a
// meaning of its own (changes found) says 2 here, first thing in main().
void diag_exit_status(int status);

// "a: b: " and the system's text for errno, the line warn_sys2 would
// print, as an engine's *err holds it.
std::string diag_sys_text(const char *a, const char *b);

[[noreturn]] void die_sys0();
[[noreturn]] void die_sys1(const char *a);
[[noreturn]] void die_sys2(const char *a, const char *b);
[[noreturn]] void die_sys3(const char *a, const char *b, const char *c);
[[noreturn]] void die_msg1(const char *a);
[[noreturn]] void die_msg2(const char *a, const char *b);
[[noreturn]] void die_msg3(const char *a, const char *b, const char *c);

// An option's argument into dst, whole: one too long for it is refused
// ("-d: argument too long", the status of die_*) rather than cut to a name the
// user never typed.
template <size_t N>
void
copy_arg(char (&dst)[N], const char *arg, const char *opt)
{
  size_t n = strnlen(arg, N);
  if (n == N)
    die_msg2(opt, "argument too long");
  memcpy(dst, arg, n + 1);
}
