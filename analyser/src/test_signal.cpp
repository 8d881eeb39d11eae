#include "test_signal.h"

#include <cmath>
#include <numbers>

namespace analyser {
namespace {

std::vector<double> tone(const TestTone &t, std::size_t n)
{
    std::vector<double> samples(n);
    for (std::size_t i = 0; i < n; ++i) {
        // Reduce the phase to one period first so it stays exact for large i.
        const double cycles = static_cast<double>((i * t.bin_per_16) % 16) / 16.0;
        samples[i] = t.amplitude * std::sin(2.0 * std::numbers::pi * cycles);
    }
    return samples;
}

}  // namespace

Signal synthesise_test_signal(std::size_t n)
{
    return Signal{tone(kTestToneA, n), tone(kTestToneB, n)};
}

}  // namespace analyser
