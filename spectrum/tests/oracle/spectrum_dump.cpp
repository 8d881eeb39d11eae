// Runs the spectrum pipeline on deterministic signals and prints every
// stage's result exactly (hexadecimal floating point), for check_oracle.py
// to recompute independently.
#include "spectrum.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <numbers>
#include <vector>

namespace {

constexpr float kUnwritten = -7.0f;

void print_values(const char *tag, const double *values, int count)
{
    std::fputs(tag, stdout);
    for (int i = 0; i < count; ++i)
        std::printf(" %a", values[i]);
    std::fputc('\n', stdout);
}

void print_values(const char *tag, const float *values, int count)
{
    std::fputs(tag, stdout);
    for (int i = 0; i < count; ++i)
        std::printf(" %a", static_cast<double>(values[i]));
    std::fputc('\n', stdout);
}

// Small deterministic noise in [-0.005, 0.005).
struct Noise {
    uint64_t state = 0x853c49e6748fea9bULL;
    double next()
    {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return (static_cast<double>(state >> 11) * 0x1p-53 - 0.5) * 0.01;
    }
};

struct Signal {
    std::vector<double> a, b;
};

Signal make_signal(int n)
{
    Signal s{std::vector<double>(n), std::vector<double>(n)};
    Noise noise;
    for (int i = 0; i < n; ++i) {
        const double t = 2.0 * std::numbers::pi * i / n;
        s.a[i] = 0.9 * std::cos(37.25 * t + 0.3) + noise.next();
        s.b[i] = 0.3 + 0.05 * std::sin(101.0 * t) + noise.next();
    }
    return s;
}

void dump_bessel()
{
    for (double x : {0.0, 0.5, 1.0, 2.5, 4.0, 7.3, 8.0, 12.0})
        std::printf("BESSEL %a %a\n", x, __zeroethOrderBessel(x));
}

void dump_axis(int n)
{
    std::vector<float> axis(n / 2);
    float *p = axis.data();
    for (float decimation : {1.0f, 8.0f, 3.0f}) {
        const int rc = qn_spectr_prepare_freq_vector(&p, 125000000.0, decimation);
        std::printf("AXIS %a %d\n", static_cast<double>(decimation), rc);
        print_values("AX", axis.data(), n / 2);
    }
}

void dump_decimation(const std::vector<double> &a, const std::vector<double> &b, int mode,
                     int out_len)
{
    const int in_len = static_cast<int>(a.size());
    std::vector<float> a_out(out_len, kUnwritten), b_out(out_len, kUnwritten);
    float *pa = a_out.data(), *pb = b_out.data();
    qn_spectr_set_mode(mode);
    const int rc = qn_spectr_decimate(a.data(), b.data(), &pa, &pb, in_len, out_len);
    std::printf("DEC %d %d %d %d %a %a\n", mode, in_len, out_len, rc, qn_window_sum, c_imp);
    print_values("DA", a_out.data(), out_len);
    print_values("DB", b_out.data(), out_len);
}

using Converter = int (*)(const float *, const float *, float **, float **, float, float *, float *,
                          float *, float *);

struct Conversion {
    const char *name;
    Converter converter;
    int mode;
    int remove_dc;
    bool in_place;
};

// Separate outputs start from a known ramp, so that the untouched elements
// of unknown modes are checkable.
void dump_conversion(const Conversion &c, const std::vector<float> &a_in,
                     const std::vector<float> &b_in, float decimation)
{
    const int bins = static_cast<int>(a_in.size());
    std::vector<float> a = a_in, b = b_in;
    if (!c.in_place) {
        for (int i = 0; i < bins; ++i)
            a[i] = b[i] = static_cast<float>(i) * 0.25f - 100.0f;
    }
    float *pa = a.data(), *pb = b.data();
    const float *a_src = c.in_place ? a.data() : a_in.data();
    const float *b_src = c.in_place ? b.data() : b_in.data();
    float peaks[4] = {};
    qn_spectr_set_mode(c.mode);
    qn_spectr_remove_DC(c.remove_dc);
    const int rc =
        c.converter(a_src, b_src, &pa, &pb, decimation, &peaks[0], &peaks[1], &peaks[2], &peaks[3]);
    std::printf("CNV %s %d %d %d %a %d %a %a %a %a\n", c.name, c.mode, c.remove_dc,
                c.in_place ? 1 : 0, static_cast<double>(decimation), rc,
                static_cast<double>(peaks[0]), static_cast<double>(peaks[1]),
                static_cast<double>(peaks[2]), static_cast<double>(peaks[3]));
    print_values("CIA", a_in.data(), bins);
    print_values("CIB", b_in.data(), bins);
    print_values("COA", a.data(), bins);
    print_values("COB", b.data(), bins);
}

std::vector<float> decimated_bins(const std::vector<double> &magnitudes, int mode)
{
    const int bins = static_cast<int>(magnitudes.size());
    std::vector<float> out(bins);
    float *p = out.data();
    qn_spectr_set_mode(mode);
    qn_spectr_decimate(magnitudes.data(), magnitudes.data(), &p, &p, bins, bins);
    return out;
}

void dump_conversions(const std::vector<double> &a, const std::vector<double> &b)
{
    const Conversion conversions[] = {
        {"dBm", qn_spectr_cnv_to_dBm, SPECTR_MODE_DBM, 1, false},
        {"dBm", qn_spectr_cnv_to_dBm, SPECTR_MODE_DBM, 1, true},
        {"metric", qn_spectr_cnv_to_metric, SPECTR_MODE_DBM, 0, false},
        {"metric", qn_spectr_cnv_to_metric, SPECTR_MODE_VOLT, 0, false},
        {"metric", qn_spectr_cnv_to_metric, SPECTR_MODE_VOLT, 1, true},
        {"metric", qn_spectr_cnv_to_metric, SPECTR_MODE_DBU, 0, false},
        {"metric", qn_spectr_cnv_to_metric, SPECTR_MODE_DBU, 1, true},
        {"metric", qn_spectr_cnv_to_metric, 3, 1, false},
    };
    for (const Conversion &c : conversions) {
        const int decimating_mode = c.mode == 3 ? SPECTR_MODE_VOLT : c.mode;
        const auto a_in = decimated_bins(a, decimating_mode);
        const auto b_in = decimated_bins(b, decimating_mode);
        dump_conversion(c, a_in, b_in, c.in_place ? 1.0f : 8.0f);
    }
}

void dump_window_and_spectrum(const Signal &s, int window, bool full_pipeline)
{
    const int n = static_cast<int>(s.a.size());
    const int rc = qn_spectr_window_init(window);
    std::printf("WIN %d %d %a\n", window, rc, qn_window_sum);
    print_values("W", qn_window, n);

    std::vector<double> a(n), b(n);
    double *pa = a.data(), *pb = b.data();
    qn_spectr_window_filter(s.a.data(), s.b.data(), &pa, &pb);
    print_values("FA", a.data(), n);
    print_values("FB", b.data(), n);

    std::vector<double> a_mag(n / 2), b_mag(n / 2);
    pa = a_mag.data(), pb = b_mag.data();
    std::printf("FFT %d\n", qn_spectr_fft(a.data(), b.data(), &pa, &pb));
    print_values("MA", a_mag.data(), n / 2);
    print_values("MB", b_mag.data(), n / 2);
    if (!full_pipeline)
        return;

    const int bins = n / 2;
    for (int mode : {int{SPECTR_MODE_DBM}, int{SPECTR_MODE_VOLT}, int{SPECTR_MODE_DBU}, 5}) {
        // Whole groups, a clamped last group, and a group past the input.
        for (int out_len : {bins, bins / 8, bins / 3 + 1, bins * 2 / 5})
            dump_decimation(a_mag, b_mag, mode, out_len);
    }
    dump_conversions(a_mag, b_mag);
}

void dump_length(int n, bool full_pipeline)
{
    qn_set_spectr_signal_length(n);
    std::printf("N %d\n", n);
    const Signal s = make_signal(n);
    print_values("IA", s.a.data(), n);
    print_values("IB", s.b.data(), n);
    qn_spectr_fft_init();
    for (int window = WINDOW_RECTANGULAR; window <= WINDOW_KAISER_8; ++window)
        dump_window_and_spectrum(s, window, full_pipeline);
    dump_axis(n);
}

// Each line of the file: mode, window sum, impedance, then the bins, all in
// hexadecimal floating point except the mode. Each line is decimated with
// one bin per point.
void dump_given_bins(const char *path)
{
    std::ifstream file(path);
    if (!file) {
        std::perror(path);
        return;
    }
    std::string line;
    while (std::getline(file, line)) {
        const char *cursor = line.c_str();
        char *end = nullptr;
        const int mode = static_cast<int>(std::strtol(cursor, &end, 10));
        std::vector<double> numbers;
        for (cursor = end;; cursor = end) {
            const double x = std::strtod(cursor, &end);
            if (end == cursor)
                break;
            numbers.push_back(x);
        }
        if (numbers.size() < 3)
            continue;
        qn_window_sum = numbers[0];
        qn_set_impedance(numbers[1]);
        const std::vector<double> bins(numbers.begin() + 2, numbers.end());
        print_values("BI", bins.data(), static_cast<int>(bins.size()));
        dump_decimation(bins, bins, mode, static_cast<int>(bins.size()));
    }
}

}  // namespace

int main(int argc, char **argv)
{
    qn_set_impedance(75.0);
    dump_bessel();
    for (int n : {256, 1024, 4096})
        dump_length(n, true);
    dump_length(16384, false);
    if (argc > 1)
        dump_given_bins(argv[1]);
    qn_spectr_window_clean();
    qn_spectr_fft_clean();
    return 0;
}
