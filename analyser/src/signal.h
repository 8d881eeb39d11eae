// A two-channel signal in volts, one sample per channel and frame.
#ifndef QN_ANALYSER_SIGNAL_H
#define QN_ANALYSER_SIGNAL_H

#include <cstddef>
#include <vector>

namespace analyser {

struct Signal {
    std::vector<double> a;
    std::vector<double> b;
    double sample_rate = 0;  // Hz, as a sound file gives it; 0: not known

    std::size_t frames() const { return a.size(); }
};

}  // namespace analyser

#endif
