#include "plot_scale.h"

#include <algorithm>
#include <cmath>

namespace analyser {
namespace {

double nice_step(double raw)
{
    const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
    for (const double factor : {1.0, 2.0, 5.0})
        if (raw <= factor * magnitude)
            return factor * magnitude;
    return 10.0 * magnitude;
}

// A usable range even from no data or a single value.
void widen_empty(double &low, double &high)
{
    if (!std::isfinite(low) || !std::isfinite(high) || high <= low) {
        const double centre = std::isfinite(low) ? low : 0.0;
        low = centre - 1.0;
        high = centre + 1.0;
    }
}

Scale with_ticks(double low, double high, double step)
{
    Scale scale{low, high, {}};
    // The small margin keeps a tick that lands on an end despite rounding.
    const double slack = step * 1e-9;
    const auto first = std::lround(std::ceil((low - slack) / step));
    const auto last = std::lround(std::floor((high + slack) / step));
    for (long k = first; k <= last; ++k)
        scale.ticks.push_back(double(k) * step);
    return scale;
}

}  // namespace

double Scale::fraction(double value) const
{
    if (!(value >= low))  // also NaN
        return 0.0;
    return std::min(1.0, (value - low) / (high - low));
}

Scale nice_scale(double low, double high, int wanted)
{
    widen_empty(low, high);
    const double step = nice_step((high - low) / wanted);
    return with_ticks(std::floor(low / step) * step, std::ceil(high / step) * step, step);
}

Scale exact_scale(double low, double high, int wanted)
{
    widen_empty(low, high);
    return with_ticks(low, high, nice_step((high - low) / wanted));
}

}  // namespace analyser
