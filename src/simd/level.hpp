#pragma once
// What the vector code may use in this process: the widest instruction set
// the CPU offers (capped by VELKOR_SIMD), and which of glibc's two x86-64
// builds of expf, exp2f, logf and powf it must reproduce.  Each operation
// built on them (encode/, tone/) then picks its own implementation with
// choose() (simd/choose.hpp), after a self-test of its own; the operations
// that only add and multiply (bw/, local_contrast/) take instruction_level().
namespace velkor::simd {

enum class Level { Scalar, Avx2, Avx512 };

// The widest instruction set the CPU offers, capped by VELKOR_SIMD.  Read
// once.
Level instruction_level();

// Read once.  VELKOR_SIMD=scalar|avx2|avx512 (for tests) lowers the level;
// it never raises it above what the CPU offers.  Scalar wherever the libm
// is not a glibc build we know: the vector code repeats glibc's algorithms.
Level allowed_level();

// True when glibc's FMA build is active (picked on CPUs with FMA and AVX2),
// whose compiler fused some multiply-adds; false for the SSE2 build.
bool fused_libm();

// "fma", "sse2", or "unknown" for any other libm.
const char* libm_build();

// "scalar", "avx2" or "avx512".
const char* level_name(Level level);

}  // namespace velkor::simd
