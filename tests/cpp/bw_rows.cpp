// The row loops of the RGB weighted sum, at every instruction set the CPU
// offers: every length from 0 past two vector widths, at several
// misalignments of input and output, must match a scalar reference bit for
// bit and write nothing outside their outputs.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <string>
#include <vector>

#include "bw/weighted_sum_rows.hpp"
#include "check.hpp"
#include "simd/level.hpp"

namespace {

using velkor::ChannelWeights;

constexpr float kSentinel = -12345.0f;
constexpr std::size_t kMaxLength = 40;

// Built with -ffp-contract=off: five roundings, in this order.
float reference(float r, float g, float b, ChannelWeights w) { return (r * w.r + g * w.g) + b * w.b; }

// Deterministic values of both signs and many magnitudes.
std::vector<float> sample(std::size_t count) {
    std::vector<float> values(count);
    std::uint32_t state = 12345;
    for (float& v : values) {
        state = state * 1664525u + 1013904223u;
        v = static_cast<float>(static_cast<std::int32_t>(state)) * 1e-9f * static_cast<float>(1 + (state >> 28));
    }
    return values;
}

// Where a row was computed, for the failure message.
struct Case {
    const char* form;
    std::size_t n, input_offset, output_shift;
};

// `out` has a sentinel just before its first and just after its last output.
void expect_row(const Case& c, const float* out, const std::vector<float>& expected) {
    bool same = true;
    for (std::size_t i = 0; i < c.n; ++i) same = same && std::bit_cast<std::uint32_t>(out[i]) == std::bit_cast<std::uint32_t>(expected[i]);
    EXPECT(same && out[-1] == kSentinel && out[c.n] == kSentinel, "%s: n=%zu offset=%zu shift=%zu", c.form, c.n,
           c.input_offset, c.output_shift);
}

// Packed rows written at each of the eight float positions of a 32-byte
// line, through the cache and around it: streaming stores need an aligned
// address, so a row starting elsewhere takes a different path to it.
void check_packed(const velkor::WeightedSumRows& rows, const char* form, const float* pixels, velkor::ChannelOrder order, std::size_t n,
                  std::size_t offset, ChannelWeights w, const std::vector<float>& expected) {
    std::vector<float> line(n + 48);
    float* aligned = line.data() + 16 - reinterpret_cast<std::uintptr_t>(line.data()) % 64 / sizeof(float);
    for (velkor::RowStores stores : {velkor::RowStores::Cached, velkor::RowStores::Streaming}) {
        for (std::size_t shift = 0; shift < 16; ++shift) {
            std::fill(line.begin(), line.end(), kSentinel);
            rows.packed_row(pixels, order, aligned + shift, n, w, stores);
            const std::string label = std::string(form) + (stores == velkor::RowStores::Streaming ? ", streaming" : "");
            expect_row({label.c_str(), n, offset, shift}, aligned + shift, expected);
        }
    }
}

void check(const velkor::WeightedSumRows& rows, std::size_t n, std::size_t offset, ChannelWeights w) {
    const std::vector<float> data = sample(3 * (kMaxLength + 8));
    const float* rgb = data.data() + offset;
    std::vector<float> expected(n);
    for (std::size_t i = 0; i < n; ++i) expected[i] = reference(rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2], w);

    check_packed(rows, "packed", rgb, velkor::ChannelOrder::Rgb, n, offset, w, expected);

    std::vector<float> bgr(3 * n);
    for (std::size_t i = 0; i < 3 * n; ++i) bgr[i] = rgb[i - i % 3 + 2 - i % 3];
    check_packed(rows, "packed bgr", bgr.data(), velkor::ChannelOrder::Bgr, n, offset, w, expected);

    std::vector<float> out(n + 2, kSentinel);
    rows.planes(rgb, rgb + 1, rgb + 2, 3, out.data() + 1, n, w);
    expect_row({"strided", n, offset, 0}, out.data() + 1, expected);

    // The same pixels as three planes.
    std::vector<float> planes(3 * n);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t k = 0; k < 3; ++k) planes[k * n + i] = rgb[3 * i + k];
    }
    out.assign(n + 2, kSentinel);
    rows.planes(planes.data(), planes.data() + n, planes.data() + 2 * n, 1, out.data() + 1, n, w);
    expect_row({"planar", n, offset, 0}, out.data() + 1, expected);
}

}  // namespace

int main() {
    const ChannelWeights weights[] = {{0.2126f, 0.7152f, 0.0722f}, {-1.5f, 3.25f, 1e-3f}};
    const velkor::simd::Level widest = velkor::simd::instruction_level();
    const velkor::WeightedSumRows* levels[] = {velkor::kWeightedSumVariants.scalar, velkor::kWeightedSumVariants.avx2,
                                               velkor::kWeightedSumVariants.avx512};
    for (int level = 0; level <= static_cast<int>(widest); ++level) {
        for (const ChannelWeights& w : weights) {
            for (std::size_t n = 0; n <= kMaxLength; ++n) {
                for (std::size_t offset = 0; offset < 4; ++offset) check(*levels[level], n, offset, w);
            }
        }
    }
    return finish("bw_rows");
}
