// A vectorisable estimate of log10 for the dB conversions, which check
// whether it rounds to the same float as libm's log10 would.
#ifndef QN_LOG10_ESTIMATE_H
#define QN_LOG10_ESTIMATE_H

#include <bit>
#include <cstdint>

namespace spectrum_detail {

// Relative error of log10_estimate, with a wide safety factor: the series
// below stops at a term smaller than 2^-55 and its few roundings, with the
// cancellation between exponent and mantissa terms (at most a factor 3, as
// |log10 y| >= 0.15 whenever the exponent term is used), stay below 2^-48.
// glibc's log10 is within 2 ulp (2^-51).
constexpr double kLog10EstimateError = 0x1p-44;

// log10(y) for a finite positive normal y, from y = 2^e * m with
// m in [sqrt(1/2), sqrt(2)) and ln m = 2 (s + s^3/3 + s^5/5 + ...),
// s = (m - 1) / (m + 1), |s| <= 0.1716.
inline double log10_estimate(double y)
{
    constexpr uint64_t kFractionBits = 0x000fffffffffffffULL;
    constexpr uint64_t kOneBits = 0x3ff0000000000000ULL;
    constexpr uint64_t kHalfBits = 0x3fe0000000000000ULL;
    constexpr uint64_t kTwoTo52Bits = 0x4330000000000000ULL;
    constexpr double kRootTwo = 1.4142135623730951;
    constexpr double kLog10Two = 0.30102999566398120;
    constexpr double kLog10E = 0.43429448190325182;

    const auto bits = std::bit_cast<uint64_t>(y);
    const uint64_t fraction = bits & kFractionBits;
    const bool halve = std::bit_cast<double>(fraction | kOneBits) > kRootTwo;
    // Integer arithmetic on the fields and selects between constants: the
    // compiler vectorises neither integer conversions nor floating-point
    // operations inside conditionals. The biased exponent placed in the
    // mantissa of 2^52 gives it exactly as a double.
    const double m = std::bit_cast<double>(fraction | (halve ? kHalfBits : kOneBits));
    const double biased_exponent = std::bit_cast<double>((bits >> 52) | kTwoTo52Bits) - 0x1p52;
    const double e = biased_exponent - (halve ? 1022.0 : 1023.0);

    const double s = (m - 1.0) / (m + 1.0);
    const double s2 = s * s;
    // 1 + s2/3 + s2^2/5 + ... + s2^9/19, by Horner's rule.
    // Written out: a loop here keeps the caller's loop from vectorising.
    double series = 1.0 / 19;
    series = series * s2 + 1.0 / 17;
    series = series * s2 + 1.0 / 15;
    series = series * s2 + 1.0 / 13;
    series = series * s2 + 1.0 / 11;
    series = series * s2 + 1.0 / 9;
    series = series * s2 + 1.0 / 7;
    series = series * s2 + 1.0 / 5;
    series = series * s2 + 1.0 / 3;
    series = series * s2 + 1.0;
    const double ln_m = 2.0 * s * series;
    return e * kLog10Two + ln_m * kLog10E;
}

}  // namespace spectrum_detail

#endif
