// The built-in signal analysed when no file is given.
#ifndef QN_ANALYSER_TEST_SIGNAL_H
#define QN_ANALYSER_TEST_SIGNAL_H

#include "signal.h"

#include <cstddef>

namespace analyser {

// Tones that sit exactly on FFT bins for every N the module accepts, so
// their peaks read without leakage: bin N/16 and bin 3N/16.
struct TestTone {
    double amplitude;        // volts, peak
    std::size_t bin_per_16;  // frequency in sixteenths of the sample rate
};
inline constexpr TestTone kTestToneA{1.0, 1};
inline constexpr TestTone kTestToneB{0.1, 3};

Signal synthesise_test_signal(std::size_t n);

}  // namespace analyser

#endif
