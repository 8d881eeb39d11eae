// A cheap estimate of 10 log10(y) for the dB conversions, which check
// whether it rounds to the same float as the plain formula with libm's
// log10 would, and use the plain formula where it may not.
#ifndef QN_SPECTRUM_LOG10_ESTIMATE_H
#define QN_SPECTRUM_LOG10_ESTIMATE_H

#include <array>
#include <bit>
#include <cstdint>

namespace spectrum_detail {

// Relative error bound of decibel_estimate, with a safety factor of about 2
// over the sum of (for y = 2^e z, z in [0.708, 1.416), c the centre of z's
// table interval, s = (z - c) / (z + c), |s| <= 2^-10):
// - the series cut after s^3: relative 2^-42.3 of its own value;
// - the rounding of each table entry (2^-51.4 absolute) and of the series
//   (2^-49.2 absolute), which for e = 0 meet a result of at least 2^-7.8 in
//   size (only the interval around 1, whose entry is exactly 0, comes
//   closer to 0, and it carries neither error);
// - for e != 0 a few roundings, |10 log10 y| being at least 1.5 there.
// Together below 2^-41; glibc's log10 is within 2 ulp (2^-51).
constexpr double kDecibelEstimateError = 0x1p-40;

// The high word of y, less kReducedStart, splits into e (the top 12 bits)
// and 2^20 steps for z, which form 256 intervals of 2^12 steps. The centres
// are the multiples of 2^12 in the high word (low word 0), so 1.0 is the
// centre of interval 149 and a y near 1 is reduced with e = 0 and c = 1.
constexpr uint32_t kReducedStart = 0x3fe6a800;
constexpr int kIntervalBits = 8;
constexpr int kIntervalShift = 20 - kIntervalBits;
constexpr uint32_t kIntervalHalf = 1u << (kIntervalShift - 1);

constexpr uint32_t high_word(double y)
{
    return static_cast<uint32_t>(std::bit_cast<uint64_t>(y) >> 32);
}
constexpr uint32_t low_word(double y) { return static_cast<uint32_t>(std::bit_cast<uint64_t>(y)); }
constexpr double from_high_word(uint32_t high)
{
    return std::bit_cast<double>(static_cast<uint64_t>(high) << 32);
}

// 10 log10(c) of each interval's centre, correctly rounded then scaled.
// Clang (the fuzzing build) cannot fold log10: there the table is filled
// at start-up by libm, within the error bound's safety factor.
#ifdef __clang__
#define QN_SPECTRUM_TABLE inline const
#else
#define QN_SPECTRUM_TABLE constexpr
#endif
QN_SPECTRUM_TABLE std::array<double, 1 << kIntervalBits> kIntervalDecibels = [] {
    std::array<double, 1 << kIntervalBits> table{};
    for (uint32_t i = 0; i < table.size(); ++i)
        table[i] = 10.0 * __builtin_log10(
                              from_high_word(kReducedStart + (i << kIntervalShift) + kIntervalHalf));
    return table;
}();
#undef QN_SPECTRUM_TABLE

// 10 log10(y) for a finite positive normal y, within kDecibelEstimateError
// of the true value relative to it; any other y gives some value and no
// fault. With y = 2^e z: 10 e log10(2) + 10 log10(c) + 10 log10(z / c), the
// last from ln(z / c) = 2 (s + s^3 / 3 + ...). s is formed from y and
// C = 2^e c, whose difference is exact; the integer work needs only the
// high word, which 32-bit CPUs hold in one register.
inline double decibel_estimate(double y)
{
    constexpr double kTenLog10Two = 3.0102999566398120;
    constexpr double kFirst = 8.6858896380650366;  // 20 / ln 10
    constexpr double kThird = kFirst / 3.0;

    const uint32_t high = high_word(y);
    const uint32_t reduced = high - kReducedStart;
    const int32_t exponent = static_cast<int32_t>(reduced) >> 20;
    const double centre_decibels =
        kIntervalDecibels[(reduced >> kIntervalShift) & (kIntervalDecibels.size() - 1)];
    const double scaled_centre = from_high_word((high + kIntervalHalf) & ~(2 * kIntervalHalf - 1));

    const double s = (y - scaled_centre) / (y + scaled_centre);
    const double series = kFirst + kThird * (s * s);
    return (centre_decibels + exponent * kTenLog10Two) + s * series;
}

// Whether every value within a relative distance of 4 kDecibelEstimateError
// of the estimate rounds to the same float. A float keeps the top 23 of the
// 52 fraction bits; rounding changes where the 29 dropped bits read
// 1000...0. The estimate is that close when its bits 16 to 28 read 0x1000
// or 0x0fff: within 2^16 units of the last place, 2^-37 relative at least.
inline bool rounds_like_neighbours(double estimate)
{
    const uint32_t near_halfway = (low_word(estimate) >> 16) & 0x1fff;
    return near_halfway - 0x0fff > 1;
}

}  // namespace spectrum_detail

#endif
