// The sRGB encoding with AVX2 and FMA: eight floats per step.  The headers
// of general use come first, compiled for any x86-64; everything after the
// target pragma is AVX2 code private to this file.
#include <immintrin.h>

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "encode/srgb.hpp"
#include "encode/srgb_power_table.hpp"
#include "encode/srgb_span.hpp"
#include "simd/libm_tables.hpp"

#pragma GCC target("avx2,fma")

#include "simd/lanes_avx2.hpp"
#include "simd/libm_lanes.hpp"
#include "encode/srgb_lanes.hpp"

namespace velkor::srgb {

const Span kAvx2Encode[2] = {simd::encode_srgb_span_of<simd::Avx2, false>, simd::encode_srgb_span_of<simd::Avx2, true>};

}  // namespace velkor::srgb
