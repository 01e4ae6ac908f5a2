// drv.h: what the drivers that print a database share, which prints and
// exits as a driver does.
#pragma once

// The end of a program that printed the frames of file as db_readall read
// them, r being what db_readall returned. When out_failed, the output
// refused a record: "stdout" and errno are reported. Any other failure is
// the reading's: flush(arg) writes out the records before it first, so
// that both streams into one file read in order, and "db_readall" with
// file and the reading's errno are reported, even if that flush fails too.
// Last the output is flushed, which may fail only now. Each report exits
// through die_* (diag.h); it returns when all went well.
void drv_print_end(const char *file, int r, bool out_failed,
                   int (*flush)(void *arg), void *arg);
