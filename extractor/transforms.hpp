// Scalar transforms for Extractor::transform written as plain function
// objects. Stored by value inside the std::function, they are applied without
// any call back into an interpreter, so they cost what the operation costs and
// run on any number of threads at once. Each is one fixed expression, so the
// same input gives the same bits everywhere.
#pragma once

#include <cmath>

namespace tavik::extractor::transforms {

template <typename T>
struct Identity {
    T operator()(T x) const { return x; }
};

// Base-10 logarithm, with a value in [0, floor) raised to floor first. A
// negative value lies outside the logarithm's domain and gives NaN, as NaN
// does: with a floor of 0 this is std::log10 itself, bit for bit, for every
// input.
template <typename T>
struct Log10 {
    T floor;
    T operator()(T x) const { return std::log10(x >= T(0) && x < floor ? floor : x); }
};

// The level in decibels of an amplitude, 20 log10(x), never below floor_dB.
// NaN (also the level of a negative value) stays NaN.
template <typename T>
struct Decibels {
    T floor_dB;
    T operator()(T x) const {
        const T level = T(20.0) * std::log10(x);
        return level < floor_dB ? floor_dB : level;
    }
};

// x to a fixed power, for instance 1/3: the cube-root compression of auditory
// front-ends.
template <typename T>
struct Power {
    T exponent;
    T operator()(T x) const { return std::pow(x, exponent); }
};

}  // namespace tavik::extractor::transforms
