/* Links a C program against the installed spectrum module and runs a tiny
 * pipeline on a synthetic tone. */
#include <spectrum.h>

#include <math.h>
#include <stdio.h>

#define N 256

int main(void)
{
    static double a[N], b[N], a_mag[N / 2], b_mag[N / 2];
    static float a_pts[N / 2], b_pts[N / 2], a_dbm[N / 2], b_dbm[N / 2], freq[N / 2];
    double *pa = a, *pb = b, *ma = a_mag, *mb = b_mag;
    float *da = a_pts, *db = b_pts, *ca = a_dbm, *cb = b_dbm, *axis = freq;
    float a_peak, a_freq, b_peak, b_freq;
    int i, ok;

    if (qn_set_spectr_signal_length(N) != 0 || qn_get_spectr_out_signal_length() != N / 2)
        return 1;
    for (i = 0; i < N; ++i) {
        a[i] = cos(2.0 * 3.141592653589793 * 16.0 * i / N);
        b[i] = 0.1;
    }
    ok =
        qn_spectr_window_init(WINDOW_HANN) == 0 && qn_spectr_fft_init() == 0 &&
        qn_spectr_window_filter(a, b, &pa, &pb) == 0 && qn_spectr_fft(a, b, &ma, &mb) == 0 &&
        qn_spectr_decimate(a_mag, b_mag, &da, &db, N / 2, N / 2) == 0 &&
        qn_spectr_cnv_to_dBm(a_pts, b_pts, &ca, &cb, 1.0f, &a_peak, &a_freq, &b_peak, &b_freq) == 0 &&
        qn_spectr_prepare_freq_vector(&axis, 125e6, 1.0f) == 0;
    qn_spectr_window_clean();
    qn_spectr_fft_clean();
    if (!ok || a_freq != freq[16])
        return 1;
    printf("spectrum: N=%d peak %.2f dBm at %.0f Hz\n", N, a_peak, a_freq);
    return 0;
}
