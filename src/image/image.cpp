#include "image/image.hpp"

#include <new>

namespace velkor {

std::string ImageView::shape_text() const {
    return "[" + std::to_string(h) + ", " + std::to_string(w) + ", " + std::to_string(c) + "]";
}

static std::size_t element_count(std::size_t h, std::size_t w, std::size_t c) {
    std::size_t hw = 0, n = 0;
    if (__builtin_mul_overflow(h, w, &hw) || __builtin_mul_overflow(hw, c, &n)) throw std::bad_alloc();
    return n;
}

OwnedImage OwnedImage::uninitialized(std::size_t h, std::size_t w, std::size_t c) {
    return {Buffer<float>::uninitialized(element_count(h, w, c)), h, w, c};
}

}  // namespace velkor
