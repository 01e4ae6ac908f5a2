// reach.h: what the walk does with one path, found by following its rules
// from "/" down to the path.
#pragma once
#include "policy/pclt.h"

// Prints one line on standard output saying whether the walk of "/" under
// t (settled by configfile_parse) reaches the absolute path, records it
// (with its attributes) and descends into it. 0; -1 after a message when
// the path is not absolute, holds a "." or ".." name, or a status along it
// cannot be read; -2 with errno when standard output refused the line.
int reach_print(pclt *t, const char *path);
