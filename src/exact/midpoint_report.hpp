// The answer of every rounding oracle: the rounded result and where the exact result sits against the midpoint.
#pragma once

namespace exact {

struct MidpointReport {
    double rounded;       // correctly rounded result; a binary32 result is widened exactly
    double distance_ulp;  // |exact - midpoint| / gap, in (0, 0.5) when inexact (0 for a binary64 stand-in
                          // on a midpoint), 0.5 when exact
    bool exact_above;     // exact result > rounded (false when equal)
    bool exact;           // exact result == rounded
};

// An exactly representable result sits half a gap from either midpoint.
constexpr MidpointReport exact_report(double rounded) { return {rounded, 0.5, false, true}; }

}  // namespace exact
