// Real FFT of both channels and the magnitudes of the first N/2 bins.
#include "spectrum.h"

#include "kiss_fftr.h"
#include "vector_clones.h"

#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <type_traits>

static_assert(std::is_same_v<kiss_fft_scalar, double>, "KISS FFT must use double scalars");
static_assert(sizeof(qn_spectr_cpx) == sizeof(kiss_fft_cpx));
static_assert(offsetof(qn_spectr_cpx, r) == offsetof(kiss_fft_cpx, r));
static_assert(offsetof(qn_spectr_cpx, i) == offsetof(kiss_fft_cpx, i));

extern "C" {
struct kiss_fftr_state *qn_kiss_fft_cfg = nullptr;
qn_spectr_cpx *qn_kiss_fft_out1 = nullptr;
qn_spectr_cpx *qn_kiss_fft_out2 = nullptr;
}

namespace {

// The signal length the plan and buffers were made for.
int plan_length = 0;

kiss_fft_cpx *as_kiss(qn_spectr_cpx *bins) { return reinterpret_cast<kiss_fft_cpx *>(bins); }

double magnitude(const qn_spectr_cpx &bin)
{
    const double re_squared = bin.r * bin.r;
    const double im_squared = bin.i * bin.i;
    return std::sqrt(re_squared + im_squared);
}

// Both channels in one pass: half the loop overhead.
QN_VECTOR_CLONES void magnitudes(const qn_spectr_cpx *a_bins, const qn_spectr_cpx *b_bins,
                                 double *a_out, double *b_out, int count)
{
    for (const qn_spectr_cpx *end = a_bins + count; a_bins != end;
         ++a_bins, ++b_bins, ++a_out, ++b_out) {
        *a_out = magnitude(*a_bins);
        *b_out = magnitude(*b_bins);
    }
}

}  // namespace

extern "C" {

int qn_spectr_fft_init(void)
{
    if (qn_kiss_fft_cfg != nullptr || qn_kiss_fft_out1 != nullptr || qn_kiss_fft_out2 != nullptr)
        qn_spectr_fft_clean();

    const int n = qn_get_spectr_signal_length();
    const size_t bytes = static_cast<size_t>(n) * sizeof(qn_spectr_cpx);
    qn_kiss_fft_out1 = static_cast<qn_spectr_cpx *>(std::malloc(bytes));
    qn_kiss_fft_out2 = static_cast<qn_spectr_cpx *>(std::malloc(bytes));
    qn_kiss_fft_cfg = kiss_fftr_alloc(n, 0, nullptr, nullptr);
    plan_length = n;
    return 0;
}

int qn_spectr_fft_clean(void)
{
    kiss_fft_cleanup();
    if (qn_kiss_fft_out1 != nullptr) {
        std::free(qn_kiss_fft_out1);
        qn_kiss_fft_out1 = nullptr;
    }
    if (qn_kiss_fft_out2 != nullptr) {
        std::free(qn_kiss_fft_out2);
        qn_kiss_fft_out2 = nullptr;
    }
    if (qn_kiss_fft_cfg != nullptr) {
        std::free(qn_kiss_fft_cfg);
        qn_kiss_fft_cfg = nullptr;
    }
    plan_length = 0;
    return 0;
}

int qn_spectr_fft(const double *a_in, const double *b_in, double **a_out, double **b_out)
{
    if (a_in == nullptr || b_in == nullptr || a_out == nullptr || b_out == nullptr ||
        *a_out == nullptr || *b_out == nullptr)
        return -1;
    if (qn_kiss_fft_out1 == nullptr || qn_kiss_fft_out2 == nullptr || qn_kiss_fft_cfg == nullptr) {
        std::fputs("qn_spect_fft not initialized\n", stderr);
        return -1;
    }
    const int n = qn_get_spectr_signal_length();
    // The plan and buffers only fit the length they were made for.
    if (n != plan_length) {
        std::fputs("qn_spect_fft initialized for another signal length\n", stderr);
        return -1;
    }
    kiss_fftr(qn_kiss_fft_cfg, a_in, as_kiss(qn_kiss_fft_out1));
    kiss_fftr(qn_kiss_fft_cfg, b_in, as_kiss(qn_kiss_fft_out2));
    magnitudes(qn_kiss_fft_out1, qn_kiss_fft_out2, *a_out, *b_out, n / 2);
    return 0;
}

}  // extern "C"
