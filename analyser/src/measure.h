// Peak table and ADC test figures from a channel's bin powers.
#ifndef QN_ANALYSER_MEASURE_H
#define QN_ANALYSER_MEASURE_H

#include <vector>

namespace analyser {

// The window as the measurements see it: its coefficients, sum, equivalent
// noise bandwidth (in bins) and main-lobe half-width (bins to the first null).
class WindowShape {
public:
    WindowShape(int window, const double *coefficients, int length);

    // |W(d)|: the window's response d bins off a tone.
    double response(double d) const;
    double sum() const { return sum_; }
    double enbw() const { return enbw_; }
    int lobe() const { return lobe_; }

    // A tone d bins (0 to 1/2) from one bin and 1 - d from the next gives
    // the two magnitudes the ratio |W(1 - d)| / |W(d)|: the d of a ratio,
    // and the gain |W(0)| / |W(d)| that restores the tone's level.
    struct Offset {
        double bins;
        double gain;
    };
    Offset offset_for(double ratio) const;

private:
    std::vector<double> w_;
    double sum_;
    double enbw_;
    int lobe_;
    // Both at d = i / (2 kSteps): a table, so that each peak costs no
    // transform of the window.
    static constexpr int kSteps = 256;
    std::vector<double> ratio_, gain_;
};

// Bin powers P = 2 |X|^2 / sum(w)^2 (mean square volts of an on-bin tone)
// in the unit of --unit: dBm into the impedance, peak volts, or dBu.
struct LevelScale {
    int mode;
    double impedance;
    double level(double mean_square) const;
};

struct TablePeak {
    double frequency;  // Hz
    double level;      // in the unit
};

struct Metrics {
    double fundamental_hz;
    double fundamental_level;  // in the unit
    double thd_dbc;
    double snr_db;
    double sinad_db;
    double sfdr_dbc;
    double enob_bits;
    double noise_floor;  // per bin, in the unit
};

// Channel bins: |X[k]|^2 of bins 0 .. N/2-1, averaged as the run asked.
struct ChannelBins {
    const std::vector<double> &power;
    const WindowShape &window;
    double bin_hz;
    LevelScale scale;
};

// The count highest local maxima standing 15 dB above the median bin, no two
// within a main lobe of each other, DC bins left out unless keep_dc; tone
// frequency and level interpolated from the peak bin and its larger neighbour.
std::vector<TablePeak> find_peaks(const ChannelBins &bins, int count, bool keep_dc);

// The strongest tone outside the DC bins and its harmonics 2 to 6.
Metrics measure(const ChannelBins &bins);

}  // namespace analyser

#endif
