#include "format.h"
#include "output.h"
#include "plot_scale.h"

#include <algorithm>
#include <cmath>

namespace analyser {
namespace {

constexpr double kWidth = 960, kHeight = 540;
constexpr double kLeft = 90, kRight = 30, kTop = 50, kBottom = 70;
constexpr double kPlotWidth = kWidth - kLeft - kRight;
constexpr double kPlotHeight = kHeight - kTop - kBottom;

std::string escape_xml(const std::string &text)
{
    std::string out;
    for (const char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default:
            // Control characters and bytes that may not be UTF-8 would make
            // the document ill-formed.
            const auto byte = static_cast<unsigned char>(c);
            out += (byte < 0x20 || byte >= 0x7f) ? '?' : c;
        }
    }
    return out;
}

struct Axes {
    Scale x;
    double x_unit;  // Hz per displayed unit
    const char *x_prefix;
    Scale y;

    double px(double hz) const { return kLeft + x.fraction(hz / x_unit) * kPlotWidth; }
    double py(double level) const { return kTop + (1.0 - y.fraction(level)) * kPlotHeight; }
};

Scale level_scale(const Spectrum &spectrum)
{
    double low = INFINITY, high = -INFINITY;
    for (const auto *channel : {&spectrum.a, &spectrum.b})
        for (const double v : *channel)
            if (std::isfinite(v)) {
                low = std::min(low, double(v));
                high = std::max(high, double(v));
            }
    return nice_scale(low, high);
}

Axes make_axes(const Spectrum &spectrum)
{
    const double top_hz = spectrum.frequency.empty() ? 1.0 : spectrum.frequency.back();
    const bool mega = top_hz >= 1e6;
    const bool kilo = top_hz >= 1e3;
    const double unit = mega ? 1e6 : kilo ? 1e3 : 1.0;
    const char *prefix = mega ? "M" : kilo ? "k" : "";
    const double bottom_hz = spectrum.frequency.empty() ? 0.0 : spectrum.frequency.front();
    return Axes{exact_scale(std::min(0.0, bottom_hz / unit), top_hz / unit), unit, prefix,
                level_scale(spectrum)};
}

void write_grid(std::ostream &out, const Axes &axes)
{
    out << "<g stroke=\"#ddd\" stroke-width=\"1\">\n";
    for (const double t : axes.x.ticks) {
        const double x = axes.px(t * axes.x_unit);
        out << format("<line x1=\"%.2f\" y1=\"%.2f\" x2=\"%.2f\" y2=\"%.2f\"/>\n", x, kTop, x,
                      kTop + kPlotHeight);
    }
    for (const double t : axes.y.ticks) {
        const double y = axes.py(t);
        out << format("<line x1=\"%.2f\" y1=\"%.2f\" x2=\"%.2f\" y2=\"%.2f\"/>\n", kLeft, y,
                      kLeft + kPlotWidth, y);
    }
    out << "</g>\n";
    out << format("<rect x=\"%.2f\" y=\"%.2f\" width=\"%.2f\" height=\"%.2f\" fill=\"none\" "
                  "stroke=\"#000\"/>\n",
                  kLeft, kTop, kPlotWidth, kPlotHeight);
}

void write_labels(std::ostream &out, const Axes &axes, const char *unit)
{
    out << "<g font-family=\"sans-serif\" font-size=\"13\" fill=\"#000\">\n";
    for (const double t : axes.x.ticks)
        out << format("<text x=\"%.2f\" y=\"%.2f\" text-anchor=\"middle\">%g</text>\n",
                      axes.px(t * axes.x_unit), kTop + kPlotHeight + 20, t);
    for (const double t : axes.y.ticks)
        out << format("<text x=\"%.2f\" y=\"%.2f\" text-anchor=\"end\">%g</text>\n", kLeft - 8,
                      axes.py(t) + 4, t);
    out << format("<text x=\"%.2f\" y=\"%.2f\" text-anchor=\"middle\">Frequency (%sHz)</text>\n",
                  kLeft + kPlotWidth / 2, kHeight - 20, axes.x_prefix);
    out << format("<text x=\"20\" y=\"%.2f\" text-anchor=\"middle\" "
                  "transform=\"rotate(-90 20 %.2f)\">Level (%s)</text>\n",
                  kTop + kPlotHeight / 2, kTop + kPlotHeight / 2, unit);
    out << "</g>\n";
}

void write_trace(std::ostream &out, const Axes &axes, const Spectrum &spectrum,
                 const std::vector<double> &levels, const char *colour)
{
    out << "<polyline fill=\"none\" stroke-width=\"1\" stroke=\"" << colour << "\" points=\"";
    for (std::size_t i = 0; i < levels.size(); ++i)
        out << format("%s%.2f,%.2f", i ? " " : "", axes.px(spectrum.frequency[i]),
                      axes.py(levels[i]));
    out << "\"/>\n";
}

// The peaks, and under them how the spectrum was averaged (a long title
// would run off the page).
void write_legend(std::ostream &out, const Spectrum &spectrum, const std::string &averaging)
{
    const struct {
        const char *name;
        const char *colour;
        const Peak &peak;
    } entries[] = {{"A", "#1f5fbf", spectrum.peak_a}, {"B", "#c8321e", spectrum.peak_b}};
    double y = kTop + 20;
    out << "<g font-family=\"sans-serif\" font-size=\"13\">\n";
    for (const auto &entry : entries) {
        const double x = kLeft + kPlotWidth - 330;
        out << format("<line x1=\"%.2f\" y1=\"%.2f\" x2=\"%.2f\" y2=\"%.2f\" stroke=\"%s\" "
                      "stroke-width=\"3\"/>\n",
                      x, y - 4, x + 20, y - 4, entry.colour);
        out << format("<text x=\"%.2f\" y=\"%.2f\">%s</text>\n", x + 26, y,
                      escape_xml(peak_line(entry.name, entry.peak, spectrum.unit)).c_str());
        y += 20;
    }
    if (!averaging.empty())
        out << format("<text class=\"averaging\" x=\"%.2f\" y=\"%.2f\">%s</text>\n",
                      kLeft + kPlotWidth - 304, y, escape_xml(averaging).c_str());
    out << "</g>\n";
}

// Each entry of the peak tables: a ring at its interpolated frequency and
// level, numbered as in the table ("A1" is A's highest).
void write_peak_marks(std::ostream &out, const Axes &axes, const Report &report)
{
    const struct {
        const char *name;
        const char *colour;
        const std::vector<TablePeak> &peaks;
    } channels[] = {{"A", "#1f5fbf", report.a.peaks}, {"B", "#c8321e", report.b.peaks}};
    out << "<g class=\"peak-table\" font-family=\"sans-serif\" font-size=\"11\" "
           "fill=\"none\">\n";
    for (const auto &channel : channels)
        for (std::size_t i = 0; i < channel.peaks.size(); ++i) {
            const double x = axes.px(channel.peaks[i].frequency);
            const double y = axes.py(channel.peaks[i].level);
            out << format("<circle cx=\"%.2f\" cy=\"%.2f\" r=\"4\" stroke=\"%s\"/>\n", x, y,
                          channel.colour);
            out << format(
                "<text x=\"%.2f\" y=\"%.2f\" fill=\"%s\" text-anchor=\"middle\">%s%zu</text>\n", x,
                y - 8, channel.colour, channel.name, i + 1);
        }
    out << "</g>\n";
}

}  // namespace

void write_svg(std::ostream &out, const Spectrum &spectrum, const std::string &title,
               const Report *report)
{
    const Axes axes = make_axes(spectrum);
    out << format("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                  "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%g\" height=\"%g\" "
                  "viewBox=\"0 0 %g %g\">\n",
                  kWidth, kHeight, kWidth, kHeight);
    out << "<rect width=\"100%\" height=\"100%\" fill=\"#fff\"/>\n";
    out << format("<text x=\"%.2f\" y=\"30\" font-family=\"sans-serif\" font-size=\"16\" "
                  "text-anchor=\"middle\">",
                  kWidth / 2)
        << escape_xml(title) << "</text>\n";
    write_grid(out, axes);
    write_trace(out, axes, spectrum, spectrum.a, "#1f5fbf");
    write_trace(out, axes, spectrum, spectrum.b, "#c8321e");
    if (report != nullptr && report->peaks_asked)
        write_peak_marks(out, axes, *report);
    write_labels(out, axes, spectrum.unit);
    write_legend(out, spectrum, report != nullptr ? report->averaging : std::string());
    out << "</svg>\n";
}

}  // namespace analyser
