#include "adc-calibration.h"

#include <cmath>

bool computeAdcCalibration(double measured1, double measured2, double real1, double real2, double *offset,
                           double *slope)
{
    const double dm = measured1 - measured2;
    if (std::fabs(dm) < 1e-7)
        return false;
    const double dr = real1 - real2;
    if (std::fabs(dr) < 1e-7)
        return false;
    *slope = dr / dm;
    *offset = real1 / *slope - measured1;
    return true;
}
