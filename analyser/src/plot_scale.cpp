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

}  // namespace

double Scale::fraction(double value) const
{
    if (!(value >= low))  // also NaN
        return 0.0;
    return std::min(1.0, (value - low) / (high - low));
}

Scale nice_scale(double low, double high, int wanted)
{
    if (!std::isfinite(low) || !std::isfinite(high) || high <= low) {
        const double centre = std::isfinite(low) ? low : 0.0;
        low = centre - 1.0;
        high = centre + 1.0;
    }
    const double step = nice_step((high - low) / wanted);
    Scale scale{std::floor(low / step) * step, std::ceil(high / step) * step, {}};
    const long count = std::lround((scale.high - scale.low) / step);
    for (long i = 0; i <= count; ++i)
        scale.ticks.push_back(scale.low + double(i) * step);
    return scale;
}

}  // namespace analyser
