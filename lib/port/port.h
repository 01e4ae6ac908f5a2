// port.h: what differs between the BSD host the tools were made for and
// this one. Everything else in the tree reads as if it ran on BSD.
#pragma once
#include <dirent.h>
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

// File flags, with the values the BSD host uses. Only the low 16 bits survive
// in a stored record.
#ifndef UF_NODUMP
constexpr uint32_t UF_NODUMP = 0x00000001;
constexpr uint32_t UF_IMMUTABLE = 0x00000002;
constexpr uint32_t UF_APPEND = 0x00000004;
constexpr uint32_t UF_OPAQUE = 0x00000008;
constexpr uint32_t UF_NOUNLINK = 0x00000010;
constexpr uint32_t SF_ARCHIVED = 0x00010000;
constexpr uint32_t SF_IMMUTABLE = 0x00020000;
constexpr uint32_t SF_APPEND = 0x00040000;
constexpr uint32_t SF_NOUNLINK = 0x00100000;
#endif

// A file status as lstat() gives it on BSD: struct stat plus the file flags
// word. It converts to struct stat for code that needs only the POSIX part.
struct port_stat : ::stat {
  uint32_t st_flags;
};

// getopt() that stops at the first operand, as on BSD; glibc's reorders argv
// unless the option string starts with '+'.
#if defined(__GLIBC__)
#define PORT_OPTS(s) "+" s
#else
#define PORT_OPTS(s) s
#endif

// Copies src into dst, cutting it to N - 1 bytes; dst is always terminated.
template <size_t N>
inline void
copy_cut(char (&dst)[N], const char *src)
{
  size_t n = strnlen(src, N - 1);
  memcpy(dst, src, n);
  dst[n] = '\0';
}
