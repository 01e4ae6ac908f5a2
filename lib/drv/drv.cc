// drv.cc: how a program that printed a database ends.
#include "drv/drv.h"

#include <cerrno>

#include "diag/diag.h"

void
drv_print_end(const char *file, int r, bool out_failed, int (*flush)(void *),
              void *arg)
{
  if (out_failed)
    die_sys1("stdout");
  if (r != 0) {
    // Should the flush fail too, the reading is still what is reported:
    // it failed first.
    int e = errno;
    flush(arg);
    errno = e;
    die_sys2("db_readall", file);
  }
  if (flush(arg) != 0)
    die_sys1("stdout");
}
