#include "format.h"
#include "options.h"
#include "output.h"

#include <cmath>

namespace analyser {
namespace {

// JSON has no infinity or NaN: such a figure (no noise at all) is null.
std::string number(double value) { return std::isfinite(value) ? format("%.10g", value) : "null"; }

// Names come from the command line: only quotes, backslashes and control
// characters need escaping for a valid document.
std::string string(const std::string &text)
{
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\')
            out += std::string("\\") + c;
        else if (byte < 0x20)
            out += format("\\u%04x", byte);
        else
            out += c;
    }
    return out + "\"";
}

void write_channel(std::ostream &out, const Peak &peak, const ChannelReport &channel,
                   const Report &report, const char *unit)
{
    out << "{\n      \"peak\": {\"frequency_Hz\": " << number(peak.frequency)
        << ", \"level\": " << number(peak.value) << ", \"unit\": " << string(unit) << "}";
    if (report.peaks_asked) {
        out << ",\n      \"peaks\": [";
        for (std::size_t i = 0; i < channel.peaks.size(); ++i)
            out << (i ? ", " : "") << "{\"frequency_Hz\": " << number(channel.peaks[i].frequency)
                << ", \"level\": " << number(channel.peaks[i].level) << "}";
        out << "]";
    }
    if (const auto &m = channel.metrics) {
        out << ",\n      \"metrics\": {\"fundamental_Hz\": " << number(m->fundamental_hz)
            << ", \"fundamental_level\": " << number(m->fundamental_level)
            << ", \"thd_dBc\": " << number(m->thd_dbc) << ", \"snr_dB\": " << number(m->snr_db)
            << ", \"sinad_dB\": " << number(m->sinad_db) << ", \"sfdr_dBc\": " << number(m->sfdr_dbc)
            << ", \"enob_bits\": " << number(m->enob_bits)
            << ", \"noise_floor\": " << number(m->noise_floor) << "}";
    }
    out << "\n    }";
}

}  // namespace

void write_json(std::ostream &out, const Spectrum &spectrum, const Report &report)
{
    out << "{\n  \"input\": " << (report.input.empty() ? "null" : string(report.input)) << ",\n";
    out << "  \"settings\": {\"length\": " << report.length
        << ", \"window\": " << string(window_name(report.window))
        << ", \"unit\": " << string(spectrum.unit)
        << ", \"impedance_ohm\": " << number(report.impedance)
        << ", \"sample_rate_Hz\": " << number(report.sample_rate)
        << ", \"sample_rate_from_file\": " << (report.rate_from_signal ? "true" : "false")
        << ", \"points\": " << report.points
        << ", \"keep_dc\": " << (report.keep_dc ? "true" : "false") << "},\n";
    out << "  \"average\": ";
    if (report.averaged)
        out << "{\"mode\": " << string(average_mode_name(report.average_mode))
            << ", \"segments\": " << report.segments
            << ", \"overlap_percent\": " << number(report.overlap_percent)
            << ", \"overlap_samples\": " << report.overlap_samples
            << ", \"samples_used\": " << report.frames_used << "},\n";
    else
        out << "null,\n";
    out << "  \"channels\": {\n    \"A\": ";
    write_channel(out, spectrum.peak_a, report.a, report, spectrum.unit);
    out << ",\n    \"B\": ";
    write_channel(out, spectrum.peak_b, report.b, report, spectrum.unit);
    out << "\n  }\n}\n";
}

}  // namespace analyser
