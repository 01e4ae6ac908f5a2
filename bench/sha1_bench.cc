// sha1_bench.cc: SHA-1 throughput over 8192-byte buffers, the unit that
// `openssl speed -bytes 8192 sha1` reports, for both block functions; and
// each accelerated block function the processor has, on its own.
#include <benchmark/benchmark.h>

#include <vector>

#include "sha1/sha1.h"

namespace {

void
bench_sha(benchmark::State &state, int accel)
{
  if (sha1_select(accel) != accel) {
    state.SkipWithError("no SHA extensions on this processor");
    return;
  }
  std::vector<uint8_t> buf(size_t(state.range(0)), 0x5a);
  uint8_t out[SHA1_LEN];
  for (auto _ : state) {
    sha_buf(buf.data(), int32_t(buf.size()), out);
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
  sha1_select(1);
}

void
BM_Sha1Accel(benchmark::State &state)
{
  bench_sha(state, 1);
}
void
BM_Sha1Portable(benchmark::State &state)
{
  bench_sha(state, 0);
}

// Block function number range(0) of sha1_accels (0: the one in use) over
// 8192 bytes at a time.
void
BM_Sha1Transform(benchmark::State &state)
{
  sha1_blocks_fn fns[SHA1_ACCELS_MAX];
  if (state.range(0) >= sha1_accels(fns)) {
    state.SkipWithError("the processor has no such block function");
    return;
  }
  std::vector<uint8_t> buf(8192, 0x5a);
  uint32_t st[5] = {1, 2, 3, 4, 5};
  for (auto _ : state) {
    fns[state.range(0)](st, buf.data(), buf.size() / 64);
    benchmark::DoNotOptimize(st);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * 8192);
}

}  // namespace

BENCHMARK(BM_Sha1Transform)->DenseRange(0, SHA1_ACCELS_MAX - 1);
BENCHMARK(BM_Sha1Accel)->Arg(64)->Arg(8192)->Arg(1 << 20);
BENCHMARK(BM_Sha1Portable)->Arg(64)->Arg(8192)->Arg(1 << 20);
