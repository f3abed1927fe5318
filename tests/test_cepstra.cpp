#include <cmath>
#include <cstddef>
#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>

#include "extractor/cepstra.hpp"

using tavik::extractor::cepstra::cosine_of_quarter_steps;
using tavik::extractor::cepstra::Dct;

// Within one unit in the last place of the cosine computed in extended
// precision (the error of long double's pi aside), on every
// step of several turns, for quarter turns of many sizes (the DCT of n
// features uses quarter = n).
TEST(Cepstra, CosineOfQuarterStepsIsWithinOneRounding) {
    const long double pi = 3.141592653589793238462643383279502884L;
    for (std::size_t quarter : {1u, 2u, 3u, 5u, 13u, 32u, 64u, 100u, 127u, 256u, 1000u}) {
        for (std::size_t m = 0; m < 9 * quarter; ++m) {
            const long double exact = std::cos(pi * static_cast<long double>(m) /
                                               (2.0L * static_cast<long double>(quarter)));
            const double got = cosine_of_quarter_steps(m, quarter);
            EXPECT_LE(std::fabs(static_cast<long double>(got) - exact),
                      0x1p-52L * std::fabs(exact) + 1e-18L)
                << "m=" << m << " quarter=" << quarter;
        }
    }
    EXPECT_EQ(cosine_of_quarter_steps(0, 7), 1.0);
    EXPECT_EQ(cosine_of_quarter_steps(14, 7), -1.0);
    EXPECT_EQ(cosine_of_quarter_steps(7, 7), 0.0);
    EXPECT_THROW(cosine_of_quarter_steps(1, 0), std::invalid_argument);
}

// All n coefficients of the orthonormal DCT-II: the rows of the transform
// are orthonormal, so the coefficients of the unit vectors are too.
TEST(Cepstra, FullTransformIsOrthonormal) {
    for (std::size_t n : {1u, 2u, 3u, 13u, 64u, 100u}) {
        const Dct dct(n, n);
        std::vector<std::vector<double>> columns(n, std::vector<double>(n));
        for (std::size_t i = 0; i < n; ++i) {
            std::vector<double> unit(n, 0.0);
            unit[i] = 1.0;
            dct.apply(unit.data(), columns[i].data());
        }
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t j = 0; j < n; ++j) {
                double dot = 0.0;
                for (std::size_t k = 0; k < n; ++k) dot += columns[i][k] * columns[j][k];
                EXPECT_NEAR(dot, i == j ? 1.0 : 0.0, 1e-14) << "n=" << n;
            }
        }
    }
}

TEST(Cepstra, ConstantRowHasOnlyTheFirstCoefficient) {
    const std::vector<double> row(64, -2.5);
    const Dct dct(64, 13);
    std::vector<double> out(13);
    dct.apply(row.data(), out.data());
    EXPECT_NEAR(out[0], -2.5 * 8.0, 1e-13);
    for (std::size_t k = 1; k < 13; ++k) EXPECT_NEAR(out[k], 0.0, 1e-13) << k;
}

// Rows read with a stride wider than a row give the rows' own coefficients,
// and nothing past num_ceps is written.
TEST(Cepstra, RowsWithStride) {
    const std::size_t n = 5, stride = 7, rows = 3;
    std::vector<double> data(rows * stride);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = std::sin(0.3 * i);
    const Dct dct(n, 2);
    std::vector<double> out(rows * 2 + 1, 42.0);
    dct.apply_rows(data.data(), rows, stride, out.data());
    for (std::size_t r = 0; r < rows; ++r) {
        std::vector<double> one(2);
        dct.apply(&data[r * stride], one.data());
        EXPECT_EQ(out[r * 2], one[0]);
        EXPECT_EQ(out[r * 2 + 1], one[1]);
    }
    EXPECT_EQ(out.back(), 42.0);
}

TEST(Cepstra, RefusesImpossibleSizes) {
    EXPECT_THROW(Dct(0, 1), std::invalid_argument);
    EXPECT_THROW(Dct(4, 0), std::invalid_argument);
    EXPECT_THROW(Dct(4, 5), std::invalid_argument);
}
