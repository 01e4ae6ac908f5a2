// configfile.h: the policy file parser. On failure it leaves one last-error
// record that configfile_perror() prints.
#pragma once
#include <cstdint>
#include <cstdio>

#include "policy/pclt.h"

constexpr int CONFIGFILE_LINE_MAX = 2000;  // buffer: 1998 characters, \n, \0

// Kinds of the last-error record.
constexpr int32_t CONFIGFILE_E_NONE = -1;
constexpr int32_t CONFIGFILE_E_SYSTEM = 1;  // text names the call or the file
constexpr int32_t CONFIGFILE_E_SYNTAX = 2;  // text is the message

// One per process; a parse resets it first.
struct configfile_error {
  int32_t ce_line;  // physical lines read so far, every one counted
  int32_t ce_kind;
  int32_t ce_errno;  // a system error's errno, kept for printing it later
  char ce_text[1025];
};

// Loads the policy at path into t (from pclt_init). 0, or -1 with the
// last-error record set; t keeps what was attached and is freed by the caller.
int configfile_parse(const char *path, pclt *t);

// 0 with the next significant line in buf, 1 at end of file, -1 on error:
// a read error, or a line of more than 1998 characters ("line too long").
int configfile_readline(FILE *f, char buf[CONFIGFILE_LINE_MAX]);
// Splits line in place at its first ':'; no ':' gives an empty value.
void configfile_split(char *line, char **key, char **value);
// Trims everything but digits and '-' from both ends; returns the new start.
char *configfile_numtrim(char *value);
// "text: strerror(ce_errno)" for a system error, "line N: text" for syntax.
void configfile_perror();
// The record configfile_perror() prints.
const configfile_error *configfile_last_error();
