// The span functions must return, element for element, the bits of the two
// scalar formulas evaluated with libm, whichever implementation each
// operation picks.
//
// Run without arguments, the test starts itself once per setting (default,
// each VELKOR_SIMD level, and glibc forced to its SSE2 build) and checks in
// each child which level both operations chose and that every result matches.
#include <sys/wait.h>
#if defined(__x86_64__)
#include <xmmintrin.h>
#endif
#include <unistd.h>

#include <bit>
#include <cfenv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "encode/srgb_span.hpp"
#include "simd/level.hpp"
#include "simd/self_test.hpp"
#include "tone/zone_curve_span.hpp"

namespace {

using velkor::simd::libm_build;

int failures = 0;

void fail(const std::string& what) {
    if (++failures <= 20) std::fprintf(stderr, "FAIL %s\n", what.c_str());
}

float from_bits(std::uint32_t b) { return std::bit_cast<float>(b); }
std::uint32_t to_bits(float x) { return std::bit_cast<std::uint32_t>(x); }

// Deterministic across platforms, unlike the standard distributions.
using velkor::simd::Random;

// ------------------------------------------------ references, written here

const float kZoneA[11] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
const float kZoneB[11] = {0.1f, -0.2f, 0.3f, 0.05f, -0.4f, 0.25f, 0.0f, -0.1f, 0.6f, -0.3f, 0.2f};

float srgb_reference(float x) {
    if (x <= from_bits(0x3B4D2E1C)) return x * from_bits(0x414EB852);
    float p = ::powf(x, from_bits(0x3ED55555));
    float scaled = p * from_bits(0x3F870A3D);
    return scaled + from_bits(0xBD6147AE);
}

float zone_reference(float x, const float* a, const float* b, std::size_t zones) {
    if (zones == 0) return x;
    float floor = from_bits(0x2EDBE6FF);
    float m = std::isnan(x) || x < floor ? floor : x;
    float z = ::logf(m) / from_bits(0x3F317218);
    z = z + 5.0f;
    z = z + from_bits(0x401E54E3);
    float s = 0.0f;
    for (std::size_t i = 0; i < zones; ++i) {
        float d = z - a[i];
        float q = (d * d) / from_bits(0xBFA3D70B);
        float w = ::expf(q);
        float bw = b[i] * w;
        s = s + bw;
    }
    return x * ::exp2f(s);
}

// ---------------------------------------------------- functions under test

struct Function {
    std::string name;
    std::function<void(const float*, float*, std::size_t)> span;
    std::function<float(float)> reference;
    // When a NaN x meets a NaN 2^s in the final x * 2^s, the hardware returns
    // the first operand's NaN, and which one is first is the compiler's
    // choice (the product commutes): any NaN is then accepted.
    bool either_nan = false;
};

Function zone_function(const std::string& name, std::vector<float> a, std::vector<float> b,
                       bool either_nan = false) {
    return {"zone_curve " + name,
            [a, b](const float* in, float* out, std::size_t n) {
                velkor::zone_curve::zone_curve_span(in, out, n, a.data(), b.data(), a.size());
            },
            [a, b](float x) { return zone_reference(x, a.data(), b.data(), a.size()); },
            either_nan};
}

std::vector<Function> functions() {
    std::vector<float> a(kZoneA, kZoneA + 11);
    std::vector<float> b(kZoneB, kZoneB + 11);
    return {
        {"encode_srgb", velkor::srgb::encode_span, srgb_reference},
        zone_function("11 zones", a, b),
    };
}

// Tables that push the zone curve into its rare paths: exp2f overflow and
// underflow of the sum, NaN and infinite entries, no entries at all.
std::vector<Function> unusual_zone_tables() {
    float inf = INFINITY;
    float nan = NAN;
    return {
        zone_function("empty", {}, {}),
        zone_function("huge gains", {0, 5, 10}, {200, -300, 150}),
        zone_function("far centres", {-40, 60}, {1, 1}),
        zone_function("nan centre", {nan, 2}, {1, 1}, true),
        zone_function("infinite gain", {3}, {inf}, true),
        zone_function("infinite centre", {-inf}, {1}),
    };
}

// ------------------------------------------------------------------ inputs

std::vector<float> edge_values() {
    std::vector<std::uint32_t> bits = {
        0x00000000, 0x80000000, 0x00000001, 0x80000001, 0x007fffff, 0x807fffff,
        0x00800000, 0x80800000, 0x3f800000, 0x3f7fffff, 0x3f800001, 0xbf800000,
        0x7f7fffff, 0xff7fffff, 0x7f800000, 0xff800000, 0x7fc00000, 0xffc00000,
        0x7fc12345, 0x7f812345, 0xff812345,        // quiet and signalling NaNs with payloads
        0x2edbe6ff, 0x2edbe6fe, 0x2edbe700,        // the zone curve's floor
        0x3f317218, 0x40000000, 0x3f000000,
    };
    for (std::uint32_t centre : {0x3B4D2E1Cu,    // sRGB threshold
                                 0x42b00000u,    // 88: expf leaves its main path
                                 0x42b17217u,    // expf overflow
                                 0xc2cff1b4u,    // expf underflow
                                 0xc2ce8ecfu,    // expf may-underflow
                                 0x4202422fu,    // where glibc's two builds differ
                                 0xc27c65d9u,
                                 0x43000000u, 0xc3000000u, 0xc3160000u, 0xc3150000u}) {
        for (int d = -2; d <= 2; ++d) {
            bits.push_back(centre + d);
            bits.push_back((centre + d) ^ 0x80000000u);
        }
    }
    // Where glibc's powf(x, 1/2.4) is not the correctly rounded power: only
    // libm's own rounding gives these bits.
    for (std::uint32_t b : {0x3B4D6D37u, 0x3B7DA16Eu, 0x3C3EE5F5u, 0x3CF19FF0u, 0x3DC1FF19u,
                            0x3E780D78u, 0x3F3A0461u, 0x3F889C1Cu, 0x5636C392u, 0x784D5B25u}) {
        bits.push_back(b);
    }
    // Where logf and powf switch table rows, in several binades.
    for (int k : {-125, -60, -1, 0, 1, 60, 126}) {
        for (std::uint32_t j = 0; j <= 16; ++j) {
            std::uint32_t boundary = 0x3f330000u + (j << 19) + static_cast<std::uint32_t>(k << 23);
            bits.push_back(boundary - 1);
            bits.push_back(boundary);
        }
    }
    std::vector<float> values;
    for (std::uint32_t b : bits) values.push_back(from_bits(b));
    return values;
}

std::vector<float> random_values(std::size_t n, std::uint64_t seed) {
    Random random{seed};
    std::vector<float> values(n);
    for (std::size_t i = 0; i < n; ++i) {
        switch (i % 4) {
            case 0: values[i] = std::bit_cast<float>(random.bits()); break;
            case 1: values[i] = random.uniform(0.0f, 1.0f); break;
            case 2: values[i] = random.uniform(-110.0f, 130.0f); break;
            default: values[i] = from_bits(0x2e000000u + random.bits() % 0x12000000u); break;
        }
    }
    return values;
}

// ------------------------------------------------------------------ checks

void compare(const Function& f, const std::vector<float>& in, const std::vector<float>& out,
             const std::string& where) {
    for (std::size_t i = 0; i < in.size(); ++i) {
        float want = f.reference(in[i]);
        if (f.either_nan && std::isnan(in[i]) && std::isnan(want) && std::isnan(out[i])) continue;
        if (to_bits(out[i]) != to_bits(want)) {
            char text[200];
            std::snprintf(text, sizeof text, "%s %s: x=%a (0x%08x) got 0x%08x want 0x%08x",
                          f.name.c_str(), where.c_str(), in[i], to_bits(in[i]), to_bits(out[i]),
                          to_bits(want));
            fail(text);
        }
    }
}

void check_values(const Function& f, const std::vector<float>& in, const std::string& where) {
    std::vector<float> out(in.size());
    f.span(in.data(), out.data(), in.size());
    compare(f, in, out, where);
}

// Every edge value in every lane position and in the tail.
void check_edges(const Function& f) {
    std::vector<float> values = edge_values();
    for (std::size_t shift = 0; shift < 9; ++shift) {
        std::vector<float> shifted(values.begin() + static_cast<long>(shift), values.end());
        shifted.insert(shifted.end(), values.begin(), values.begin() + static_cast<long>(shift));
        check_values(f, shifted, "edge values, shift " + std::to_string(shift));
    }
}

// Every length up to two vectors, at several misalignments, out of place and
// in place, with a sentinel after the end that must survive.
void check_tails(const Function& f) {
    const float sentinel = from_bits(0x7fc0dead);
    std::vector<float> source = random_values(64, 7);
    for (std::size_t offset = 0; offset < 4; ++offset) {
        for (std::size_t n = 0; n <= 17; ++n) {
            std::vector<float> in(source.begin(), source.begin() + static_cast<long>(n));
            std::vector<float> out_buffer(offset + n + 1, 0.0f);
            float* out = out_buffer.data() + offset;
            out[n] = sentinel;
            std::vector<float> in_buffer(offset + n);
            std::copy(in.begin(), in.end(), in_buffer.begin() + static_cast<long>(offset));
            f.span(in_buffer.data() + offset, out, n);
            std::string where = "n=" + std::to_string(n) + " offset=" + std::to_string(offset);
            compare(f, in, std::vector<float>(out, out + n), where);
            if (to_bits(out[n]) != to_bits(sentinel)) fail(f.name + " wrote past the end, " + where);

            std::vector<float> in_place(in_buffer);
            f.span(in_place.data() + offset, in_place.data() + offset, n);
            compare(f, in, std::vector<float>(in_place.begin() + static_cast<long>(offset), in_place.end()),
                    "in place " + where);
        }
    }
}

int run_checks(std::size_t random_count) {
    std::printf("levels=%s/%s build=%s\n", velkor::srgb::encode_level(), velkor::zone_curve::zone_curve_level(),
                libm_build());
    for (const Function& f : functions()) {
        check_edges(f);
        check_tails(f);
        check_values(f, random_values(random_count, 12345), "random sample");
    }
    for (const Function& f : unusual_zone_tables()) {
        check_edges(f);
        check_values(f, random_values(4096, 99), "random sample");
    }
    // The algorithms round in the caller's mode (the shift trick, the final
    // conversion, glibc's underflow products); the vector code must too.
    for (int mode : {FE_DOWNWARD, FE_UPWARD, FE_TOWARDZERO}) {
        std::fesetround(mode);
        std::string where = "rounding mode " + std::to_string(mode);
        for (const Function& f : functions()) {
            check_edges(f);
            check_values(f, random_values(100'000, 777), where);
        }
        std::fesetround(FE_TONEAREST);
    }
#if defined(__x86_64__)
    // Another library in the process may have turned on flush-to-zero and
    // denormals-are-zero; libm then flushes, and so must the vector code.
    unsigned int csr = _mm_getcsr();
    _mm_setcsr(csr | 0x8040);
    for (const Function& f : functions()) {
        check_edges(f);
        check_values(f, random_values(100'000, 4242), "flush to zero");
    }
    _mm_setcsr(csr);
#endif
    std::fflush(stdout);
    return failures == 0 ? 0 : 1;
}

// ---------------------------------------------------- one child per setting

struct Setting {
    const char* simd;        // VELKOR_SIMD, or nullptr
    const char* tunables;    // GLIBC_TUNABLES, or nullptr
    const char* want_level;  // the level both operations should choose on an AVX2 machine with glibc
    const char* want_build;
};

// The widest level the CPU offers: "avx512", "avx2" or "scalar".
const char* cpu_level() {
#if defined(__x86_64__)
    __builtin_cpu_init();
    if (!__builtin_cpu_supports("avx2") || !__builtin_cpu_supports("fma")) return "scalar";
    return __builtin_cpu_supports("avx512f") ? "avx512" : "avx2";
#else
    return "scalar";
#endif
}

int run_child(const char* self, const Setting& s, std::size_t random_count) {
    pid_t pid = fork();
    if (pid == 0) {
        if (s.simd) setenv("VELKOR_SIMD", s.simd, 1); else unsetenv("VELKOR_SIMD");
        if (s.tunables) setenv("GLIBC_TUNABLES", s.tunables, 1); else unsetenv("GLIBC_TUNABLES");
        std::string count = std::to_string(random_count);
        std::string want = std::string(s.want_level) + ":" + s.want_build;
        execl(self, self, "--child", count.c_str(), want.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 4 && std::strcmp(argv[1], "--child") == 0) {
        std::string want = argv[3];
        std::string got = std::string(velkor::srgb::encode_level()) + ":" + libm_build();
        std::string zone_level = velkor::zone_curve::zone_curve_level();
        if (got != zone_level + ":" + libm_build()) got += " (zone curve " + zone_level + ")";
        bool predictable = want.find('?') == std::string::npos;
        if (predictable && got != want) fail("dispatch chose " + got + ", expected " + want);
        int result = run_checks(std::strtoull(argv[2], nullptr, 10));
        return failures == 0 ? result : 1;
    }
    // On a glibc x86-64 machine with AVX2 the choice is known in advance (a
    // CPU with AVX-512 must get the AVX-512 set: falling back to AVX2 means
    // it failed its self-test); elsewhere only bit identity is checked ("?").
#if defined(__GLIBC__) && defined(__x86_64__)
    std::string widest = cpu_level();
#else
    std::string widest = "?";
#endif
    bool known = widest == "avx2" || widest == "avx512";
    const char* vector = known ? widest.c_str() : "?";
    const char* avx2 = known ? "avx2" : "?";
    const char* fma_build = known ? "fma" : "?";
    const char* sse2_build = known ? "sse2" : "?";
    const Setting settings[] = {
        {nullptr, nullptr, vector, fma_build},
        {"scalar", nullptr, "scalar", fma_build},
        {"avx2", nullptr, avx2, fma_build},
        {"avx512", nullptr, vector, fma_build},
        {nullptr, "glibc.cpu.hwcaps=-AVX2", vector, sse2_build},
    };
    int status = 0;
    for (const Setting& s : settings) {
        // The large random sample once per kernel set; the rest see fewer.
        bool full = s.simd == nullptr;
        std::printf("VELKOR_SIMD=%s GLIBC_TUNABLES=%s: ", s.simd ? s.simd : "",
                    s.tunables ? s.tunables : "");
        std::fflush(stdout);
        if (run_child("/proc/self/exe", s, full ? 10'000'000 : 100'000) != 0) status = 1;
    }
    return status;
}
