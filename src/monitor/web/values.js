// How the pages write a series' value.
'use strict';

// A temperature in kelvin with three decimals as the instrument gives it; any
// other channel's value with four significant digits and its unit (a vacuum of
// 1.2e-6 mbar), a state channel's word.
function valueText(reading) {
    const value = reading.value !== undefined ? reading.value : reading.kelvin;
    if (value === null || value === undefined) return '–';
    if (reading.state) return reading.state;
    const unit = reading.unit === undefined ? 'K' : reading.unit;
    if (unit === 'K') return value.toFixed(3) + ' K';
    const magnitude = Math.abs(value);
    const number = magnitude !== 0 && (magnitude < 1e-3 || magnitude >= 1e5) ? value.toExponential(3) : String(Number(value.toPrecision(4)));
    return unit ? number + ' ' + unit : number;
}

// A number on a chart's axis or in its legend: exponents for the very small and large.
function axisNumber(value) {
    const magnitude = Math.abs(value);
    return magnitude !== 0 && (magnitude < 1e-3 || magnitude >= 1e5) ? value.toExponential(3) : String(Number(value.toPrecision(5)));
}

// The axis rule of the viewer and of plot: logarithmic over two decades, or,
// for temperatures in kelvin, over one decade that reaches below 30 K (a
// cool-down from room temperature to 4.2 K spans 70 times).
function suitsLogScale(low, high, unit) {
    if (!(low > 0)) return false;
    const ratio = high / low;
    return ratio > 100 || ((unit === undefined || unit === 'K') && low < 30 && ratio >= 10);
}
