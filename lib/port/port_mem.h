// port_mem.h: large pages for large, long-lived blocks of memory.
#pragma once
#include <sys/mman.h>

#include <cstddef>

// The size and alignment of a large page on the hosts in use.
constexpr size_t PORT_BIG_PAGE = 2 * 1024 * 1024;

// Asks the host to back [p, p + len) with large pages; p and len are
// multiples of PORT_BIG_PAGE. Touching memory page by page costs a fault
// per 4 KB otherwise. BSD promotes such runs by itself; Linux, by default,
// only where asked.
inline void
port_big_pages(void *p, size_t len)
{
#ifdef MADV_HUGEPAGE
  madvise(p, len, MADV_HUGEPAGE);
#else
  (void)p;
  (void)len;
#endif
}
