#include "format.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace analyser {

std::string format(const char *pattern, ...)
{
    std::va_list args;
    va_start(args, pattern);
    std::va_list copy;
    va_copy(copy, args);
    const int size = std::vsnprintf(nullptr, 0, pattern, copy);
    va_end(copy);
    std::string text(size > 0 ? static_cast<std::size_t>(size) : 0, '\0');
    std::vsnprintf(text.data(), text.size() + 1, pattern, args);
    va_end(args);
    return text;
}

std::string format_si(double value, const char *unit, int decimals)
{
    static constexpr std::array<const char *, 6> prefixes{"n", "u", "m", "", "k", "M"};
    constexpr int unprefixed = 3;
    int group = 0;
    if (value != 0 && std::isfinite(value))
        group = static_cast<int>(std::floor(std::log10(std::fabs(value)) / 3));
    group = std::clamp(group, -unprefixed, int(prefixes.size()) - 1 - unprefixed);
    const double scaled = value / std::pow(1000.0, group);
    return format("%.*f %s%s", decimals, scaled, prefixes[group + unprefixed], unit);
}

std::string format_level(double value, const char *unit)
{
    if (std::strcmp(unit, "V") == 0)
        return format_si(value, unit);
    return format("%.2f %s", value, unit);
}

std::string peak_line(const char *channel, const Peak &peak, const char *unit)
{
    return std::string(channel) + ": peak " + format_level(peak.value, unit) + " at " +
           format_si(peak.frequency, "Hz");
}

}  // namespace analyser
