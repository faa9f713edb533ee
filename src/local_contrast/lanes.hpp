#pragma once
// Four pixels at a time, written once for scalars and vectors alike.
//
// The window passes do three double divisions per pixel.  GCC will not
// vectorise a loop whose division it sees guarded by a comparison (it may
// not speculate an operation that could trap), so the loops spell the
// vectors out with GCC's vector extensions.  Each lane is an ordinary IEEE
// operation on the same operands a scalar would see, in the same order, so
// the vector and scalar forms give identical bits.  The generic helpers
// below let one formula serve a single pixel (double) and four (Double4).
#include <cstddef>
#include <cstring>

// Everything that handles these vectors is inlined into its caller, so the
// warning that 32-byte vectors pass differently between functions with and
// without AVX is moot; it stays off in the files that use them.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace velkor::lanes {

constexpr std::size_t kWidth = 4;
typedef double Double4 __attribute__((vector_size(32)));
typedef float Float4 __attribute__((vector_size(16)));
typedef long long Mask4 __attribute__((vector_size(32)));

[[gnu::always_inline]] inline Double4 load4(const double* p) {
    Double4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

[[gnu::always_inline]] inline Double4 splat(double v) { return Double4{v, v, v, v}; }

// As many consecutive values of a row reader (a pointer or a strided row)
// as `like` has lanes, from x on, widened exactly to double.
template <class Row>
[[gnu::always_inline]] inline double load_widened_like(const double&, const Row& row, std::size_t x) {
    return row[x];
}
template <class Row>
[[gnu::always_inline]] inline Double4 load_widened_like(const Double4&, const Row& row, std::size_t x) {
    return Double4{row[x], row[x + 1], row[x + 2], row[x + 3]};
}

// Rounds to single precision and stores.
[[gnu::always_inline]] inline void store_as_float(float* p, double v) { *p = static_cast<float>(v); }
[[gnu::always_inline]] inline void store_as_float(float* p, const Double4& v) {
    const Float4 f = __builtin_convertvector(v, Float4);
    std::memcpy(p, &f, sizeof f);
}

// `value` where `test` > 0, else +0.0; a NaN test counts as not > 0.
[[gnu::always_inline]] inline double where_positive(double test, double value) {
    return test > 0.0 ? value : 0.0;
}
[[gnu::always_inline]] inline Double4 where_positive(const Double4& test, const Double4& value) {
    const Mask4 positive = test > 0.0;
    return positive ? value : Double4{};
}

}  // namespace velkor::lanes

