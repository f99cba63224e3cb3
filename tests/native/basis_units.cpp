// Exercises the internal building blocks of the basis module that Python
// cannot reach (deriv_row, col_deriv_scalar, generate_multi_indices) and
// prints one "name value value ..." line per case; built by CMake (target
// basis_units), run by ctest, and its figures checked by tests/test_basis.py.
#include <cstdio>
#include <cstring>
#include <limits>
#include <vector>

#include "basis.hpp"

namespace {

void print_vec(const char* name, const zelt::Vector& v) {
    std::printf("%s", name);
    for (Eigen::Index i = 0; i < v.size(); ++i) std::printf(" %.17g", v[i]);
    std::printf("\n");
}

// deriv_row into a buffer two entries longer than deg + 1 filled with a
// sentinel, so that a write past entry deg shows up.
void row(const char* name, double x, int deg, int order) {
    zelt::Vector out = zelt::Vector::Constant(deg + 3 > 2 ? deg + 3 : 2, -777.0);
    zelt::deriv_row(x, deg, order, out);
    print_vec(name, out);
}

}  // namespace

int main() {
    row("row_x0_deg4_o1", 0.0, 4, 1);
    row("row_x0_deg4_o2", 0.0, 4, 2);
    row("row_x2_deg3_o1", 2.0, 3, 1);
    row("row_x2_deg3_o2", 2.0, 3, 2);
    row("row_deg0_o1", 5.0, 0, 1);
    row("row_deg1_o2", 5.0, 1, 2);
    row("row_degm1_o1", 5.0, -1, 1);
    row("row_xm3_deg4_o2", -3.0, 4, 2);

    const struct {
        double v;
        int p, order;
    } cds[] = {{2.0, 3, 0}, {2.0, 3, 1}, {2.0, 3, 2}, {5.0, 1, 2}, {0.0, 0, 0},
               {0.0, 0, 1}, {0.0, 1, 1}, {0.0, 2, 2}, {-1.5, 4, 2}, {std::numeric_limits<double>::quiet_NaN(), 0, 0}};
    std::printf("col_deriv_scalar");
    for (const auto& c : cds) std::printf(" %.17g", zelt::col_deriv_scalar(c.v, c.p, c.order));
    std::printf("\n");

    const std::vector<std::vector<int>> degree_sets = {{}, {1, 2}, {2, 1}, {0, 0, 0}, {1, -1, 2}, {-1}};
    for (const auto& degrees : degree_sets) {
        zelt::MultiIndexList out;
        zelt::MultiIndex current(degrees.size(), 0);
        zelt::generate_multi_indices(degrees, 0, current, out);
        std::printf("multi %zu |", out.size());
        for (const auto& mi : out) {
            for (int k : mi) std::printf(" %d", k);
            std::printf(" |");
        }
        std::printf("\n");
    }
    // Appends to what is already there and enumerates only from `dim` on.
    {
        zelt::MultiIndexList out = {{9, 9}};
        zelt::MultiIndex current = {7, 0};
        zelt::generate_multi_indices({1, 2}, 1, current, out);
        std::printf("multi_from_dim1 %zu |", out.size());
        for (const auto& mi : out) {
            for (int k : mi) std::printf(" %d", k);
            std::printf(" |");
        }
        std::printf("\n");
    }
    // The penalty reads its axis points one at a time from the lazy LinSpaced
    // expression; they must be the points of a stored LinSpaced Vector (the
    // vectorised fill), downward and |hi| < |lo| axes included.
    {
        const struct {
            int n;
            double lo, hi;
        } axes[] = {{30, 0.0, 1.0}, {31, -1.0, 2.0}, {17, 3.0, -0.1}, {1001, -7.3, 0.2}, {2, 5.0, 5.0}, {9, 1e-3, -4.0}};
        int mismatches = 0;
        for (const auto& a : axes) {
            const zelt::Vector stored = zelt::Vector::LinSpaced(a.n, a.lo, a.hi);
            const auto lazy = zelt::Vector::LinSpaced(a.n, a.lo, a.hi);
            for (int k = 0; k < a.n; ++k) mismatches += (stored[k] != lazy.coeff(k)) ? 1 : 0;
        }
        std::printf("linspaced_mismatches %d\n", mismatches);
    }
    // design_matrix_nd fills long columns in row blocks, with an interruption
    // poll between blocks: the same bits as one pass over the whole column
    // (the old fill, recomputed here), for columns of every alignment.
    {
        long mismatches = 0;
        const zelt::MultiIndexList mis = {{3, 0}, {1, 2}, {5, 7}, {0, 0}, {2, 9}, {11, 1}};
        for (Eigen::Index n : {Eigen::Index{3 * 16384 + 5}, Eigen::Index{2 * 16384 + 1}, Eigen::Index{40000},
                               Eigen::Index{16383}, Eigen::Index{7}}) {
            const std::vector<zelt::Vector> cols = {zelt::Vector::LinSpaced(n, 0.3, 1.7),
                                                    zelt::Vector::LinSpaced(n, -2.1, 0.9)};
            const zelt::Matrix got = zelt::design_matrix_nd(mis, cols);
            zelt::Matrix whole(n, static_cast<Eigen::Index>(mis.size()));
            for (Eigen::Index j = 0; j < whole.cols(); ++j) {
                const auto& mi = mis[static_cast<std::size_t>(j)];
                auto col = whole.col(j).array();
                col.setOnes();
                for (std::size_t d = 0; d < cols.size(); ++d) {
                    if (mi[d] > 0) col *= cols[d].array().pow(static_cast<double>(mi[d]));
                }
                for (Eigen::Index i = 0; i < n; ++i) {
                    mismatches += std::memcmp(&got(i, j), &whole(i, j), sizeof(double)) != 0;
                }
            }
        }
        std::printf("design_nd_block_mismatches %ld\n", mismatches);
    }
    return 0;
}
