#pragma once
// Constants of glibc's single-precision expf, exp2f, logf and powf.
//
// The vector kernels must return the very bits the platform libm returns, so
// they evaluate the same algorithms with the same constants.  The values are
// data taken from ARM's optimized-routines (math/exp2f_data.c,
// math/logf_data.c, math/powf_log2_data.c; MIT licence, Copyright (c) Arm
// Limited), which glibc carries unchanged in sysdeps/ieee754/flt-32.  They
// were checked against the tables in Debian 12's libm.so.6 (glibc 2.36).
#include <bit>
#include <cstdint>

namespace velkor::simd::tables {

// 2^(i/32) with i << 47 subtracted from its bit pattern, so adding k << 47
// for k = 32*e + i yields 2^(k/32) directly.
alignas(64) inline constexpr std::uint64_t kExp2[32] = {
    0x3ff0000000000000, 0x3fefd9b0d3158574, 0x3fefb5586cf9890f, 0x3fef9301d0125b51,
    0x3fef72b83c7d517b, 0x3fef54873168b9aa, 0x3fef387a6e756238, 0x3fef1e9df51fdee1,
    0x3fef06fe0a31b715, 0x3feef1a7373aa9cb, 0x3feedea64c123422, 0x3feece086061892d,
    0x3feebfdad5362a27, 0x3feeb42b569d4f82, 0x3feeab07dd485429, 0x3feea47eb03a5585,
    0x3feea09e667f3bcd, 0x3fee9f75e8ec5f74, 0x3feea11473eb0187, 0x3feea589994cce13,
    0x3feeace5422aa0db, 0x3feeb737b0cdc5e5, 0x3feec49182a3f090, 0x3feed503b23e255d,
    0x3feee89f995ad3ad, 0x3feeff76f2fb5e47, 0x3fef199bdd85529c, 0x3fef3720dcef9069,
    0x3fef5818dcfba487, 0x3fef7c97337b9b5f, 0x3fefa4afa2a490da, 0x3fefd0765b6e4540,
};

// exp2f: x = k/32 + r, 2^r ~= C0 r^3 + C1 r^2 + C2 r + 1.
inline constexpr double kExp2Shift = 0x1.8p+52 / 32;  // rounds to a multiple of 1/32
inline constexpr double kExp2Poly[3] = {
    0x1.c6af84b912394p-5, 0x1.ebfce50fac4f3p-3, 0x1.62e42ff0c52d6p-1};

// expf: x * 32/ln2 = k + r; the same polynomial rescaled for r in units of 1/32.
inline constexpr double kExpShift = 0x1.8p+52;  // rounds to an integer
inline constexpr double kExpInvLn2N = 0x1.71547652b82fep+0 * 32;
inline constexpr double kExpPoly[3] = {
    0x1.c6af84b912394p-5 / 32 / 32 / 32, 0x1.ebfce50fac4f3p-3 / 32 / 32,
    0x1.62e42ff0c52d6p-1 / 32};

// logf: x = 2^k z, log(x) = log1p(z/c - 1) + log(c) + k ln2 with c picked by
// the top mantissa bits of z.
alignas(64) inline constexpr double kLogInvC[16] = {
    0x1.661ec79f8f3bep+0, 0x1.571ed4aaf883dp+0, 0x1.49539f0f010bp+0, 0x1.3c995b0b80385p+0,
    0x1.30d190c8864a5p+0, 0x1.25e227b0b8eap+0,  0x1.1bb4a4a1a343fp+0, 0x1.12358f08ae5bap+0,
    0x1.0953f419900a7p+0, 0x1p+0,               0x1.e608cfd9a47acp-1, 0x1.ca4b31f026aap-1,
    0x1.b2036576afce6p-1, 0x1.9c2d163a1aa2dp-1, 0x1.886e6037841edp-1, 0x1.767dcf5534862p-1,
};
alignas(64) inline constexpr double kLogLogC[16] = {
    -0x1.57bf7808caadep-2, -0x1.2bef0a7c06ddbp-2, -0x1.01eae7f513a67p-2, -0x1.b31d8a68224e9p-3,
    -0x1.6574f0ac07758p-3, -0x1.1aa2bc79c81p-3,   -0x1.a4e76ce8c0e5ep-4, -0x1.1973c5a611cccp-4,
    -0x1.252f438e10c1ep-5, 0x0p+0,                0x1.aa5aa5df25984p-5,  0x1.c5e53aa362eb4p-4,
    0x1.526e57720db08p-3,  0x1.bc2860d22477p-3,   0x1.1058bc8a07ee1p-2,  0x1.4043057b6ee09p-2,
};
inline constexpr double kLogLn2 = 0x1.62e42fefa39efp-1;
inline constexpr double kLogPoly[3] = {
    -0x1.00ea348b88334p-2, 0x1.5575b0be00b6ap-2, -0x1.ffffef20a4123p-2};

// powf's log2: same reduction as logf (same 1/c), log2(c) and a degree-5
// polynomial for log1p(r)/ln2.
alignas(64) inline constexpr double kLog2LogC[16] = {
    -0x1.efec65b963019p-2, -0x1.b0b6832d4fca4p-2, -0x1.7418b0a1fb77bp-2, -0x1.39de91a6dcf7bp-2,
    -0x1.01d9bf3f2b631p-2, -0x1.97c1d1b3b7afp-3,  -0x1.2f9e393af3c9fp-3, -0x1.960cbbf788d5cp-4,
    -0x1.a6f9db6475fcep-5, 0x0p+0,                0x1.338ca9f24f53dp-4,  0x1.476a9543891bap-3,
    0x1.e840b4ac4e4d2p-3,  0x1.40645f0c6651cp-2,  0x1.88e9c2c1b9ff8p-2,  0x1.ce0a44eb17bccp-2,
};
inline constexpr double kLog2Poly[5] = {
    0x1.27616c9496e0bp-2, -0x1.71969a075c67ap-2, 0x1.ec70a6ca7baddp-2,
    -0x1.7154748bef6c8p-1, 0x1.71547652ab82bp0};

// Both log reductions centre the mantissa range on this bit pattern.
inline constexpr std::uint32_t kLogOff = 0x3f330000;

// A 16-entry table as doubles and as its doubles' low and high 32-bit words:
// eight lanes are looked up in the words with register permutes, faster
// than gathers on AVX2.  Lookups are exact however they are done.
struct LogTable {
    alignas(64) double value[16];
    alignas(32) std::uint32_t low[16];
    alignas(32) std::uint32_t high[16];
};

constexpr LogTable log_table(const double (&table)[16]) {
    LogTable t{};
    for (int i = 0; i < 16; ++i) {
        std::uint64_t bits = std::bit_cast<std::uint64_t>(table[i]);
        t.value[i] = table[i];
        t.low[i] = static_cast<std::uint32_t>(bits);
        t.high[i] = static_cast<std::uint32_t>(bits >> 32);
    }
    return t;
}

inline constexpr LogTable kLogInvCTable = log_table(kLogInvC);
inline constexpr LogTable kLogLogCTable = log_table(kLogLogC);
inline constexpr LogTable kLog2LogCTable = log_table(kLog2LogC);

}  // namespace velkor::simd::tables
