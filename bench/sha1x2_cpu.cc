// sha1x2_cpu.cc: SHA-1 in bytes per CPU-second of this one thread, for the
// crypto library's digest, each single-stream block function the processor
// has and the two-stream one, over 64 KiB and 1 MiB buffers. CPU time, not
// wall time, so that a machine shared with others still gives the work
// each takes; the median of 5 rounds, the candidates taking turns in each.
//
//   build-bench/bench/sha1x2_cpu [seconds per measurement]
#include <openssl/evp.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

#include "bench/cpu_util.h"
#include "sha1/sha1.h"

namespace {

constexpr int ROUNDS = CPU_ROUNDS;
constexpr int MAX_CANDIDATES = SHA1_ACCELS_MAX + 2;

struct candidate {
  char name[64];
  sha1_blocks_fn one;   // one stream, or null
  sha1_blocks2_fn two;  // two streams, or null; both null: the digest
  double rate[ROUNDS];  // bytes per CPU-second
};

// Bytes per CPU-second of c over len bytes of a (and of b for two
// streams, whose bytes count twice), for at least secs of CPU time.
double
measure(const candidate &c, const uint8_t *a, const uint8_t *b, size_t len,
        double secs, EVP_MD_CTX *md)
{
  uint32_t s0[5] = {1, 2, 3, 4, 5}, s1[5] = {6, 7, 8, 9, 10};
  uint8_t out[EVP_MAX_MD_SIZE];
  double bytes = 0;
  double t0 = cpu_now(), t;
  do {
    for (int i = 0; i < 16; i++) {
      if (c.two != nullptr) {
        c.two(s0, a, s1, b, len / 64);
        bytes += 2.0 * double(len);
      } else if (c.one != nullptr) {
        c.one(s0, a, len / 64);
        bytes += double(len);
      } else {
        unsigned n;
        if (EVP_DigestInit_ex(md, EVP_sha1(), nullptr) != 1 ||
            EVP_DigestUpdate(md, a, len) != 1 ||
            EVP_DigestFinal_ex(md, out, &n) != 1) {
          fprintf(stderr, "sha1x2_cpu: the crypto library's SHA-1 failed\n");
          exit(1);
        }
        s0[0] ^= out[0];
        bytes += double(len);
      }
    }
  } while ((t = cpu_now() - t0) < secs);
  // Keeps the states live, so that no call is left out.
  if (s0[0] == 0x12345678 && s1[0] == 0x9abcdef0)
    fputc(' ', stderr);
  return bytes / t;
}

}  // namespace

int
main(int argc, char *argv[])
{
  double secs = argc > 1 ? atof(argv[1]) : 0.4;
  if (argc > 2 || !(secs > 0)) {
    fputs("usage: sha1x2_cpu [seconds per measurement]\n", stderr);
    return 1;
  }
  candidate cs[MAX_CANDIDATES];
  int n = 0;
  cs[n++] = {"crypto library, EVP digest", nullptr, nullptr, {}};
  sha1_blocks_fn fns[SHA1_ACCELS_MAX];
  int nacc = sha1_accels(fns);
  for (int i = 0; i < nacc; i++) {
    cs[n] = {"", fns[i], nullptr, {}};
    snprintf(cs[n].name, sizeof cs[n].name, "one stream, sha1_accels[%d]%s", i,
             fns[i] == sha1_blocks_system ? " (library's)" : "");
    n++;
  }
  if (nacc == 0)
    cs[n++] = {"one stream, portable", sha1_blocks_portable, nullptr, {}};
  cs[n++] = {"two streams, sha1_blocks2", nullptr, sha1_blocks2, {}};
  if (sha1_blocks2_accel() == nullptr)
    printf("no SHA extensions: two streams are the block function twice\n");

  EVP_MD_CTX *md = EVP_MD_CTX_new();
  if (md == nullptr) {
    fputs("sha1x2_cpu: out of memory\n", stderr);
    return 1;
  }
  cpu_print_load("before");
  const size_t lens[] = {64 << 10, 1 << 20};
  std::mt19937 rng(1);
  for (size_t len : lens) {
    uint8_t *a, *b;
    if (!cpu_random_pair(len, rng, &a, &b)) {
      fputs("sha1x2_cpu: out of memory\n", stderr);
      return 1;
    }
    for (int r = 0; r < ROUNDS; r++)
      for (int i = 0; i < n; i++)
        cs[i].rate[r] = measure(cs[i], a, b, len, secs, md);
    printf("\n%zu KiB buffers, GB per CPU-second, median of %d (min..max):\n",
           len >> 10, ROUNDS);
    double best_one = 0, evp = cpu_median(cs[0].rate);
    for (int i = 0; i < n; i++) {
      double m = cpu_median(cs[i].rate);
      cpu_print_row(cs[i].name, cs[i].rate);
      if (cs[i].one != nullptr && cs[i].one != sha1_blocks_system)
        best_one = std::max(best_one, m);
    }
    double two = cpu_median(cs[n - 1].rate);
    printf(
        "  two streams: %.2fx the fastest of this module's one-stream "
        "functions, %.2fx the EVP digest\n",
        best_one > 0 ? two / best_one : 0.0, two / evp);
    free(a);
    free(b);
  }
  EVP_MD_CTX_free(md);
  cpu_print_load("after");
  return 0;
}
