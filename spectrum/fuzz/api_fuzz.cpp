// The module's calls in any order, with any settings in between: each call
// returns what the header promises for the state it finds, writes only
// within the lengths the header gives (buffers are sized exactly, so that
// AddressSanitizer sees one element more), prints at most one line, and
// stores the values of a plain evaluation of the documented formulas.
#include "fuzz_support.h"
#include "spectrum.h"
#include "../tests/plain_formulas.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

namespace {

using qn::fuzz::fail;

constexpr double kPi = 3.141592653589793;
constexpr int kMaxLength = 16384;

// The input read as a stream of small numbers; zeros once it is used up.
class Bytes {
public:
    Bytes(const std::uint8_t *data, std::size_t size) : data_(data), size_(size) {}
    bool done() const { return at_ >= size_; }
    unsigned byte() { return at_ < size_ ? data_[at_++] : 0u; }
    unsigned below(unsigned n) { return byte() % n; }
    std::uint32_t word()
    {
        std::uint32_t w = 0;
        for (int i = 0; i < 4; ++i)
            w = w << 8 | byte();
        return w;
    }

private:
    const std::uint8_t *data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

// What the module should be doing, as the header describes it.
struct Model {
    int length = kMaxLength;
    bool window = false;  // a successful window init since the last clean
    int window_length = 0;
    bool fft = false;  // an fft init since the last clean
    int fft_length = 0;
};

// Runs one call with standard error captured: at most one line, ending in
// a newline.
template <typename Call>
auto quietly(const char *name, Call call)
{
    qn::fuzz::OutputCapture capture;
    auto result = call();
    const qn::fuzz::OutputCapture::Written written = capture.finish();
    if (!written.out.empty())
        fail(std::string(name) + " wrote to standard output");
    const std::string &err = written.err;
    if (!err.empty() && (err.back() != '\n' || err.find('\n') != err.size() - 1))
        fail(std::string(name) + " wrote something other than one line: '" + err + "'");
    return result;
}

void expect(bool ok, const std::string &what)
{
    if (!ok)
        fail(what);
}

// Same value, NaNs alike and zeros by sign.
template <typename T>
bool same(T got, T want)
{
    return (std::isnan(got) && std::isnan(want)) ||
           (got == want && std::signbit(got) == std::signbit(want));
}

// Within tolerance of want; infinities and NaNs only as themselves.
bool within(double got, double want, double tolerance)
{
    if (std::isnan(want) || std::isinf(want))
        return same(got, want);
    return std::fabs(got - want) <= tolerance;
}

double special(unsigned which)
{
    constexpr double kValues[] = {0.0,    -0.0,     1.0,       -1.0, 1e-310, 1e300,
                                  -1e300, HUGE_VAL, -HUGE_VAL, NAN,  3.5e38, 1e-45};
    return kValues[which % std::size(kValues)];
}

// Samples of one channel: a tone, noise from the input, or mostly small
// values with special ones among them.
std::vector<double> samples(Bytes &in, std::size_t count)
{
    std::vector<double> v(count);
    const unsigned kind = in.below(4);
    std::uint32_t state = in.word() | 1u;
    auto next = [&state] {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    };
    const double amplitude = std::ldexp(1.0, static_cast<int>(in.below(40)) - 20);
    const unsigned bin = in.byte();
    for (std::size_t i = 0; i < count; ++i) {
        switch (kind) {
        case 0:
            v[i] = amplitude *
                   std::cos(2.0 * kPi * bin * static_cast<double>(i) / static_cast<double>(count));
            break;
        case 1: v[i] = amplitude * (static_cast<double>(next()) / 4294967296.0 - 0.5); break;
        case 2: v[i] = amplitude * static_cast<double>(next() % 1000) / 1000.0; break;
        default: v[i] = next() % 16 == 0 ? special(next()) : static_cast<double>(next() % 7); break;
        }
    }
    return v;
}

std::vector<float> as_floats(const std::vector<double> &v)
{
    return std::vector<float>(v.begin(), v.end());
}

// I0 to double precision; the module's series stops at a relative 1e-6.
double bessel_i0(double x)
{
    double sum = 1.0, term = 1.0;
    for (int k = 1; k < 200 && term > sum * 1e-18; ++k) {
        term *= (x / 2.0) * (x / 2.0) / (static_cast<double>(k) * k);
        sum += term;
    }
    return sum;
}

double window_coefficient(int mode, int i, int n)
{
    const double c1 = std::cos(2.0 * kPi * i / (n - 1));
    const double c2 = std::cos(4.0 * kPi * i / (n - 1));
    const double c3 = std::cos(6.0 * kPi * i / (n - 1));
    const double c4 = std::cos(8.0 * kPi * i / (n - 1));
    const double r = (2.0 * i - (n - 1)) / (n - 1);
    switch (mode) {
    case WINDOW_RECTANGULAR: return 1.0;
    case WINDOW_HANN: return 0.8165 * (1.0 - c1);
    case WINDOW_HAMMING: return 0.54 - 0.46 * c1;
    case WINDOW_BLACKMAN_HARRIS: return 0.35875 - 0.48829 * c1 + 0.14128 * c2 - 0.01168 * c3;
    case WINDOW_FLAT_TOP:
        return 0.21557895 - 0.41663158 * c1 + 0.277263158 * c2 - 0.083578947 * c3 + 0.006947368 * c4;
    case WINDOW_KAISER_4: return bessel_i0(4.0 * std::sqrt(1.0 - r * r)) / bessel_i0(4.0);
    default: return bessel_i0(8.0 * std::sqrt(1.0 - r * r)) / bessel_i0(8.0);
    }
}

void window_init(Bytes &in, Model &m)
{
    const int mode = static_cast<int>(in.below(10)) - 1;
    const int rc = quietly("qn_spectr_window_init", [&] { return qn_spectr_window_init(mode); });
    expect(qn_spectr_get_current_windows() == mode, "window mode not recorded");
    const bool valid = mode >= WINDOW_RECTANGULAR && mode <= WINDOW_KAISER_8;
    expect(rc == (valid ? 0 : -1), "window init: wrong return for mode " + std::to_string(mode));
    m.window = valid;
    if (!valid) {
        expect(qn_window == nullptr && qn_window_sum == 0.0, "failed window init left a window");
        return;
    }
    m.window_length = m.length;
    // Kaiser: the module's I0 series is good to about 1e-6.
    const double tolerance = mode >= WINDOW_KAISER_4 ? 1e-5 : 1e-12;
    // Every 61st coefficient, the ends and the first one past N.
    double sum = 0.0;
    for (int i = 0; i < kMaxLength; ++i) {
        if (i < m.length)
            sum += qn_window[i];
        else if (qn_window[i] != 0.0)
            fail("window coefficient " + std::to_string(i) + " past N is not 0");
        if (i % 61 != 0 && i != m.length - 1 && i != m.length)
            continue;
        const double want = i < m.length ? window_coefficient(mode, i, m.length) : 0.0;
        if (!within(qn_window[i], want, tolerance))
            fail("window " + std::to_string(mode) + " coefficient " + std::to_string(i) + " is " +
                 std::to_string(qn_window[i]) + ", not " + std::to_string(want));
    }
    expect(within(qn_window_sum, sum, 1e-9 * sum), "window sum differs from its coefficients");
}

void window_filter(Bytes &in, const Model &m)
{
    const auto n = static_cast<std::size_t>(m.length);
    std::vector<double> a = samples(in, n), b = samples(in, n);
    const std::vector<double> a_in = a, b_in = b;
    const bool in_place = in.below(2) == 0;
    const unsigned null_argument = in.below(16);
    std::vector<double> a_out(n, 7.0), b_out(n, 7.0);
    double *pa = in_place ? a.data() : a_out.data();
    double *pb = in_place ? b.data() : b_out.data();
    const double *a_arg = null_argument == 1 ? nullptr : a.data();
    double **pa_arg = null_argument == 2 ? nullptr : &pa;
    if (null_argument == 3)
        pa = nullptr;
    const int rc = quietly("qn_spectr_window_filter",
                           [&] { return qn_spectr_window_filter(a_arg, b.data(), pa_arg, &pb); });
    const bool refused = !m.window || (null_argument >= 1 && null_argument <= 3);
    expect(rc == (refused ? -1 : 0), "window filter: wrong return");
    const std::vector<double> &a_got = in_place ? a : a_out, &b_got = in_place ? b : b_out;
    for (std::size_t i = 0; i < n; ++i) {
        // Past the length of the window's init, the coefficients are 0.
        const double w = refused ? 0.0 : static_cast<int>(i) < m.window_length ? qn_window[i] : 0.0;
        const double a_want = refused ? (in_place ? a_in[i] : 7.0) : w * a_in[i];
        const double b_want = refused ? (in_place ? b_in[i] : 7.0) : w * b_in[i];
        if (!same(a_got[i], a_want) || !same(b_got[i], b_want))
            fail("window filter: sample " + std::to_string(i) + " wrong");
    }
}

void fft(Bytes &in, const Model &m)
{
    const auto n = static_cast<std::size_t>(m.length);
    const std::vector<double> a = samples(in, n), b = samples(in, n);
    const unsigned null_argument = in.below(16);
    std::vector<double> a_out(n / 2, 7.0), b_out(n / 2, 7.0);
    double *pa = null_argument == 3 ? nullptr : a_out.data(), *pb = b_out.data();
    const int rc = quietly("qn_spectr_fft", [&] {
        return qn_spectr_fft(null_argument == 1 ? nullptr : a.data(), b.data(),
                             null_argument == 2 ? nullptr : &pa, &pb);
    });
    const bool refused =
        !m.fft || m.fft_length != m.length || (null_argument >= 1 && null_argument <= 3);
    expect(rc == (refused ? -1 : 0), "fft: wrong return");
    if (refused) {
        expect(std::all_of(a_out.begin(), a_out.end(), [](double x) { return x == 7.0; }) &&
                   std::all_of(b_out.begin(), b_out.end(), [](double x) { return x == 7.0; }),
               "refused fft wrote");
        return;
    }
    // Magnitudes are sqrt(re^2 + im^2): past about 1e150 the squares overflow.
    constexpr double kLargest = 1e140;
    auto tame = [](double x) { return std::fabs(x) < kLargest; };
    if (!std::all_of(a.begin(), a.end(), tame) || !std::all_of(b.begin(), b.end(), tame))
        return;
    // A few bins by the plain DFT.
    for (int check = 0; check < 2; ++check) {
        const std::size_t k = in.word() % (n / 2);
        for (int channel = 0; channel < 2; ++channel) {
            const std::vector<double> &x = channel == 0 ? a : b;
            double re = 0, im = 0, scale = 0;
            for (std::size_t j = 0; j < n; ++j) {
                const double angle = 2.0 * kPi * static_cast<double>((k * j) % n) / n;
                re += x[j] * std::cos(angle);
                im -= x[j] * std::sin(angle);
                scale += std::fabs(x[j]);
            }
            const double got = (channel == 0 ? a_out : b_out)[k];
            if (!within(got, std::hypot(re, im), 1e-9 * scale + 1e-300))
                fail("fft: bin " + std::to_string(k) + " is " + std::to_string(got) + ", not " +
                     std::to_string(std::hypot(re, im)));
        }
    }
}

void decimate(Bytes &in, const Model &m)
{
    const int half = m.length / 2;
    const int in_len = static_cast<int>(in.below(static_cast<unsigned>(half) + 3)) - 2;
    const unsigned pick = in.below(8);
    const int out_len = pick == 0   ? static_cast<int>(in.below(4)) - 2
                        : pick == 1 ? in_len + static_cast<int>(in.below(8))
                                    : std::max(1, in_len >> in.below(12));
    std::vector<double> a = samples(in, static_cast<std::size_t>(std::max(in_len, 1)));
    std::vector<double> b = samples(in, a.size());
    for (double &x : a)
        x = std::fabs(x);
    std::vector<float> a_out(static_cast<std::size_t>(std::max(out_len, 1)), 7.0f);
    std::vector<float> b_out = a_out;
    float *pa = a_out.data(), *pb = b_out.data();
    const int rc = quietly("qn_spectr_decimate", [&] {
        return qn_spectr_decimate(a.data(), b.data(), &pa, &pb, in_len, out_len);
    });
    if (out_len <= 0) {
        expect(rc == 0 && a_out[0] == 7.0f, "decimate with no output length");
        return;
    }
    const float ratio = std::roundf(static_cast<float>(in_len) / static_cast<float>(out_len));
    const long long step = std::max(1LL, static_cast<long long>(ratio));
    const long long groups =
        in_len <= 0 ? 0 : std::min<long long>((in_len + step - 1) / step, out_len);
    expect(rc == (groups < out_len ? -1 : 0), "decimate: wrong return");
    const int mode = qn_spectr_get_mode();
    for (int channel = 0; channel < 2; ++channel) {
        const std::vector<double> &x = channel == 0 ? a : b;
        const std::vector<float> &got = channel == 0 ? a_out : b_out;
        for (long long g = 0; g < groups; ++g) {
            const long long end = std::min<long long>((g + 1) * step, in_len);
            const float want = spectrum_plain::group(x.data(), g * step, end, mode);
            if (!same(got[g], want))
                fail("decimate: group " + std::to_string(g) + " is " + std::to_string(got[g]) +
                     ", not " + std::to_string(want));
        }
    }
}

void convert(Bytes &in, const Model &m, bool metric)
{
    const auto bins = static_cast<std::size_t>(m.length / 2);
    std::vector<double> source = samples(in, bins);
    if (in.below(2) == 0)
        for (double &x : source)
            x = x * x;
    std::vector<float> a = as_floats(source), b = as_floats(samples(in, bins));
    const std::vector<float> a_in = a, b_in = b;
    const bool in_place = in.below(2) == 0;
    std::vector<float> a_out = as_floats(samples(in, bins)), b_out = a_out;
    const std::vector<float> a_before = a_out, b_before = b_out;
    float *pa = in_place ? a.data() : a_out.data(), *pb = in_place ? b.data() : b_out.data();
    constexpr float kDecimations[] = {1.0f, 8.0f, 64.0f, 1024.0f, 65536.0f, 0.5f, 3.0f};
    const float decimation = kDecimations[in.below(std::size(kDecimations))];
    const unsigned null_argument = in.below(16);
    if (null_argument == 3)
        pb = nullptr;
    float peaks[4] = {1.5f, 1.5f, 1.5f, 1.5f};
    float *a_peak = null_argument == 4 ? nullptr : &peaks[0];
    const int rc = quietly(metric ? "qn_spectr_cnv_to_metric" : "qn_spectr_cnv_to_dBm", [&] {
        auto *call = metric ? qn_spectr_cnv_to_metric : qn_spectr_cnv_to_dBm;
        return call(null_argument == 1 ? nullptr : a.data(), b.data(),
                    null_argument == 2 ? nullptr : &pa, &pb, decimation, a_peak, &peaks[1], &peaks[2],
                    &peaks[3]);
    });
    const std::vector<float> &a_got = in_place ? a : a_out, &b_got = in_place ? b : b_out;
    if (null_argument >= 1 && null_argument <= 4) {
        expect(rc == -1, "conversion with a null argument did not refuse");
        expect(std::memcmp(a_got.data(), (in_place ? a_in : a_before).data(), bins * 4) == 0 &&
                   peaks[1] == 1.5f,
               "refused conversion wrote");
        return;
    }
    expect(rc == 0, "conversion failed");
    const int mode = metric ? qn_spectr_get_mode() : SPECTR_MODE_DBM;
    const double start = metric ? -10000.0 : -100000.0;
    for (int channel = 0; channel < 2; ++channel) {
        // DC suppression copies element 2 into 0 and 1 of the output first:
        // of the input too when converting in place.
        std::vector<float> input = channel == 0 ? a_in : b_in;
        std::vector<float> want = channel == 0 ? a_before : b_before;
        if (qn_spectr_get_remove_DC() != 0 && bins > 2) {
            std::vector<float> &target = in_place ? input : want;
            target[0] = target[1] = target[2];
        }
        for (std::size_t i = 0; i < bins; ++i) {
            if (mode == SPECTR_MODE_DBM || mode == SPECTR_MODE_DBU)
                want[i] = mode == SPECTR_MODE_DBU ? spectrum_plain::dbu(input[i])
                                                  : spectrum_plain::dbm(input[i]);
            else if (mode == SPECTR_MODE_VOLT)
                want[i] = input[i];
            else if (in_place)
                want[i] = input[i];
        }
        const std::vector<float> &got = channel == 0 ? a_got : b_got;
        for (std::size_t i = 0; i < bins; ++i)
            if (!same(got[i], want[i]))
                fail("conversion: bin " + std::to_string(i) + " is " + std::to_string(got[i]) +
                     ", not " + std::to_string(want[i]));
        double peak = start;
        std::size_t index = 0;
        for (std::size_t i = 0; i < bins; ++i)
            if (want[i] > peak) {
                peak = want[i];
                index = i;
            }
        const double frequency = static_cast<double>(index) *
                                 (125e6 / static_cast<double>(decimation)) /
                                 static_cast<double>(m.length);
        expect(same(peaks[2 * channel], static_cast<float>(peak)), "conversion: wrong peak");
        expect(within(peaks[2 * channel + 1], frequency, 2e-6 * frequency),
               "conversion: wrong peak frequency");
    }
}

void frequency_axis(Bytes &in, const Model &m)
{
    const auto bins = static_cast<std::size_t>(m.length / 2);
    constexpr double kClocks[] = {125e6, 1e9, 1.0, 0.0};
    const double clock = kClocks[in.below(std::size(kClocks))];
    const float decimation = static_cast<float>(1u << in.below(17));
    const bool null_array = in.below(16) == 0;
    std::vector<float> axis(bins, 7.0f);
    float *p = null_array ? nullptr : axis.data();
    const int rc = quietly("qn_spectr_prepare_freq_vector",
                           [&] { return qn_spectr_prepare_freq_vector(&p, clock, decimation); });
    expect(rc == (null_array ? -1 : 0), "frequency axis: wrong return");
    for (std::size_t i = 0; !null_array && i < bins; ++i) {
        const double want = static_cast<double>(i) / m.length * clock / decimation;
        if (!within(axis[i], want, 1e-6 * want))
            fail("frequency axis: bin " + std::to_string(i) + " wrong");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    Bytes in(data, size);
    Model m;
    // Each input starts from the module's initial state, but at the
    // shortest N, where a call is 64 times cheaper; inputs may change it.
    m.length = 256;
    qn_spectr_window_clean();
    qn_spectr_fft_clean();
    qn_set_spectr_signal_length(m.length);
    qn_spectr_set_mode(SPECTR_MODE_DBM);
    qn_spectr_remove_DC(1);
    qn_set_impedance(50.0);
    qn_window_sum = 1.0;
    for (int calls = 0; calls < 24 && !in.done(); ++calls) {
        switch (in.below(14)) {
        case 0: {
            const unsigned b = in.byte();
            const int length = b < 128 ? 1 << (b % 16) : static_cast<int>(in.word());
            const bool valid =
                length >= 256 && length <= kMaxLength && std::has_single_bit(unsigned(length));
            expect(qn_set_spectr_signal_length(length) == (valid ? 0 : -1), "length: wrong return");
            if (valid)
                m.length = length;
            expect(qn_get_spectr_signal_length() == m.length &&
                       qn_get_spectr_out_signal_length() == m.length / 2,
                   "length not kept");
            break;
        }
        case 1: {
            const int mode = static_cast<int>(in.below(6)) - 1;
            qn_spectr_set_mode(mode);
            expect(qn_spectr_get_mode() == mode, "mode not kept");
            break;
        }
        case 2: qn_spectr_remove_DC(static_cast<int>(in.below(3))); break;
        case 3: {
            const double before = qn_get_impedance();
            const double impedance = std::ldexp(special(in.byte()), static_cast<int>(in.below(8)));
            qn_set_impedance(impedance);
            expect(same(qn_get_impedance(), impedance > 0 ? impedance : before),
                   "impedance: wrong value kept");
            break;
        }
        case 4: window_init(in, m); break;
        case 5:
            qn_spectr_window_clean();
            m.window = false;
            break;
        case 6:
            expect(quietly("qn_spectr_fft_init", [] { return qn_spectr_fft_init(); }) == 0,
                   "fft init failed");
            m.fft = true;
            m.fft_length = m.length;
            break;
        case 7:
            qn_spectr_fft_clean();
            m.fft = false;
            break;
        case 8: window_filter(in, m); break;
        case 9: fft(in, m); break;
        case 10: decimate(in, m); break;
        case 11: convert(in, m, false); break;
        case 12: convert(in, m, true); break;
        default: frequency_axis(in, m); break;
        }
    }
    qn_spectr_window_clean();
    qn_spectr_fft_clean();
    return 0;
}
