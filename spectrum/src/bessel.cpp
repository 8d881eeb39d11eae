// Zeroth-order modified Bessel function of the first kind, for Kaiser windows.
#include "spectrum.h"

extern "C" double __zeroethOrderBessel(double x)
{
    const double x_squared = x * x;
    double sum = 0.0;
    double term = 1.0;
    double k = 0.0;
    do {
        k = k + 1.0;
        sum = sum + term;
        const double q = x_squared / ((k * 4.0) * k);
        term = term * q;
    } while (term > sum * 1e-6);
    return sum;
}
