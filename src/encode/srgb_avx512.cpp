// The sRGB encoding with AVX-512: sixteen floats per step.  Checked on an
// AVX-512 machine against every one of the 2^32 floats with both glibc
// builds (bench/verify_libm.cpp); even so it is trusted on a CPU only after
// its self-test (srgb_span.cpp).  The headers of general use come first,
// compiled for any x86-64; everything after the target pragma is AVX-512
// code private to this file.
#include <immintrin.h>

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "encode/srgb.hpp"
#include "encode/srgb_power_table.hpp"
#include "encode/srgb_span.hpp"
#include "simd/libm_tables.hpp"

#pragma GCC target("avx512f,avx2,fma")

#include "simd/lanes_avx512.hpp"
#include "simd/libm_lanes.hpp"
#include "encode/srgb_lanes.hpp"

namespace velkor::srgb {

const Span kAvx512Encode[2] = {simd::encode_srgb_span_of<simd::Avx512, false>, simd::encode_srgb_span_of<simd::Avx512, true>};

}  // namespace velkor::srgb
