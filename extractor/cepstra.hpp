// Cepstral coefficients of filterbank features: the orthonormal DCT-II over
// the filter axis, kept to its first coefficients (of gammatone features,
// the gammatone cepstral coefficients, GFCC).
//
// Coefficient k of a row x[0..N) is
//     scale_k * sum_{n=0}^{N-1} x[n] * cos(pi * k * (2n + 1) / (2N)),
// scale_0 = sqrt(1/N), scale_k = sqrt(2/N) otherwise: the sum is taken from
// 0.0 in increasing n, then multiplied by scale_k. The cosines come from
// cosine_of_quarter_steps, which uses only the basic operations (no libm,
// whose last bits differ between C libraries), so every coefficient has the
// same bits on every machine. The core is built with -ffp-contract=off, so
// each product and sum below is rounded once, in the order written.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <limits>
#include <stdexcept>
#include <vector>

#include "extractor/checked_size.hpp"

namespace tavik::extractor::cepstra {

namespace detail {

// Terms of the Taylor series of cosine and sine, 1/(2j)! and 1/(2j+1)! for
// j = 0..10. Every k! up to 21! is exact in a double (its odd part is below
// 2^53), so each term is one correctly rounded division.
struct TaylorTerms {
    std::array<double, 11> cosine{};
    std::array<double, 11> sine{};
    TaylorTerms() {
        double factorial = 1.0;
        for (int k = 0; k <= 21; ++k) {
            if (k > 0) factorial = factorial * k;
            auto& terms = k % 2 == 0 ? cosine : sine;
            terms[static_cast<std::size_t>(k / 2)] = 1.0 / factorial;
        }
    }
};

// sum_j (-1)^j u^j terms[j], in Horner form from the last term.
inline double alternating_series(const std::array<double, 11>& terms, double u) {
    double p = terms[10];
    for (std::size_t j = 10; j-- > 0;) p = terms[j] - u * p;
    return p;
}

}  // namespace detail

// cos(pi * m / (2 * quarter)): the angle of m steps, `quarter` steps making a
// quarter turn. The angle is reduced with integers, exactly, to r steps in
// [0, quarter / 2], at most pi / 4, where 11 terms of the Taylor series are
// far below one rounding.
inline double cosine_of_quarter_steps(std::size_t m, std::size_t quarter) {
    if (quarter == 0) throw std::invalid_argument("quarter must be positive");
    static const detail::TaylorTerms terms;
    const std::size_t quadrant = (m / quarter) % 4;
    std::size_t r = m % quarter;
    // cos(q pi/2 + t) is cos t, -sin t, -cos t, sin t for q = 0, 1, 2, 3.
    bool sine = quadrant % 2 == 1;
    const bool negative = quadrant == 1 || quadrant == 2;
    if (2 * r > quarter) {
        // cos(pi/2 - t) = sin t and sin(pi/2 - t) = cos t.
        r = quarter - r;
        sine = !sine;
    }
    const double t = (3.141592653589793 / (2.0 * static_cast<double>(quarter))) *
                     static_cast<double>(r);
    const double u = t * t;
    const double value = sine ? t * detail::alternating_series(terms.sine, u)
                              : detail::alternating_series(terms.cosine, u);
    return negative ? -value : value;
}

// The first num_ceps rows of the orthonormal DCT-II of size n, scale
// included: row k, column i is scale_k * cos(pi k (2i + 1) / (2n)).
class Dct {
public:
    Dct(std::size_t n, std::size_t num_ceps) : n_(n), num_ceps_(num_ceps) {
        if (n == 0) throw std::invalid_argument("There must be at least one feature");
        if (num_ceps == 0 || num_ceps > n) {
            throw std::invalid_argument("num_ceps must be between 1 and the number of features");
        }
        const double count = static_cast<double>(n);
        scale_.resize(num_ceps);
        cosines_.resize(
            checked_product(num_ceps, n, "The cosine table of this DCT does not fit in memory"));
        for (std::size_t k = 0; k < num_ceps; ++k) {
            scale_[k] = std::sqrt((k == 0 ? 1.0 : 2.0) / count);
            for (std::size_t i = 0; i < n; ++i) {
                cosines_[k * n + i] = cosine_of_quarter_steps(k * (2 * i + 1), n);
            }
        }
    }

    std::size_t size() const { return n_; }
    std::size_t num_ceps() const { return num_ceps_; }

    // Coefficients of one row of n values into num_ceps outputs.
    void apply(const double* row, double* out) const {
        for (std::size_t k = 0; k < num_ceps_; ++k) {
            const double* c = &cosines_[k * n_];
            double sum = 0.0;
            for (std::size_t i = 0; i < n_; ++i) sum = sum + row[i] * c[i];
            out[k] = sum * scale_[k];
        }
    }

    // Coefficients of `rows` rows, the start of each `row_stride` doubles
    // after the previous one, into a rows x num_ceps block.
    void apply_rows(const double* rows_data, std::size_t rows, std::size_t row_stride,
                    double* out) const {
        for (std::size_t r = 0; r < rows; ++r) {
            apply(rows_data + r * row_stride, out + r * num_ceps_);
        }
    }

private:
    std::size_t n_;
    std::size_t num_ceps_;
    std::vector<double> scale_;
    std::vector<double> cosines_;
};

}  // namespace tavik::extractor::cepstra
