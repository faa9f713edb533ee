// The guided filter and local_contrast against the plain-loop reference.
#include <cmath>
#include <limits>
#include <string>

#include "guided_filter_reference.hpp"
#include "local_contrast/guided_filter.hpp"
#include "local_contrast/local_contrast.hpp"

using namespace velkor;

namespace {

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

ImageView image_of(const reference::Plane& p) {
    const auto row = static_cast<std::ptrdiff_t>(p.w);
    return {.origin = p.v.data(), .h = p.h, .w = p.w, .c = 1, .step = {row, 1, 1}, .c_contiguous = true};
}

std::vector<float> run(const ImageView& img, std::uint32_t r, float eps, float strength) {
    Result<OwnedImage> out = local_contrast(img, r, eps, strength);
    if (!out.ok()) {
        EXPECT(false, "unexpected error %s", out.error().message.c_str());
        return {};
    }
    const OwnedImage& o = out.value();
    EXPECT(o.h == img.h && o.w == img.w && o.c == 1, "shape");
    return std::vector<float>(o.pixels.data(), o.pixels.data() + o.h * o.w);
}

bool all_same(const std::vector<float>& got, const std::vector<float>& want) {
    if (got.size() != want.size()) return false;
    for (std::size_t i = 0; i < got.size(); ++i)
        if (!same_bits(got[i], want[i])) return false;
    return true;
}

// Structured content (a step edge and a ramp) under noise, so that windows
// see both flat and edged neighbourhoods.
reference::Plane test_image(std::size_t h, std::size_t w, std::uint32_t seed) {
    reference::Plane p = reference::random_plane(h, w, seed);
    for (std::size_t y = 0; y < h; ++y)
        for (std::size_t x = 0; x < w; ++x)
            p.v[y * w + x] = (x < w / 2 ? 0.2f : 0.8f) + 0.01f * float(y) + 0.05f * p.v[y * w + x];
    return p;
}

void matches_reference() {
    // Widths from 64 up give both clipped borders several vectors and a tail.
    const std::size_t sizes[][2] = {{1, 1}, {1, 4}, {4, 1}, {3, 5}, {9, 17}, {17, 8}, {24, 31}, {6, 64}, {5, 101}};
    const std::uint32_t radii[] = {0, 1, 2, 5, 13, 40, 4294967295u};
    const float epsilons[] = {0.01f, 0.0f, -0.002f, 1e-6f, kNaN, kInf};
    const float strengths[] = {1.0f, 0.0f, 2.0f, -0.75f};
    std::uint32_t seed = 10;
    for (auto [h, w] : sizes) {
        reference::Plane l = test_image(h, w, seed++);
        // Specials late in one image: every table entry after them is poisoned.
        if (h == 17) {
            l.v[0] = -0.0f;
            l.v[12 * w + 2] = kInf;
            l.v[h * w - 3] = kNaN;
        }
        for (std::uint32_t r : radii) {
            for (float eps : epsilons) {
                for (float strength : strengths) {
                    std::vector<float> want = reference::local_contrast(l.view(), r, eps, strength).v;
                    EXPECT(all_same(run(image_of(l), r, eps, strength), want),
                           "%zux%zu r=%u eps=%g strength=%g", h, w, r, eps, strength);
                }
            }
        }
    }
}

// The filter streams down the image in bands; no band height, radius or
// image height changes a bit of the result.
void bands_change_nothing() {
    std::uint32_t seed = 200;
    for (std::size_t h : {1, 3, 4, 5, 8, 13, 30}) {
        reference::Plane l = test_image(h, 7, seed++);
        for (std::size_t r : {0, 1, 2, 3, 5, 9, 29, 30, 31}) {
            for (double eps : {0.01, 0.0, -1e-3}) {
                std::vector<float> want = reference::guided_filter(l.view(), r, eps).v;
                for (std::size_t band : {1, 4, 8, 12, 64}) {
                    OwnedImage q = guided_filter(l.view(), r, eps, band);
                    std::vector<float> got(q.pixels.data(), q.pixels.data() + h * 7);
                    EXPECT(all_same(got, want), "h=%zu r=%zu eps=%g band=%zu", h, r, eps, band);
                }
            }
        }
    }
}

}  // namespace

int main() {
    matches_reference();
    bands_change_nothing();
    return finish("local_contrast_test");
}
