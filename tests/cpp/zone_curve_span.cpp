// zone_curve_span must agree bit for bit with curve_value at every length and
// alignment, and write nothing past its end: a vectorised span has a body,
// a tail and possibly a misaligned head, and each must give the same bits.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <vector>

#include "tone/zone_curve.hpp"

namespace {

constexpr std::uint32_t kSentinel = 0x7FC0DEADu;

std::vector<float> test_values(std::size_t count) {
    std::vector<float> values;
    const float specials[] = {0.0f, -0.0f, -1.0f, INFINITY, -INFINITY, NAN, 1e-10f, 1e-45f, 3.4e38f, 0.18f};
    for (std::size_t i = 0; i < count; ++i) {
        if (i % 7 == 3) {
            values.push_back(specials[(i / 7) % std::size(specials)]);
        } else {
            // Stops from about -30 to +30 around middle grey.
            values.push_back(0.18f * std::exp2(static_cast<float>(i * 37 % 61) - 30.0f + 0.173f * i));
        }
    }
    return values;
}

int check_span(std::size_t n, std::size_t shift, const std::vector<float>& zones, const std::vector<float>& offsets) {
    std::vector<float> in(n + shift + 1);
    std::vector<float> values = test_values(n);
    std::copy(values.begin(), values.end(), in.begin() + shift);
    std::vector<float> out(n + shift + 1, std::bit_cast<float>(kSentinel));
    velkor::zone_curve::zone_curve_span(in.data() + shift, out.data() + shift, n, zones.data(), offsets.data(),
                                        zones.size());
    int failures = 0;
    for (std::size_t i = 0; i < n; ++i) {
        float expected = velkor::zone_curve::curve_value(values[i], zones.data(), offsets.data(), zones.size());
        if (std::bit_cast<std::uint32_t>(out[shift + i]) != std::bit_cast<std::uint32_t>(expected)) {
            std::printf("n=%zu shift=%zu zones=%zu i=%zu: x=%a got %a want %a\n", n, shift, zones.size(), i,
                        values[i], out[shift + i], expected);
            ++failures;
        }
    }
    if (std::bit_cast<std::uint32_t>(out[shift + n]) != kSentinel) {
        std::printf("n=%zu shift=%zu: wrote past the end\n", n, shift);
        ++failures;
    }
    return failures;
}

}  // namespace

int main() {
    int failures = 0;
    for (std::size_t zone_count : {1u, 3u, 11u, 13u}) {
        std::vector<float> zones, offsets;
        for (std::size_t k = 0; k < zone_count; ++k) {
            zones.push_back(static_cast<float>(k) - 1.0f);
            offsets.push_back(0.37f * (static_cast<float>(k) - 4.5f));
        }
        for (std::size_t n = 0; n <= 40; ++n) {
            for (std::size_t shift = 0; shift < 4; ++shift) failures += check_span(n, shift, zones, offsets);
        }
    }
    if (failures != 0) std::printf("%d mismatches\n", failures);
    return failures == 0 ? 0 : 1;
}
