// Sums and products of sizes and counts that callers choose (frame lengths,
// hops, filter counts, sample positions). Where one does not fit in its
// type it is refused with std::length_error (ValueError in Python) carrying
// the caller's message, instead of wrapping around to a small number that
// would then size a buffer too small for what is written into it.
#pragma once

#include <limits>
#include <stdexcept>
#include <type_traits>

namespace tavik::extractor {

template <typename U>
U checked_sum(U a, U b, const char* too_large) {
    static_assert(std::is_unsigned_v<U>, "sizes and counts are unsigned");
    if (b > std::numeric_limits<U>::max() - a) throw std::length_error(too_large);
    return a + b;
}

template <typename U>
U checked_product(U a, U b, const char* too_large) {
    static_assert(std::is_unsigned_v<U>, "sizes and counts are unsigned");
    if (a != 0 && b > std::numeric_limits<U>::max() / a) throw std::length_error(too_large);
    return a * b;
}

}  // namespace tavik::extractor
