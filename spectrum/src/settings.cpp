// Module-wide analysis settings, their setters and the derived lengths.
#include "spectrum.h"

#include <bit>
#include <cstdint>

namespace {
constexpr int kMaxSignalLength = 16384;
constexpr int kMinSignalLength = 256;
}  // namespace

extern "C" {

uint16_t g_signal_fgpa_length = kMaxSignalLength;
int32_t g_mode = SPECTR_MODE_DBM;
int32_t g_window_mode = WINDOW_HANN;
int32_t g_remove_DC = 1;
double c_imp = 50.0;
const double c_w2mw = 1000.0;

int qn_set_spectr_signal_length(int length)
{
    // One unsigned comparison also rejects negative lengths.
    const auto offset = static_cast<unsigned>(length) - static_cast<unsigned>(kMinSignalLength);
    if (offset > static_cast<unsigned>(kMaxSignalLength - kMinSignalLength))
        return -1;
    if (std::popcount(static_cast<unsigned>(length)) != 1)
        return -1;
    g_signal_fgpa_length = static_cast<uint16_t>(length);
    return 0;
}

int qn_get_spectr_signal_length(void) { return g_signal_fgpa_length; }

int qn_get_spectr_out_signal_length(void) { return static_cast<uint16_t>(g_signal_fgpa_length >> 1); }

int qn_get_spectr_signal_max_length(void) { return kMaxSignalLength; }

int qn_get_spectr_out_signal_max_length(void) { return kMaxSignalLength >> 1; }

void qn_spectr_set_mode(int mode) { g_mode = mode; }

int qn_spectr_get_mode(void) { return g_mode; }

void qn_spectr_remove_DC(int flag) { g_remove_DC = flag; }

int qn_spectr_get_remove_DC(void) { return g_remove_DC; }

int qn_spectr_get_current_windows(void) { return g_window_mode; }

void qn_set_impedance(double impedance)
{
    if (impedance > 0)  // also false for NaN
        c_imp = impedance;
}

double qn_get_impedance(void) { return c_imp; }

}  // extern "C"
