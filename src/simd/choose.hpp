#pragma once
// How an operation on arrays picks its implementation, once per process (the
// caller keeps the choice).  An operation built on the vector libm takes the
// widest level allowed (simd/level.hpp) whose implementation for the active
// libm build passes the operation's self-test, else the scalar formulas,
// which are correct everywhere.  An operation that only adds, multiplies and
// divides gives the same bits at every level by construction, and takes the
// widest level the CPU offers and VELKOR_SIMD allows.
#include <cerrno>

#include "simd/level.hpp"

namespace velkor::simd {

template <class Span>
struct Implementations {
    Span scalar;
    Span avx2[2];    // indexed by fused_libm()
    Span avx512[2];  // the same
};

// One implementation per level, for operations that do not repeat libm.
template <class Span>
struct Variants {
    Span scalar;
    Span avx2;
    Span avx512;
};

template <class Span>
struct Chosen {
    Span span;
    Level level;
};

// `agrees(candidate)` runs the candidate and the scalar formulas on the same
// few thousand inputs and compares their bits; it may set errno.
template <class Span, class Agrees>
Chosen<Span> choose(const Implementations<Span>& implementations, Agrees agrees) {
    const Level allowed = allowed_level();
    const bool fused = fused_libm();
    const int saved_errno = errno;  // libm's special cases set it during the test
    Chosen<Span> chosen{implementations.scalar, Level::Scalar};
    if (allowed >= Level::Avx512 && agrees(implementations.avx512[fused])) {
        chosen = {implementations.avx512[fused], Level::Avx512};
    } else if (allowed >= Level::Avx2 && agrees(implementations.avx2[fused])) {
        chosen = {implementations.avx2[fused], Level::Avx2};
    }
    errno = saved_errno;
    return chosen;
}

template <class Span>
Chosen<Span> choose(const Variants<Span>& variants) {
    switch (instruction_level()) {
        case Level::Avx512: return {variants.avx512, Level::Avx512};
        case Level::Avx2: return {variants.avx2, Level::Avx2};
        case Level::Scalar: break;
    }
    return {variants.scalar, Level::Scalar};
}

}  // namespace velkor::simd
