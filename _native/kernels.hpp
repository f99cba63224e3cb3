// Vectorised kernels of the success count: the count of predictions within
// a tolerance of their targets, and the tournament search's count of the
// rows of X * b within it without storing the product.
#pragma once

#include <cstdint>

#include "types.hpp"

namespace zelt {

// Number of positions i < len(yt) with |yp[i] - yt[i]| < eps; a NaN
// difference never counts. An integer count, so any order gives it exactly.
std::int64_t count_within(const VectorCRef& yp, const VectorCRef& yt, double eps);

// count_within(X * b, yt, eps) without storing X * b: row i of the product is
// summed over the columns in index order, starting from 0.0, with one rounded
// product and one rounded sum per column. For at least 2 rows and fewer than
// 128 columns this is the order of Eigen's column-major matrix-vector product
// in the portable x86-64 build (SSE2, no fused multiply-add), so both give the
// same bits there (kFusedProductIsEigens). Vectorised with SSE2, and with AVX2
// where the processor has it (chosen at run time; the same bits either way).
// Requires b.size() == X.cols() and yt.size() == X.rows().
std::int64_t count_within_product(const MatrixCRef& X, const VectorCRef& b, const VectorCRef& yt,
                                  double eps);
// The same row sums stored into out (length X.rows()): lets checks compare
// them with Eigen's product bit for bit.
void product_in_column_order(const MatrixCRef& X, const VectorCRef& b, Eigen::Ref<Vector> out);

// Whether count_within_product counts exactly the rows of Eigen's X * b in
// this build (for at least 2 rows and fewer than 128 columns). Builds for
// wider instruction sets let Eigen fuse multiply-adds, and then keep its product.
#if defined(__SSE2__) && !defined(__AVX__) && !defined(__FMA__)
constexpr bool kFusedProductIsEigens = true;
#else
constexpr bool kFusedProductIsEigens = false;
#endif

}  // namespace zelt
