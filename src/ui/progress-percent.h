#pragma once

// Percentage for the progress bar: (state + 1) * 100 / stateMax, truncated and
// capped at 100. A transfer with no payload (stateMax 0 or less) shows 100.
inline int progressPercent(int state, int stateMax)
{
    if (stateMax <= 0)
        return 100;
    const long long percent = (static_cast<long long>(state) + 1) * 100 / stateMax;
    return percent > 100 ? 100 : int(percent);
}
