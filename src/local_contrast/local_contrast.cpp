#include "local_contrast/local_contrast.hpp"

#include <bit>
#include <cstdint>

#include "local_contrast/guided_filter.hpp"
#include "parallel/parallel.hpp"

// Every NaN of the output is the one quiet NaN 0x7fc00000 (NumPy's np.nan
// as float32).  The summed-area tables carry a NaN into every window below
// and to the right of it, where it meets other NaNs, and when two NaNs meet
// in an addition x86 keeps the first operand's payload and sign.  Compilers
// treat addition as commutative and order the operands as they please, in
// each copy of a loop (one pixel or four at a time, baseline or AVX2), so
// which NaN survives would depend on the instruction set and on where the
// work was split.  Everything but the NaN payloads is a function of the
// values alone, so with the NaNs made canonical the result is the same bits
// for any thread count, split, instruction set and run.
namespace velkor {
namespace {

const float kCanonicalNaN = std::bit_cast<float>(std::uint32_t{0x7fc00000});

}  // namespace

Result<OwnedImage> local_contrast(const ImageView& img, std::uint32_t radius, float eps,
                                  float strength) {
    if (img.c != 1) {
        return ShapeError{"local_contrast expects (H, W, 1) luminance input, got shape " +
                           img.shape_text()};
    }
    const PlaneView luminance = img.channel(0);
    // The output takes over q's storage, each pixel of q replaced by the
    // output pixel made from it: no plane beside q is ever allocated.
    OwnedImage out = guided_filter(luminance, radius, static_cast<double>(eps));
    float* out_plane = out.pixels.data();
    parallel::for_blocks(img.h, img.w, [&](const parallel::Block& block) {
        for (std::size_t y = block.row_begin; y < block.row_end; ++y) {
            const float* l_row = luminance.row(y);
            float* row = out_plane + y * img.w;
            for (std::size_t x = block.col_begin; x < block.col_end; ++x) {
                const float l = l_row[static_cast<std::ptrdiff_t>(x) * luminance.col_step];
                float detail = l - row[x];
                detail = detail * strength;
                const float value = l + detail;
                row[x] = value == value ? value : kCanonicalNaN;
            }
        }
    });
    return out;
}

}  // namespace velkor
