// A natural log for the row pass's tiles (row_pass.cpp); a header of its own
// so that the native checks can measure it against the C library's.
#pragma once

#include <cstdint>
#include <cstring>

namespace zelt {

// The natural log of x, for x normal, positive and finite, in basic operations
// only (integer bit operations, add, multiply, divide; no fused multiply-add),
// so that the tile's loop vectorises and gives the same bits at every width
// and on every processor; the C library's log is neither vectorised here nor
// the same everywhere. x = 2^k z with z in [sqrt(2)/2, sqrt(2)), found by
// subtracting the bits of sqrt(2)/2; log z = log(1 + f) = 2 atanh(f / (2 + f))
// by the odd series' minimax fit of degree 14 (fdlibm's). Within 1 ulp.
__attribute__((always_inline)) inline double tile_log(double x) {
    constexpr std::uint64_t kLowZ = 0x3fe6a09e667f3bcdull;  // sqrt(2)/2
    constexpr std::uint64_t kExpMask = 0xfff0000000000000ull;
    constexpr double kLn2Hi = 6.93147180369123816490e-01, kLn2Lo = 1.90821492927058770002e-10;
    constexpr double kLg1 = 6.666666666666735130e-01, kLg2 = 3.999999999940941908e-01,
                     kLg3 = 2.857142874366239149e-01, kLg4 = 2.222219843214978396e-01,
                     kLg5 = 1.818357216161805012e-01, kLg6 = 1.531383769920937332e-01,
                     kLg7 = 1.479819860511658591e-01;
    std::uint64_t ix;
    std::memcpy(&ix, &x, sizeof ix);
    const std::uint64_t shifted = ix - kLowZ;  // the exponent field now holds k (mod 2^12)
    const std::uint64_t iz = ix - (shifted & kExpMask);
    // k + 1024 in [1, 2048] as a double, exactly: 2^52 + (k + 1024) - (2^52 + 1024)
    const std::uint64_t kb = ((shifted + (std::uint64_t{1024} << 52)) >> 52) | 0x4330000000000000ull;
    double kd, z;
    std::memcpy(&kd, &kb, sizeof kd);
    std::memcpy(&z, &iz, sizeof z);
    kd -= 4503599627371520.0;  // 2^52 + 1024
    const double f = z - 1.0;  // exact
    const double s = f / (2.0 + f);
    const double s2 = s * s, s4 = s2 * s2;
    const double t1 = s4 * (kLg2 + s4 * (kLg4 + s4 * kLg6));
    const double t2 = s2 * (kLg1 + s4 * (kLg3 + s4 * (kLg5 + s4 * kLg7)));
    const double R = t2 + t1;
    const double hfsq = 0.5 * f * f;
    return kd * kLn2Hi - ((hfsq - (s * (hfsq + R) + kd * kLn2Lo)) - f);
}

}  // namespace zelt
