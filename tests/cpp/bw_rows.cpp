// The row loops of the RGB weighted sum: every length from 0 past two vector
// widths, at several misalignments, must match a scalar reference bit for
// bit and write nothing past its last output.
#include <bit>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "bw/weighted_sum_rows.hpp"

namespace {

using velkor::ChannelWeights;

constexpr float kSentinel = -12345.0f;
constexpr std::size_t kMaxLength = 40;
int failures = 0;

float reference(float r, float g, float b, ChannelWeights w) {
    float red = r * w.r;
    float green = g * w.g;
    float blue = b * w.b;
    return (red + green) + blue;
}

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

void expect_row(const char* form, const std::vector<float>& out, std::size_t n, std::size_t offset,
                const std::vector<float>& expected) {
    for (std::size_t i = 0; i < n; ++i) {
        if (std::bit_cast<std::uint32_t>(out[i]) != std::bit_cast<std::uint32_t>(expected[i])) {
            std::printf("%s: n=%zu offset=%zu pixel %zu differs\n", form, n, offset, i);
            ++failures;
            return;
        }
    }
    if (out[n] != kSentinel) {
        std::printf("%s: n=%zu offset=%zu wrote past the end\n", form, n, offset);
        ++failures;
    }
}

void check(std::size_t n, std::size_t offset, ChannelWeights w) {
    const std::vector<float> data = sample(3 * (kMaxLength + 8));
    const float* rgb = data.data() + offset;
    std::vector<float> expected(n);
    for (std::size_t i = 0; i < n; ++i) expected[i] = reference(rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2], w);

    std::vector<float> out(n + 1, kSentinel);
    velkor::weighted_sum_packed_row(rgb, velkor::ChannelOrder::Rgb, out.data(), n, w);
    expect_row("packed", out, n, offset, expected);

    std::vector<float> bgr(3 * n);
    for (std::size_t i = 0; i < 3 * n; ++i) bgr[i] = rgb[i - i % 3 + 2 - i % 3];
    out.assign(n + 1, kSentinel);
    velkor::weighted_sum_packed_row(bgr.data(), velkor::ChannelOrder::Bgr, out.data(), n, w);
    expect_row("packed bgr", out, n, offset, expected);

    out.assign(n + 1, kSentinel);
    velkor::weighted_sum_strided_row(rgb, 3, 1, out.data(), n, w);
    expect_row("strided", out, n, offset, expected);

    // The same pixels as three planes.
    std::vector<float> planes(3 * n);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t k = 0; k < 3; ++k) planes[k * n + i] = rgb[3 * i + k];
    }
    out.assign(n + 1, kSentinel);
    velkor::weighted_sum_planar_row(planes.data(), planes.data() + n, planes.data() + 2 * n, out.data(), n, w);
    expect_row("planar", out, n, offset, expected);
}

}  // namespace

int main() {
    const ChannelWeights weights[] = {{0.2126f, 0.7152f, 0.0722f}, {-1.5f, 3.25f, 1e-3f}};
    for (const ChannelWeights& w : weights) {
        for (std::size_t n = 0; n <= kMaxLength; ++n) {
            for (std::size_t offset = 0; offset < 4; ++offset) check(n, offset, w);
        }
    }
    if (failures != 0) std::printf("%d failures\n", failures);
    return failures == 0 ? 0 : 1;
}
