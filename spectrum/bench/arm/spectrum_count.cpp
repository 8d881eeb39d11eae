// Runs one stage of the pipeline, the whole pipeline (window, FFT,
// decimation, dBm with peaks) or the bare pair of transforms a given number
// of times on the benchmark's signal (N = 16384, Hann, decimation to N/2). Run under qemu-arm with the insn_count
// plugin at two repetition counts, the difference gives the instructions of
// one run; scripts/bench-spectrum-arm does that.
#include "pipeline.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

using spectrum_bench::Pipeline;

constexpr int kLength = 16384;

struct Stage {
    const char *name;
    void (*run)(Pipeline &p, spectrum_bench::BarePair &bare);
};

const Stage kStages[] = {
    {"window", [](Pipeline &p, spectrum_bench::BarePair &) { p.window(); }},
    {"fft", [](Pipeline &p, spectrum_bench::BarePair &) { p.fft(); }},
    {"decimate", [](Pipeline &p, spectrum_bench::BarePair &) { p.decimate(); }},
    {"dBm", [](Pipeline &p, spectrum_bench::BarePair &) { p.convert<qn_spectr_cnv_to_dBm>(); }},
    {"axis", [](Pipeline &p, spectrum_bench::BarePair &) { p.freq_axis(); }},
    {"pipeline", [](Pipeline &p, spectrum_bench::BarePair &) { p.spectrum_stages(); }},
    {"bare", [](Pipeline &, spectrum_bench::BarePair &bare) { bare.transforms(); }},
};

}  // namespace

int main(int argc, char **argv)
{
    const Stage *stage = nullptr;
    for (const Stage &s : kStages)
        if (argc == 3 && std::strcmp(argv[1], s.name) == 0)
            stage = &s;
    if (stage == nullptr) {
        std::fputs("usage: spectrum_count window|fft|decimate|dBm|axis|pipeline|bare REPETITIONS\n",
                   stderr);
        return 2;
    }
    const int repetitions = std::atoi(argv[2]);
    Pipeline p(kLength);
    spectrum_bench::BarePair bare(p);
    for (int i = 0; i < repetitions; ++i)
        stage->run(p, bare);
    // The results are used, so no stage can be left out.
    std::printf("%g %g\n", static_cast<double>(p.a_peak), bare.a_bins[1].r);
    return 0;
}
