// sha256x2_cpu.cc: SHA-256 in bytes per CPU-second of this one thread, for
// the crypto library's digest, each single-stream block function the
// processor has, the two-stream one and two lanes through
// sha256_lane_update2, over 64 KiB and 1 MiB buffers. CPU time, not wall
// time, so that a machine shared with others still gives the work each
// takes; the median of 5 rounds, the candidates taking turns in each.
//
//   build-bench/bench/sha256x2_cpu [seconds per measurement]
#include <openssl/evp.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

#include "bench/cpu_util.h"
#include "sha256/sha256.h"

namespace {

constexpr int ROUNDS = CPU_ROUNDS;
constexpr int MAX_CANDIDATES = 6;

enum kind { EVP, ONE, TWO, LANES };

struct candidate {
  char name[64];
  kind k;
  sha256_blocks_fn one;   // for ONE
  sha256_blocks2_fn two;  // for TWO
  double rate[ROUNDS];    // bytes per CPU-second
};

// Bytes per CPU-second of c over len bytes of a (and of b for two
// streams, whose bytes count twice), for at least secs of CPU time.
double
measure(const candidate &c, const uint8_t *a, const uint8_t *b, size_t len,
        double secs, EVP_MD_CTX *md)
{
  uint32_t s0[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  uint32_t s1[8] = {9, 10, 11, 12, 13, 14, 15, 16};
  uint8_t out[EVP_MAX_MD_SIZE];
  double bytes = 0;
  double t0 = cpu_now(), t;
  do {
    for (int i = 0; i < 16; i++) {
      switch (c.k) {
        case ONE:
          c.one(s0, a, len / 64);
          bytes += double(len);
          break;
        case TWO:
          c.two(s0, a, s1, b, len / 64);
          bytes += 2.0 * double(len);
          break;
        case LANES: {
          sha256_lane l0, l1;
          sha256_lane_init(&l0);
          sha256_lane_init(&l1);
          sha256_lane_update2(&l0, a, &l1, b, len);
          sha256_lane_final(&l0, out);
          s0[0] ^= out[0];
          sha256_lane_final(&l1, out);
          s1[0] ^= out[0];
          bytes += 2.0 * double(len);
          break;
        }
        case EVP: {
          unsigned n;
          if (EVP_DigestInit_ex(md, EVP_sha256(), nullptr) != 1 ||
              EVP_DigestUpdate(md, a, len) != 1 ||
              EVP_DigestFinal_ex(md, out, &n) != 1) {
            fprintf(stderr,
                    "sha256x2_cpu: the crypto library's SHA-256 failed\n");
            exit(1);
          }
          s0[0] ^= out[0];
          bytes += double(len);
          break;
        }
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
    fputs("usage: sha256x2_cpu [seconds per measurement]\n", stderr);
    return 1;
  }
  candidate cs[MAX_CANDIDATES];
  int n = 0;
  cs[n++] = {"crypto library, EVP digest", EVP, nullptr, nullptr, {}};
  cs[n++] = {"one stream, library's block function",
             ONE,
             sha256_blocks_system,
             nullptr,
             {}};
  cs[n++] = {"one stream, portable", ONE, sha256_blocks_portable, nullptr, {}};
  int own = -1;
  if (sha256_blocks_accel() != nullptr) {
    own = n;
    cs[n++] = {"one stream, sha256_blocks_accel",
               ONE,
               sha256_blocks_accel(),
               nullptr,
               {}};
  }
  int two = -1;
  if (sha256_blocks2_accel() != nullptr) {
    two = n;
    cs[n++] = {"two streams, sha256_blocks2_accel",
               TWO,
               nullptr,
               sha256_blocks2_accel(),
               {}};
  } else {
    printf("no SHA extensions: no two-stream block function\n");
  }
  cs[n++] = {"two lanes, sha256_lane_update2", LANES, nullptr, nullptr, {}};

  EVP_MD_CTX *md = EVP_MD_CTX_new();
  if (md == nullptr) {
    fputs("sha256x2_cpu: out of memory\n", stderr);
    return 1;
  }
  cpu_print_load("before");
  const size_t lens[] = {64 << 10, 1 << 20};
  std::mt19937 rng(1);
  for (size_t len : lens) {
    uint8_t *a, *b;
    if (!cpu_random_pair(len, rng, &a, &b)) {
      fputs("sha256x2_cpu: out of memory\n", stderr);
      return 1;
    }
    for (int r = 0; r < ROUNDS; r++)
      for (int i = 0; i < n; i++)
        cs[i].rate[r] = measure(cs[i], a, b, len, secs, md);
    printf("\n%zu KiB buffers, GB per CPU-second, median of %d (min..max):\n",
           len >> 10, ROUNDS);
    for (int i = 0; i < n; i++)
      cpu_print_row(cs[i].name, cs[i].rate);
    double evp = cpu_median(cs[0].rate);
    double lib = cpu_median(cs[1].rate);
    if (two >= 0 && own >= 0)
      printf(
          "  two streams: %.2fx this module's one stream, %.2fx the "
          "library's block function, %.2fx the EVP digest\n",
          cpu_median(cs[two].rate) / cpu_median(cs[own].rate),
          cpu_median(cs[two].rate) / lib, cpu_median(cs[two].rate) / evp);
    free(a);
    free(b);
  }
  EVP_MD_CTX_free(md);
  cpu_print_load("after");
  return 0;
}
