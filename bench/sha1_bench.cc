// sha1_bench.cc: SHA-1 throughput over 8192-byte buffers, the unit that
// `openssl speed -bytes 8192 sha1` reports, for both block functions.
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

}  // namespace

BENCHMARK(BM_Sha1Accel)->Arg(64)->Arg(8192)->Arg(1 << 20);
BENCHMARK(BM_Sha1Portable)->Arg(64)->Arg(8192)->Arg(1 << 20);
