// SPDX-License-Identifier: MIT
// Every one of the 2^32 float bit patterns through the vector exp and the C library's expf:
// the counter "mismatches" must be 0 (the run is marked as an error otherwise). Also the time
// of each path per value, for the record. Skipped on processors without AVX2 and FMA.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/vector_exp.h"

namespace {

void BM_VectorExpAllFloats(benchmark::State &state) {
  if (!__builtin_cpu_supports("avx2") || !__builtin_cpu_supports("fma")) {
    state.SkipWithError("no AVX2 and FMA on this processor");
    return;
  }
  constexpr std::uint64_t kChunk = std::uint64_t(1) << 20;
  std::vector<float> in(kChunk), vec(kChunk), lib(kChunk);
  std::uint64_t bad = 0;
  for (auto _ : state) {
    bad = 0;
    for (std::uint64_t start = 0; start < (std::uint64_t(1) << 32); start += kChunk) {
      for (std::uint64_t i = 0; i < kChunk; ++i) {
        const auto bits = std::uint32_t(start + i);
        std::memcpy(&in[i], &bits, sizeof bits);
      }
      tmlib::vector_math::exp_floats_avx2(in.data(), vec.data(), std::int64_t(kChunk));
      for (std::uint64_t i = 0; i < kChunk; ++i) lib[i] = std::exp(in[i]);
      if (std::memcmp(vec.data(), lib.data(), kChunk * sizeof(float)) != 0)
        for (std::uint64_t i = 0; i < kChunk; ++i) bad += std::memcmp(&vec[i], &lib[i], sizeof(float)) != 0;
    }
  }
  state.counters["mismatches"] = double(bad);
  if (bad != 0) state.SkipWithError("the vector exp differs from expf");
}
BENCHMARK(BM_VectorExpAllFloats)->Iterations(1)->Unit(benchmark::kSecond);

// Throughput of the two paths over the values the solver's result spans.
void BM_Exp(benchmark::State &state) {
  std::vector<float> in(1 << 20), out(in.size());
  for (size_t i = 0; i < in.size(); ++i) in[i] = -6.0f + 8.0f * float(i) / float(in.size());
  for (auto _ : state) {
    if (state.range(0) == 1) {
      tmlib::exp_floats(in.data(), out.data(), std::int64_t(in.size()));
    } else {
      for (size_t i = 0; i < in.size(); ++i) out[i] = std::exp(in[i]);
    }
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations() * std::int64_t(in.size()));
}
BENCHMARK(BM_Exp)->ArgNames({"vector"})->Arg(0)->Arg(1);

}  // namespace
