#pragma once
// The two image types every kernel shares: a read-only strided view of the
// caller's (H, W, C) float32 array, and an owned row-major result.
#include <cstddef>
#include <string>

#include "image/buffer.hpp"

namespace velkor {

// H x W single-precision plane read through element steps of any sign
// (zero included, for broadcast arrays).
struct PlaneView {
    const float* origin = nullptr;  // element (0, 0)
    std::size_t rows = 0, cols = 0;
    std::ptrdiff_t row_step = 0, col_step = 0;

    float at(std::size_t y, std::size_t x) const {
        return origin[static_cast<std::ptrdiff_t>(y) * row_step +
                      static_cast<std::ptrdiff_t>(x) * col_step];
    }
    const float* row(std::size_t y) const {
        return origin + static_cast<std::ptrdiff_t>(y) * row_step;
    }
};

// (H, W, C) view in NumPy's logical index order: `origin` is element
// (0, 0, 0) and the steps are signed element counts, so a reversed axis is
// just a negative step.  The view is never written through.
struct ImageView {
    const float* origin = nullptr;
    std::size_t h = 0, w = 0, c = 0;
    std::ptrdiff_t step[3] = {0, 0, 0};
    // NumPy's C-contiguity of the caller's array, judged on its byte strides.
    // Kept separately because the frame may hand the kernel an aligned copy.
    bool c_contiguous = false;

    std::size_t count() const { return h * w * c; }
    float at(std::size_t y, std::size_t x, std::size_t k) const {
        return origin[static_cast<std::ptrdiff_t>(y) * step[0] +
                      static_cast<std::ptrdiff_t>(x) * step[1] +
                      static_cast<std::ptrdiff_t>(k) * step[2]];
    }
    PlaneView channel(std::size_t k) const {
        return {origin + static_cast<std::ptrdiff_t>(k) * step[2], h, w, step[0], step[1]};
    }
    // "[H, W, C]", as error messages show a shape.
    std::string shape_text() const;
};

// A kernel's result: H x W x C floats in row-major order, channel fastest.
struct OwnedImage {
    Buffer<float> pixels;
    std::size_t h = 0, w = 0, c = 0;

    static OwnedImage uninitialized(std::size_t h, std::size_t w, std::size_t c);
};

}  // namespace velkor
