#pragma once
// glibc's expf, exp2f, logf and powf, written once over a lane type (Avx2 in
// lanes_avx2.hpp, Avx512 in lanes_avx512.hpp), and the loop that runs an
// operation over a span.  The operations built on them (tone/, encode/) are
// what production runs; bench/verify_libm.cpp checks the functions alone.
//
// Every step below is one step of glibc's C code (see libm_tables.hpp for the
// origin of the algorithms), in double precision, half a vector of floats at
// a time.  The template flag `Fused` reproduces the one thing that differs
// between glibc's two x86-64 builds: which `a*b + c` the compiler contracted
// into an FMA.  The pattern was read from the disassembly of Debian 12's
// libm (__expf_fma and friends); the SSE2 build contracts nothing.  Files
// using this must be compiled with -ffp-contract=off so that the unfused
// steps stay unfused.
//
// Lanes for which glibc would leave its main path (overflow, NaN, ...) are
// flagged and recomputed by libm after the vector step; so are loop tails.
//
// Include after the lane type, in its instruction set's file: every function
// here is a template over the lane type, so each instantiation stays inside
// that file.
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "simd/libm_tables.hpp"

namespace velkor::simd {
namespace {

template <class L>
constexpr typename L::Bits kAllLanes = (typename L::Bits{1} << L::kLanes) - 1;

// a*b + c, rounded once (Fused) or twice, as the matching glibc build does.
template <class L, bool Fused>
inline typename L::D mul_add(typename L::D a, typename L::D b, typename L::D c) {
    if constexpr (Fused) {
        return L::fmadd(a, b, c);
    } else {
        return L::add(L::mul(a, b), c);
    }
}

// ------------------------------------------------------------ exp family

// x = k/32 + r for half the lanes: k sits in the low bits of ki.
template <class L>
struct ExpReduction {
    typename L::D r;
    typename L::DI ki;
};

// 2^x.  Adding the shift rounds x to a multiple of 1/32 in the current
// rounding mode and leaves k in the low mantissa bits.
template <class L>
inline ExpReduction<L> reduce_exp2(typename L::D xd) {
    auto shift = L::splat(tables::kExp2Shift);
    auto kd = L::add(xd, shift);
    auto ki = L::as_ints(kd);
    kd = L::sub(kd, shift);
    return {L::sub(xd, kd), ki};
}

// e^x = 2^(x * 32/ln2 / 32).  The FMA build fuses the scaling into both the
// rounding step and the remainder.
template <class L, bool Fused>
inline ExpReduction<L> reduce_exp(typename L::D xd) {
    auto shift = L::splat(tables::kExpShift);
    auto inv_ln2_n = L::splat(tables::kExpInvLn2N);
    if constexpr (Fused) {
        auto kd = L::fmadd(inv_ln2_n, xd, shift);
        auto ki = L::as_ints(kd);
        kd = L::sub(kd, shift);
        return {L::fmsub(inv_ln2_n, xd, kd), ki};
    } else {
        auto z = L::mul(inv_ln2_n, xd);
        auto kd = L::add(z, shift);
        auto ki = L::as_ints(kd);
        kd = L::sub(kd, shift);
        return {L::sub(z, kd), ki};
    }
}

// s * (C0 r^3 + C1 r^2 + C2 r + 1) with s = 2^(k/32).
template <class L, bool Fused>
inline typename L::D exp_polynomial(const ExpReduction<L>& e, const double* poly) {
    auto z = mul_add<L, Fused>(L::splat(poly[0]), e.r, L::splat(poly[1]));
    auto r2 = L::mul(e.r, e.r);
    auto y = mul_add<L, Fused>(L::splat(poly[2]), e.r, L::splat(1.0));
    y = mul_add<L, Fused>(z, r2, y);
    return L::mul(y, L::exp2_scale(e.ki));
}

// The common tail of expf, exp2f and powf.
template <class L, bool Fused>
inline typename L::F exp_finish(const ExpReduction<L>& lower, const ExpReduction<L>& upper,
                                const double* poly) {
    return L::to_float(exp_polynomial<L, Fused>(lower, poly), exp_polynomial<L, Fused>(upper, poly));
}

template <class L, bool Fused>
inline typename L::F expf_lanes(typename L::F x) {
    return exp_finish<L, Fused>(reduce_exp<L, Fused>(L::lower(x)), reduce_exp<L, Fused>(L::upper(x)),
                                tables::kExpPoly);
}

template <class L, bool Fused>
inline typename L::F exp2f_lanes(typename L::F x) {
    return exp_finish<L, Fused>(reduce_exp2<L>(L::lower(x)), reduce_exp2<L>(L::upper(x)),
                                tables::kExp2Poly);
}

// ------------------------------------------------------------ log family

// Half the lanes of x = 2^k z, widened to double, with their table rows.
template <class L>
struct LogHalf {
    typename L::D z;
    typename L::D k;
    typename L::D invc;
    typename L::D logc;
};

template <class L>
struct LogInputs {
    LogHalf<L> lower;
    LogHalf<L> upper;
};

// z in [0x3f330000, 2 * 0x3f330000) as a bit pattern; the index picks the
// subinterval of z (and so the table row).  Valid for positive normal x.
template <class L>
inline LogInputs<L> log_inputs(typename L::F x, const tables::LogTable& logc_table) {
    auto ix = L::as_ints(x);
    auto tmp = L::sub_u32(ix, L::splat_u32(tables::kLogOff));
    auto index = L::and_bits(L::shift_right_u32(tmp, 23 - 4), L::splat_u32(15));
    auto k = L::shift_right_i32(tmp, 23);
    auto z = L::as_floats(L::sub_u32(ix, L::and_bits(tmp, L::splat_u32(0xff800000))));
    auto invc = L::lookup16(tables::kLogInvCTable, index);
    auto logc = L::lookup16(logc_table, index);
    return {{L::lower(z), L::lower_i32(k), invc.lower, logc.lower},
            {L::upper(z), L::upper_i32(k), invc.upper, logc.upper}};
}

// log(x) = log1p(z/c - 1) + log(c) + k ln2.
template <class L, bool Fused>
inline typename L::D log_core(const LogHalf<L>& h) {
    using tables::kLogPoly;
    auto r = mul_add<L, Fused>(h.z, h.invc, L::splat(-1.0));
    auto y0 = mul_add<L, Fused>(h.k, L::splat(tables::kLogLn2), h.logc);
    auto r2 = L::mul(r, r);
    auto y = mul_add<L, Fused>(L::splat(kLogPoly[1]), r, L::splat(kLogPoly[2]));
    y = mul_add<L, Fused>(L::splat(kLogPoly[0]), r2, y);
    return mul_add<L, Fused>(y, r2, L::add(y0, r));
}

// log2(x) = log1p(z/c - 1)/ln2 + log2(c) + k, as powf computes it.  Even the
// FMA build adds log2(c) and k separately.
template <class L, bool Fused>
inline typename L::D log2_core(const LogHalf<L>& h) {
    using tables::kLog2Poly;
    auto r = mul_add<L, Fused>(h.z, h.invc, L::splat(-1.0));
    auto y0 = L::add(h.logc, h.k);
    auto r2 = L::mul(r, r);
    auto y = mul_add<L, Fused>(L::splat(kLog2Poly[0]), r, L::splat(kLog2Poly[1]));
    auto p = mul_add<L, Fused>(L::splat(kLog2Poly[2]), r, L::splat(kLog2Poly[3]));
    auto r4 = L::mul(r2, r2);
    auto q = mul_add<L, Fused>(L::splat(kLog2Poly[4]), r, y0);
    q = mul_add<L, Fused>(p, r2, q);
    return mul_add<L, Fused>(y, r4, q);
}

template <class L, bool Fused>
inline typename L::F logf_lanes(typename L::F x) {
    LogInputs<L> in = log_inputs<L>(x, tables::kLogLogCTable);
    return L::to_float(log_core<L, Fused>(in.lower), log_core<L, Fused>(in.upper));
}

// Lanes where powf leaves its main path because |y log2 x| >= 126 (the
// result may overflow or underflow).
template <class L>
inline typename L::Bits pow_out_of_range(typename L::D lower, typename L::D upper) {
    long long limit = static_cast<long long>(std::bit_cast<std::uint64_t>(126.0) >> 47);
    return L::top_bits_at_least(lower, limit) | (L::top_bits_at_least(upper, limit) << (L::kLanes / 2));
}

// x^y for a y that is finite and non-zero; lanes glibc treats specially are
// added to `special`.
template <class L, bool Fused>
inline typename L::F powf_lanes(typename L::F x, typename L::D yd, typename L::Bits& special) {
    special |= L::not_positive_normal(x);
    LogInputs<L> in = log_inputs<L>(x, tables::kLog2LogCTable);
    auto lower = L::mul(yd, log2_core<L, Fused>(in.lower));
    auto upper = L::mul(yd, log2_core<L, Fused>(in.upper));
    special |= pow_out_of_range<L>(lower, upper);
    return exp_finish<L, Fused>(reduce_exp2<L>(lower), reduce_exp2<L>(upper), tables::kExp2Poly);
}

// -------------------------------------------------------------- the loop

// Runs an operation over a span: a vector at a time through op.vector, then
// op.scalar (libm) for the flagged lanes and for the tail.  Because the
// vector result equals the scalar one bit for bit, where a span is split
// never shows in the output.
template <class L, class Op>
inline void run(const Op& op, const float* in, float* out, std::size_t n) {
    constexpr std::size_t kLanes = L::kLanes;
    std::size_t i = 0;
    for (; i + kLanes <= n; i += kLanes) {
        typename L::F x = L::load(in + i);
        typename L::Bits special = 0;
        typename L::F y = op.vector(x, special);
        L::store(out + i, y);
        if (special == 0) continue;
        // The inputs, kept: `out` may be `in`.
        alignas(64) float xs[kLanes];
        L::store(xs, x);
        for (; special != 0; special &= special - 1) {
            int lane = __builtin_ctz(special);
            out[i + lane] = op.scalar(xs[lane]);
        }
    }
    for (; i < n; ++i) out[i] = op.scalar(in[i]);
}

}  // namespace
}  // namespace velkor::simd
