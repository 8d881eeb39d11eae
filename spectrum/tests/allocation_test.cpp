// An acquisition runs without touching the heap: only the inits allocate.
#include "alloc_counter.h"
#include "module_state.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

class Allocations : public ModuleState {};

TEST_F(Allocations, NoneDuringAnAcquisitionInAnyMode)
{
    if (!alloc_counter::available())
        GTEST_SKIP() << "the sanitizer runtime owns the allocator; counting is off";
    constexpr int kLength = 4096;
    ASSERT_EQ(qn_set_spectr_signal_length(kLength), 0);
    ASSERT_EQ(qn_spectr_window_init(WINDOW_KAISER_8), 0);
    qn_spectr_fft_init();
    std::vector<double> a(kLength, 0.25), b(kLength, -0.5), ma(kLength / 2), mb(kLength / 2);
    std::vector<float> da(kLength / 2), db(kLength / 2), freq(kLength / 2);
    double *pa = a.data(), *pb = b.data(), *pma = ma.data(), *pmb = mb.data();
    float *pda = da.data(), *pdb = db.data(), *pfreq = freq.data();
    float peak[4];

    alloc_counter::reset();
    for (const int mode : {SPECTR_MODE_DBM, SPECTR_MODE_VOLT, SPECTR_MODE_DBU}) {
        qn_spectr_set_mode(mode);
        ASSERT_EQ(qn_spectr_window_filter(pa, pb, &pa, &pb), 0);
        ASSERT_EQ(qn_spectr_fft(pa, pb, &pma, &pmb), 0);
        ASSERT_EQ(qn_spectr_decimate(pma, pmb, &pda, &pdb, kLength / 2, kLength / 2), 0);
        qn_spectr_cnv_to_dBm(pda, pdb, &pda, &pdb, 1.0f, &peak[0], &peak[1], &peak[2], &peak[3]);
        qn_spectr_cnv_to_metric(pda, pdb, &pda, &pdb, 1.0f, &peak[0], &peak[1], &peak[2], &peak[3]);
        ASSERT_EQ(qn_spectr_prepare_freq_vector(&pfreq, 125e6, 1.0f), 0);
    }
    EXPECT_EQ(alloc_counter::count(), 0u);
}

// The counter itself sees allocations, or the test above proves nothing.
TEST_F(Allocations, CounterSeesAnInit)
{
    if (!alloc_counter::available())
        GTEST_SKIP() << "the sanitizer runtime owns the allocator; counting is off";
    alloc_counter::reset();
    ASSERT_EQ(qn_spectr_window_init(WINDOW_HANN), 0);
    qn_spectr_fft_init();
    EXPECT_GE(alloc_counter::count(), 3u);
}

}  // namespace
