// Human-readable numbers for the peak lines.
#ifndef QN_ANALYSER_FORMAT_H
#define QN_ANALYSER_FORMAT_H

#include "pipeline.h"

#include <string>

namespace analyser {

// "7.8125 MHz", "12.5000 mV": the value scaled by an SI prefix (n to M).
std::string format_si(double value, const char *unit, int decimals = 4);

// "10.00 dBm" for levels in decibels, "1.0000 V" for volts.
std::string format_level(double value, const char *unit);

// "A: peak 10.00 dBm at 7.8125 MHz"
std::string peak_line(const char *channel, const Peak &peak, const char *unit);

// printf-style formatting into a string.
std::string format(const char *pattern, ...) __attribute__((format(printf, 1, 2)));

}  // namespace analyser

#endif
