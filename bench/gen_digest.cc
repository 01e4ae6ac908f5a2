// gen_digest: prints the SHA-1 of each file named, like sha1sum, through
// sha_file; -p forces the portable block function. Used by bench/build.sh
// to time the digest beside openssl and sha1sum on the same files.
#include <unistd.h>

#include <cstdio>

#include "sha1/sha1.h"

int
main(int argc, char *argv[])
{
  int ch;
  while ((ch = getopt(argc, argv, "p")) != -1) {
    if (ch != 'p') {
      fputs("usage: gen_digest [-p] file ...\n", stderr);
      return 1;
    }
    sha1_select(0);
  }
  int status = 0;
  for (int i = optind; i < argc; i++) {
    uint8_t d[SHA1_LEN];
    if (sha_file(argv[i], d) == nullptr) {
      perror(argv[i]);
      status = 1;
      continue;
    }
    for (uint8_t b : d)
      printf("%02x", b);
    printf("  %s\n", argv[i]);
  }
  return status;
}
