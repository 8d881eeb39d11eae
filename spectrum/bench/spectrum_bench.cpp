// Times each pipeline stage and the whole pipeline per acquisition, beside
// a bare pair of real transforms of the same length. compare_numpy.py runs
// this program and numpy's pipeline on the same signal and prints ratios.
#include "spectrum.h"

#include "alloc_counter.h"
#include "pipeline.h"

#include <benchmark/benchmark.h>

#include <cstdint>

namespace {

constexpr int kLengths[] = {1024, 4096, 16384};

using spectrum_bench::Pipeline;

template <void (Pipeline::*stage)()>
void run_stage(benchmark::State &state, Pipeline &p)
{
    (p.*stage)();  // warm-up outside the timing
    for (auto _ : state) {
        (p.*stage)();
        benchmark::ClobberMemory();
    }
}

template <void (Pipeline::*stage)()>
void BM_stage(benchmark::State &state)
{
    Pipeline p(static_cast<int>(state.range(0)));
    run_stage<stage>(state, p);
}

void BM_cnv_to_metric_dBu(benchmark::State &state)
{
    Pipeline p(static_cast<int>(state.range(0)));
    qn_spectr_set_mode(SPECTR_MODE_DBU);
    p.decimate();
    run_stage<&Pipeline::convert<qn_spectr_cnv_to_metric>>(state, p);
}

// The whole acquisition, with the heap allocations it makes as a counter.
void BM_pipeline(benchmark::State &state)
{
    Pipeline p(static_cast<int>(state.range(0)));
    alloc_counter::reset();
    for (auto _ : state) {
        p.acquisition();
        benchmark::ClobberMemory();
    }
    const uint64_t allocations = alloc_counter::count();
    if (alloc_counter::available())
        state.counters["allocs_per_acq"] =
            static_cast<double>(allocations) / static_cast<double>(state.iterations());
    state.counters["peak_dBm"] = p.a_peak;
}

// The floor for the pipeline: both channels' real transforms alone.
void BM_bare_transforms(benchmark::State &state)
{
    Pipeline p(static_cast<int>(state.range(0)));
    spectrum_bench::BarePair bare(p);
    for (auto _ : state) {
        bare.transforms();
        benchmark::ClobberMemory();
    }
}

void lengths(benchmark::internal::Benchmark *b)
{
    for (int n : kLengths)
        b->Arg(n);
    b->Unit(benchmark::kMicrosecond);
}

}  // namespace

BENCHMARK(BM_bare_transforms)->Apply(lengths);
BENCHMARK(BM_pipeline)->Apply(lengths);
BENCHMARK(BM_stage<&Pipeline::window>)->Name("BM_window_filter")->Apply(lengths);
BENCHMARK(BM_stage<&Pipeline::fft>)->Name("BM_fft")->Apply(lengths);
BENCHMARK(BM_stage<&Pipeline::decimate>)->Name("BM_decimate")->Apply(lengths);
BENCHMARK(BM_stage<&Pipeline::convert<qn_spectr_cnv_to_dBm>>)->Name("BM_cnv_to_dBm")->Apply(lengths);
BENCHMARK(BM_cnv_to_metric_dBu)->Apply(lengths);
BENCHMARK(BM_stage<&Pipeline::freq_axis>)->Name("BM_freq_axis")->Apply(lengths);

BENCHMARK_MAIN();
