// Axis ranges with round tick values for the plot.
#ifndef QN_ANALYSER_PLOT_SCALE_H
#define QN_ANALYSER_PLOT_SCALE_H

#include <vector>

namespace analyser {

struct Scale {
    double low;
    double high;
    std::vector<double> ticks;

    // Position of value between low (0.0) and high (1.0), clamped.
    double fraction(double value) const;
};

// A range covering [low, high] whose ends and ticks are multiples of 1, 2
// or 5 times a power of ten, with about `wanted` ticks.
Scale nice_scale(double low, double high, int wanted = 6);

// The range [low, high] itself, with round ticks inside it.
Scale exact_scale(double low, double high, int wanted = 6);

}  // namespace analyser

#endif
