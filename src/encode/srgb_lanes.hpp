#pragma once
// The sRGB encoding over a lane type, bit-identical to encode_reference
// (srgb.hpp) evaluated with the process's libm powf.
//
// Two ways to the power.  The direct one: glibc's powf evaluates x^y in
// double precision and rounds the double to float once; for the sRGB
// exponent that double is within about 2^-33 of the true power (relative),
// far closer than the float spacing.  So any other evaluation that is at
// least as accurate rounds to the same float, unless the true value lies so
// near the midpoint between two floats that the two small errors can fall on
// opposite sides of it.  The direct power (srgb_power_table.hpp) is cheaper
// than powf and good to about 2^-39; we measure how far its double lies from
// the nearest midpoint: outside a guard band the rounding cannot differ, and
// the few lanes inside it (under 1 %) take glibc's own steps (powf_lanes).
// This only holds when rounding to nearest: a directed mode moves the
// rounding boundaries from the midpoints to the floats themselves, so then
// every lane takes glibc's steps.  bench/verify_libm.cpp checks every float.
//
// Include after the lane type and simd/libm_lanes.hpp, in the instruction
// set's file: every function here is a template over the lane type.
#include <xmmintrin.h>

#include <cstddef>
#include <cstdint>

#include "encode/srgb.hpp"
#include "encode/srgb_power_table.hpp"
#include "simd/libm_lanes.hpp"

namespace velkor::simd {
namespace {

// The float spacing sits 29 bits above the double's last bit.  A double whose
// low 29 bits are within kSrgbGuard of the midpoint pattern 2^28 is too close
// to call.  Our error is below 2^-39 relative (2^14 units here) and glibc's
// below 2^-33: checking every float at both widths and with both of glibc's
// builds, a guard of 2^20 units calls every input right and 2^19 does not.
// The guard is no wider than that because each doubtful vector costs a
// mispredicted branch, and beyond the cache that also discards the loads
// started ahead: a guard of 2^21 made a 24-megapixel encode 15 % slower.
constexpr std::uint32_t kSrgbMidpoint = 1u << 28;
constexpr std::uint32_t kSrgbGuard = 1u << 20;

// scale * (1 + r)^a.
template <class L>
inline typename L::D srgb_power(const srgb::PowerTable& table, typename L::D z, typename L::D f,
                                typename L::D scale) {
    auto r = L::fmsub(z, f, L::splat(1.0));  // exact
    auto s = L::splat(table.series[srgb::kSeriesTerms - 1]);
    for (int n = srgb::kSeriesTerms - 2; n >= 0; --n) s = L::fmadd(s, r, L::splat(table.series[n]));
    return L::fmadd(scale, L::mul(s, r), scale);
}

// Lanes whose double is too near a float midpoint: the low 29 bits, less the
// guard band's start, fall below its width when bits 21-28 of the
// difference are clear.
template <class L>
inline typename L::Bits near_midpoint(typename L::D lower, typename L::D upper) {
    static_assert(2 * kSrgbGuard == 1u << 21);
    constexpr std::uint32_t kField = (2 * kSrgbMidpoint - 1) & ~(2 * kSrgbGuard - 1);
    return L::low_words_clear(lower, upper, kSrgbMidpoint - kSrgbGuard, kField);
}

// The encoding of a vector; `doubtful` gets the lanes it cannot call.
template <class L>
struct EncodeDirectOp {
    const srgb::PowerTable& table;

    // f_j and (2^k / f_j)^a for x with index = 16 k + j, in double.  Lanes
    // the tables do not cover join `special`: infinity and NaN, and where
    // the tables are held in registers, everything outside their binades.
    struct Factors {
        typename L::Halves inverse_z;
        typename L::Halves scale;
    };
    Factors factors(typename L::F x, typename L::I index, typename L::Bits& special) const {
        if constexpr (L::kRegisterTables) {
            constexpr int kCovered = srgb::kRegisterBinades * srgb::kIntervals;  // infinity and NaN lie beyond
            special |= L::below_u32(L::add_u32(index, L::splat_u32(kCovered / 2)), kCovered) ^ kAllLanes<L>;
            auto wide = L::widen(index);
            auto interval = L::lookup16(table.interval_scale, wide);
            auto binade = L::lookup16(table.binade_scale, L::shift_right(wide, 4));
            return {L::lookup16(table.inverse_z_wide, wide),
                    {L::mul(binade.lower, interval.lower), L::mul(binade.upper, interval.upper)}};
        } else {
            special |= L::bits(L::not_less(x, L::splat(__builtin_inff())));
            auto f = L::lookup16(table.inverse_z, index);
            return {{L::lower(f), L::upper(f)}, L::gather(table.scale + srgb::kIndexCount / 2, index)};
        }
    }

    typename L::F vector(typename L::F x, typename L::Bits& doubtful) const {
        auto ix = L::as_ints(x);
        auto offset = L::sub_u32(ix, L::splat_u32(srgb::kIntervalOrigin));
        auto index = L::shift_right_i32(offset, srgb::kIndexShift);
        auto z = L::as_floats(L::sub_u32(ix, L::and_bits(offset, L::splat_u32(0xff800000))));
        typename L::Bits outside = 0;
        auto [f, scale] = factors(x, index, outside);
        auto lower = srgb_power<L>(table, L::lower(z), f.lower, scale.lower);
        auto upper = srgb_power<L>(table, L::upper(z), f.upper, scale.upper);
        doubtful = near_midpoint<L>(lower, upper) | outside;
        auto linear_lanes = L::less_equal(x, L::splat(srgb::kThreshold));
        doubtful &= ~L::bits(linear_lanes);
        auto p = L::to_float(lower, upper);
        auto encoded = L::add(L::mul(p, L::splat(srgb::kScale)), L::splat(srgb::kOffset));
        return L::select(linear_lanes, L::mul(x, L::splat(srgb::kSlope)), encoded);
    }
};

// Lanes the direct power cannot call are set aside and encoded by glibc's
// steps (powf_lanes) a whole vector at a time, once enough have gathered or
// the span ends: that costs about what a single lane costs through libm.
// Only the steps' own special cases (NaN, infinity) go to libm.
template <class L, bool Fused>
class DeferredLanes {
public:
    explicit DeferredLanes(float* out) : out_(out) {}

    // x > the linear segment's threshold, or NaN; out[at] is to be its code.
    void add(float x, std::size_t at) {
        x_[count_] = x;
        at_[count_] = at;
        if (++count_ == L::kLanes) flush();
    }

    void flush() {
        if (count_ == 0) return;
        for (std::size_t i = count_; i < L::kLanes; ++i) x_[i] = 1.0f;  // any positive normal
        typename L::Bits special = 0;
        auto p = powf_lanes<L, Fused>(L::load(x_), L::splat(static_cast<double>(srgb::kExponent)), special);
        alignas(64) float encoded[L::kLanes];
        L::store(encoded, L::add(L::mul(p, L::splat(srgb::kScale)), L::splat(srgb::kOffset)));
        for (std::size_t i = 0; i < count_; ++i) {
            out_[at_[i]] = (special >> i) & 1 ? srgb::encode_reference(x_[i]) : encoded[i];
        }
        count_ = 0;
    }

private:
    float* out_;
    alignas(64) float x_[L::kLanes];
    std::size_t at_[L::kLanes];
    std::size_t count_ = 0;
};

// The inputs of deferred lanes are kept, so `out` may be `in`.
template <class L, bool Fused>
void encode_direct(const float* in, float* out, std::size_t n) {
    constexpr std::size_t kLanes = L::kLanes;
    const EncodeDirectOp<L> op{srgb::power_table()};
    DeferredLanes<L, Fused> deferred(out);
    auto defer = [&](typename L::F x, typename L::Bits doubtful, std::size_t at) {
        alignas(64) float xs[kLanes];
        L::store(xs, x);
        for (; doubtful != 0; doubtful &= doubtful - 1) {
            const int lane = __builtin_ctz(doubtful);
            deferred.add(xs[lane], at + lane);
        }
    };
    std::size_t i = 0;
    // Two independent vectors per step keep both dependency chains busy.
    for (; i + 2 * kLanes <= n; i += 2 * kLanes) {
        typename L::F x0 = L::load(in + i), x1 = L::load(in + i + kLanes);
        typename L::Bits doubtful0 = 0, doubtful1 = 0;
        typename L::F y0 = op.vector(x0, doubtful0), y1 = op.vector(x1, doubtful1);
        L::store(out + i, y0);
        L::store(out + i + kLanes, y1);
        if ((doubtful0 | doubtful1) == 0) continue;
        defer(x0, doubtful0, i);
        defer(x1, doubtful1, i + kLanes);
    }
    for (; i + kLanes <= n; i += kLanes) {
        typename L::F x = L::load(in + i);
        typename L::Bits doubtful = 0;
        L::store(out + i, op.vector(x, doubtful));
        if (doubtful != 0) defer(x, doubtful, i);
    }
    for (; i < n; ++i) out[i] = srgb::encode_reference(in[i]);
    deferred.flush();
}

// glibc's own steps, for directed rounding modes.
template <class L, bool Fused>
struct EncodeStepwiseOp {
    typename L::D exponent;

    typename L::F vector(typename L::F x, typename L::Bits& special) const {
        auto linear_lanes = L::less_equal(x, L::splat(srgb::kThreshold));
        auto linear = L::mul(x, L::splat(srgb::kSlope));
        special = 0;
        if (L::bits(linear_lanes) == kAllLanes<L>) return linear;  // deep shadows: no powf at all
        auto p = powf_lanes<L, Fused>(x, exponent, special);
        special &= ~L::bits(linear_lanes);
        auto encoded = L::add(L::mul(p, L::splat(srgb::kScale)), L::splat(srgb::kOffset));
        return L::select(linear_lanes, linear, encoded);
    }
    static float scalar(float x) { return srgb::encode_reference(x); }
};

template <class L, bool Fused>
void encode_srgb_span_of(const float* in, float* out, std::size_t n) {
    constexpr unsigned kRoundingControl = 0x6000;  // MXCSR bits 13-14; 0 is to-nearest
    if ((_mm_getcsr() & kRoundingControl) == 0) {
        encode_direct<L, Fused>(in, out, n);
    } else {
        run<L>(EncodeStepwiseOp<L, Fused>{L::splat(static_cast<double>(srgb::kExponent))}, in, out, n);
    }
}

}  // namespace
}  // namespace velkor::simd
