#pragma once
#include "simd/kernel_set.hpp"

namespace velkor::simd {

// Runs every function of `candidate` and of the scalar set on the same few
// thousand inputs per function (special values, the ranges where the
// algorithms switch paths, random bit patterns) and reports whether all
// results agree bit for bit.  May set errno.
bool matches_libm(const KernelSet& candidate);

}  // namespace velkor::simd
