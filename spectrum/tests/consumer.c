/* Links a C program against the installed spectrum module. */
#include <spectrum.h>

#include <stdio.h>

int main(void)
{
    if (qn_set_spectr_signal_length(1024) != 0)
        return 1;
    if (qn_get_spectr_out_signal_length() != 512)
        return 1;
    qn_spectr_set_mode(SPECTR_MODE_VOLT);
    printf("spectrum: N=%d mode=%d\n", qn_get_spectr_signal_length(), qn_spectr_get_mode());
    return 0;
}
