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
    // The filter's working planes are gone once it returns; only q is left
    // beside the output.
    const OwnedImage filtered = guided_filter(luminance, radius, static_cast<double>(eps));
    OwnedImage out = OwnedImage::uninitialized(img.h, img.w, 1);
    const PlaneView q = filtered.channel_view(0);
    float* out_plane = out.pixels.data();
    parallel::for_blocks(img.h, img.w, parallel::Layout::RowMajor, [&](const parallel::Block& block) {
        for (std::size_t y = block.row_begin; y < block.row_end; ++y) {
            const float* l_row = luminance.row(y);
            const float* q_row = q.row(y);
            float* out_row = out_plane + y * img.w;
            for (std::size_t x = block.col_begin; x < block.col_end; ++x) {
                const float l = l_row[static_cast<std::ptrdiff_t>(x) * luminance.col_step];
                float detail = l - q_row[x];
                detail = detail * strength;
                out_row[x] = l + detail;
            }
        }
    });
    return out;
}

}  // namespace velkor
