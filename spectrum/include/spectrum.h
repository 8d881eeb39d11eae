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
 * Functions return 0 on success and -1 on failure unless noted.
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
extern int32_t g_remove_DC;           /* non-zero: converters copy element 2 into 0 and 1 */
extern double c_imp;                  /* load impedance in ohms, initially 50 */
extern const double c_w2mw;           /* watts to milliwatts: 1000 */

/* Buffers owned by the module from init to clean. */
extern double *qn_window;    /* window coefficients, room for 16384 */
extern double qn_window_sum; /* sum of the N coefficients */
extern struct kiss_fftr_state *qn_kiss_fft_cfg;
extern qn_spectr_cpx *qn_kiss_fft_out1;
extern qn_spectr_cpx *qn_kiss_fft_out2;

/* Settings and lengths. */
int qn_set_spectr_signal_length(int length); /* 256..16384, power of two */
int qn_get_spectr_signal_length(void);
int qn_get_spectr_out_signal_length(void);
int qn_get_spectr_signal_max_length(void);
int qn_get_spectr_out_signal_max_length(void);
void qn_spectr_set_mode(int mode);
int qn_spectr_get_mode(void);
void qn_spectr_remove_DC(int flag);
int qn_spectr_get_remove_DC(void);
int qn_spectr_get_current_windows(void);
void qn_set_impedance(double impedance); /* ignored unless > 0 */
double qn_get_impedance(void);

/* Window. qn_spectr_window_filter returns -1 and writes nothing unless a
 * window was computed by a successful qn_spectr_window_init. */
int qn_spectr_window_init(int mode);
int qn_spectr_window_clean(void);
int qn_spectr_window_filter(const double *a_in, const double *b_in, double **a_out, double **b_out);
double __zeroethOrderBessel(double x);

/* FFT magnitudes of the first N/2 bins. After N changes, qn_spectr_fft
 * refuses (-1, one line on standard error) until qn_spectr_fft_init is
 * called again. */
int qn_spectr_fft_init(void);
int qn_spectr_fft_clean(void);
int qn_spectr_fft(const double *a_in, const double *b_in, double **a_out, double **b_out);

/* Groups of in_len/out_len bins averaged into watts, peak or RMS volts.
 * A last group that would run past in_len is averaged over the bins that
 * exist. */
int qn_spectr_decimate(const double *a_in, const double *b_in, float **a_out, float **b_out,
                       int in_len, int out_len);

/* Conversion of N/2 points, peak search and frequency axis. */
int qn_spectr_cnv_to_dBm(const float *a_in, const float *b_in, float **a_out, float **b_out,
                         float decimation, float *a_peak, float *a_peak_freq, float *b_peak,
                         float *b_peak_freq);
int qn_spectr_cnv_to_metric(const float *a_in, const float *b_in, float **a_out, float **b_out,
                            float decimation, float *a_peak, float *a_peak_freq, float *b_peak,
                            float *b_peak_freq);
int qn_spectr_prepare_freq_vector(float **freq, double clock, float decimation);

#ifdef __cplusplus
}
#endif

#endif /* QN_SPECTRUM_H */
