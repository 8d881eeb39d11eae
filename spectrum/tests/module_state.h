// Puts the module's process-wide state back to its initial values after
// each test, so that tests don't depend on their order.
#ifndef QN_SPECTRUM_TESTS_MODULE_STATE_H
#define QN_SPECTRUM_TESTS_MODULE_STATE_H

#include "spectrum.h"

#include <gtest/gtest.h>

class ModuleState : public ::testing::Test {
protected:
    void TearDown() override
    {
        qn_spectr_window_clean();
        qn_spectr_fft_clean();
        qn_set_spectr_signal_length(16384);
        qn_spectr_set_mode(SPECTR_MODE_DBM);
        qn_spectr_remove_DC(1);
        g_window_mode = WINDOW_HANN;
        qn_window_sum = 1.0;
        c_imp = 50.0;
    }
};

#endif
