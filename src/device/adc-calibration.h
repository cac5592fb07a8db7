#pragma once

// Offset (volts) and slope that map two uncalibrated ADC readings onto the true
// voltages of their references: slope * (reading + offset) = true voltage.
// False, leaving the outputs untouched, when the readings or the true voltages
// are less than 1e-7 V apart.
bool computeAdcCalibration(double measured1, double measured2, double real1, double real2, double *offset,
                           double *slope);
