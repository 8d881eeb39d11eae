/*
 * spectrum: two-channel amplitude spectra for board applications.
 *
 * Pipeline per acquisition of N samples per channel:
 *   qn_spectr_window_filter -> qn_spectr_fft -> qn_spectr_decimate
 *   -> qn_spectr_cnv_to_dBm / qn_spectr_cnv_to_metric, and
 *   qn_spectr_prepare_freq_vector for the frequency axis.
 *
 * Configure once (qn_set_spectr_signal_length, qn_spectr_set_mode,
 * qn_spectr_window_init, qn_spectr_fft_init), run the pipeline per
 * acquisition, release with qn_spectr_window_clean and qn_spectr_fft_clean.
 * The module keeps one process-wide state and takes no locks: the pipeline
 * and its settings belong to one processing thread.
 *
 * Output arrays are passed as the address of the caller's array pointer; the
 * functions write through the array and never change the pointer.
 * Functions return 0 on success and -1 on failure unless noted. A null
 * pointer argument (an array, the address of an array pointer, a peak
 * output) is a failure: -1 and nothing written. Where a failure prints,
 * it prints one line to standard error, as noted below.
 *
 * "Reads" names the settings (globals) a call depends on; set them before.
 */
#ifndef QN_SPECTRUM_H
#define QN_SPECTRUM_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Unit modes (g_mode). */
enum {
    SPECTR_MODE_DBM = 0,  /* decimation: watts;      conversion: dBm   */
    SPECTR_MODE_VOLT = 1, /* decimation: peak volts; conversion: volts */
    SPECTR_MODE_DBU = 2   /* decimation: RMS volts;  conversion: dBu   */
};

/* Window modes (g_window_mode). */
enum {
    WINDOW_RECTANGULAR = 0,
    WINDOW_HANN = 1,
    WINDOW_HAMMING = 2,
    WINDOW_BLACKMAN_HARRIS = 3,
    WINDOW_FLAT_TOP = 4,
    WINDOW_KAISER_4 = 5,
    WINDOW_KAISER_8 = 6
};

/* One complex FFT bin in double precision (layout of the FFT's own bins). */
typedef struct qn_spectr_cpx {
    double r;
    double i;
} qn_spectr_cpx;

/* Opaque real-FFT plan. */
struct kiss_fftr_state;

/* Settings; change them through the setters below. */
extern uint16_t g_signal_fgpa_length; /* FFT input length N, initially 16384 */
extern int32_t g_mode;                /* unit mode, initially SPECTR_MODE_DBM */
extern int32_t g_window_mode;         /* window of the last qn_spectr_window_init */
extern int32_t g_remove_DC;           /* DC suppression of the converters, initially 1 */
extern double c_imp;                  /* load impedance in ohms, initially 50 */
extern const double c_w2mw;           /* watts to milliwatts: 1000 */

/* Buffers owned by the module from init to clean. */
extern double *qn_window;    /* window coefficients, room for 16384 */
extern double qn_window_sum; /* sum of the N coefficients */
extern struct kiss_fftr_state *qn_kiss_fft_cfg;
extern qn_spectr_cpx *qn_kiss_fft_out1;
extern qn_spectr_cpx *qn_kiss_fft_out2;

/* Settings and lengths. Each setter writes its global and nothing else: the
 * window, the FFT plan and their buffers keep the length they were made
 * for until their init is called again. */
int qn_set_spectr_signal_length(int length); /* 256..16384, power of two;
                                              * else -1, N unchanged */
int qn_get_spectr_signal_length(void);
int qn_get_spectr_out_signal_length(void);
int qn_get_spectr_signal_max_length(void);
int qn_get_spectr_out_signal_max_length(void);
void qn_spectr_set_mode(int mode); /* not checked */
int qn_spectr_get_mode(void);
void qn_spectr_remove_DC(int flag);
int qn_spectr_get_remove_DC(void);
int qn_spectr_get_current_windows(void);
void qn_set_impedance(double impedance); /* ignored unless > 0 */
double qn_get_impedance(void);

/* Window. */
int qn_spectr_window_init(int mode);
/* Reads N. Sets g_window_mode to mode, valid or not, and computes N
 * coefficients into qn_window (room for 16384, zero past N) and their sum
 * into qn_window_sum. An unknown mode: -1, no window, sum 0. No memory:
 * -1, no window, sum 0, "qn_spectr_window_init() can not allocate mem" on
 * standard error. Always 0 otherwise. */
int qn_spectr_window_clean(void); /* frees the window; always 0 */
int qn_spectr_window_filter(const double *a_in, const double *b_in, double **a_out, double **b_out);
/* Reads N, qn_window. out[i] = qn_window[i] * in[i] for N samples; in place
 * allowed. -1 and nothing written without a window from a successful
 * qn_spectr_window_init. After N grew past the window's N, the extra
 * samples are multiplied by 0. */
double __zeroethOrderBessel(double x);

/* FFT magnitudes of the first N/2 bins. */
int qn_spectr_fft_init(void);
/* Reads N. Makes the plan and work buffers for the current N. Returns 0
 * always, even when an allocation fails: qn_spectr_fft then refuses with
 * "qn_spect_fft not initialized". */
int qn_spectr_fft_clean(void); /* frees them; always 0 */
int qn_spectr_fft(const double *a_in, const double *b_in, double **a_out, double **b_out);
/* Reads N and the plan. N doubles per channel in, |X[k]| of bins
 * 0 .. N/2-1 out, unnormalised. Refusals, -1 and nothing written: null
 * arguments (no message); no plan, after qn_spectr_fft_clean or a failed
 * allocation ("qn_spect_fft not initialized"); N changed since
 * qn_spectr_fft_init ("qn_spect_fft initialized for another signal
 * length"). */

/* Groups of in_len/out_len bins averaged into watts, peak or RMS volts. */
int qn_spectr_decimate(const double *a_in, const double *b_in, float **a_out, float **b_out,
                       int in_len, int out_len);
/* Reads g_mode, qn_window_sum, c_imp (not N: the lengths are arguments).
 * step = round(in_len / out_len), at least 1; a last group that would run
 * past in_len is averaged over the bins that exist. out_len <= 0: 0,
 * nothing written. A group that would start at or past in_len: the groups
 * before it are written, then -1 with "qn_spectr_decimate() index too
 * high". A failed window init leaves qn_window_sum 0: inf or NaN out. */

/* Conversion of N/2 points with peak search, and the frequency axis. */
int qn_spectr_cnv_to_dBm(const float *a_in, const float *b_in, float **a_out, float **b_out,
                         float decimation, float *a_peak, float *a_peak_freq, float *b_peak,
                         float *b_peak_freq);
int qn_spectr_cnv_to_metric(const float *a_in, const float *b_in, float **a_out, float **b_out,
                            float decimation, float *a_peak, float *a_peak_freq, float *b_peak,
                            float *b_peak_freq);
/* Both read N, g_remove_DC and c_w2mw; qn_spectr_cnv_to_metric also g_mode
 * (dBm, volts unchanged, dBu re 0.775 V; another mode converts nothing).
 * In dBm and dBu, values whose x * 1000 is not above 1e-12 give -120.
 * Each channel's first largest output and its frequency,
 * index * (125 MHz / decimation) / N, go to the peak outputs; where no
 * output exceeds -100000 (qn_spectr_cnv_to_metric: -10000), that value at
 * index 0. In place allowed.
 * DC suppression (g_remove_DC non-zero) copies element 2 of the OUTPUT
 * into elements 0 and 1 before converting: it acts only when converting
 * in place (out == in). Out of place the conversion overwrites them and
 * bins 0 and 1 keep their DC. Returns 0, or -1 for a null argument. */
int qn_spectr_prepare_freq_vector(float **freq, double clock, float decimation);
/* Reads N. freq[i] = i / N * clock / decimation for the N/2 bins. A null
 * freq or *freq: -1 with "qn_spectr_prepare_freq_vector() not
 * initialized". */

#ifdef __cplusplus
}
#endif

#endif /* QN_SPECTRUM_H */
