// Order statistics of short arrays of doubles, selected in place (no
// allocation): the k-th smallest value, and the median as NumPy gives it.
// The refit's starts take medians of residuals many times per series.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>

namespace zelt {

// Moves the k-th smallest of a[0 .. n) (no NaN) to a[k], every smaller
// value before it and every larger one after, and returns it. Quickselect
// with partitions written as selects rather than branches: the residuals of a
// start are in random order, and a branch on each comparison would be
// mispredicted half the time. Ties (an exact fit's zeros) split three ways.
inline double select_kth(double* a, std::size_t n, std::size_t k) {
    std::size_t lo = 0, hi = n;  // a[k] lies in [lo, hi)
    while (hi - lo > 16) {
        // the median of three as pivot
        const double x = a[lo], y = a[lo + (hi - lo) / 2], z = a[hi - 1];
        const double pivot = std::max(std::min(x, y), std::min(std::max(x, y), z));
        // [lo, lo + less): below the pivot
        std::size_t at = lo;
        for (std::size_t i = lo; i < hi; ++i) {
            const double v = a[i];
            const bool below = v < pivot;
            a[i] = a[at];
            a[at] = v;
            at += below;
        }
        if (k < at) {
            hi = at;
            continue;
        }
        // [at, eq): equal to the pivot
        std::size_t eq = at;
        for (std::size_t i = at; i < hi; ++i) {
            const double v = a[i];
            const bool same = v == pivot;
            a[i] = a[eq];
            a[eq] = v;
            eq += same;
        }
        if (k < eq) return a[k];
        lo = eq;
    }
    // a short range: insertion sort
    for (std::size_t i = lo + 1; i < hi; ++i) {
        const double v = a[i];
        std::size_t j = i;
        for (; j > lo && a[j - 1] > v; --j) a[j] = a[j - 1];
        a[j] = v;
    }
    return a[k];
}

// The median of buf[0 .. n) as NumPy gives it: NaN when a value is NaN (the
// selection has no order for it) or there is none. Selects in place (buf is
// reordered), so a caller's scratch serves every call.
inline double median_in_place(double* buf, std::size_t n) {
    if (n == 0) return std::numeric_limits<double>::quiet_NaN();
    for (std::size_t i = 0; i < n; ++i) {
        if (std::isnan(buf[i])) return std::numeric_limits<double>::quiet_NaN();
    }
    const double a = select_kth(buf, n, n / 2);
    if (n % 2 == 1) return a;
    // the values before n/2 are the n/2 smallest: the lower middle is their maximum
    double b = buf[0];
    for (std::size_t i = 1; i < n / 2; ++i) b = std::max(b, buf[i]);
    return (a + b) * 0.5;
}

}  // namespace zelt
