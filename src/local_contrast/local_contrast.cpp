#include "local_contrast/local_contrast.hpp"

#include "local_contrast/guided_filter.hpp"
#include "parallel/parallel.hpp"

namespace velkor {

Result<OwnedImage> local_contrast(const ImageView& img, std::uint32_t radius, float eps,
                                  float strength) {
    if (img.c != 1) {
        return VelkorError{"local_contrast expects (H, W, 1) luminance input, got shape " +
                           img.shape_text()};
    }
    const PlaneView luminance = img.channel(0);
    // The output takes over q's storage, each pixel of q replaced by the
    // output pixel made from it: no plane beside q is ever allocated.
    OwnedImage out = guided_filter(luminance, radius, static_cast<double>(eps));
    float* out_plane = out.pixels.data();
    parallel::for_blocks(img.h, img.w, parallel::Layout::RowMajor, [&](const parallel::Block& block) {
        for (std::size_t y = block.row_begin; y < block.row_end; ++y) {
            const float* l_row = luminance.row(y);
            float* row = out_plane + y * img.w;
            for (std::size_t x = block.col_begin; x < block.col_end; ++x) {
                const float l = l_row[static_cast<std::ptrdiff_t>(x) * luminance.col_step];
                float detail = l - row[x];
                detail = detail * strength;
                row[x] = l + detail;
            }
        }
    });
    return out;
}

}  // namespace velkor
