#pragma once
#include <cstdint>

namespace velkor {

// The two parameters of the guided filter behind local_contrast, as the
// Python class GuidedFilterParams holds them.  Any values are accepted:
// what a radius of 0 or a zero, negative or NaN eps does is the filter's
// business.
struct GuidedFilterParams {
    std::uint32_t radius = 0;  // window half-size in pixels
    float eps = 0.0f;          // regularisation term
};

}  // namespace velkor
