#include "local_contrast/local_contrast.hpp"

#include <bit>
#include <cstdint>
#include <string>

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

// q's storage becomes the output's, each pixel of q replaced by the output
// pixel made from it and from L's pixel at (`l_row` + y, `l_col` + x): no
// plane beside q is ever allocated.
void add_detail(OwnedImage& q, const PlaneView& luminance, std::size_t l_row, std::size_t l_col, float strength) {
    float* out_plane = q.pixels.data();
    const std::size_t w = q.w;
    parallel::for_blocks(q.h, w, [&](const parallel::Block& block) {
        for (std::size_t y = block.row_begin; y < block.row_end; ++y) {
            const float* l_pixels = luminance.row(l_row + y);
            float* row = out_plane + y * w;
            for (std::size_t x = block.col_begin; x < block.col_end; ++x) {
                const float l = l_pixels[static_cast<std::ptrdiff_t>(l_col + x) * luminance.col_step];
                float detail = l - row[x];
                detail = detail * strength;
                const float value = l + detail;
                row[x] = value == value ? value : kCanonicalNaN;
            }
        }
    });
}

InputCheck check_luminance(const ImageView& img) {
    if (img.c == 1) return {};
    return ShapeError{"local_contrast expects (H, W, 1) luminance input, got shape " + img.shape_text()};
}

}  // namespace

Result<OwnedImage> local_contrast(const ImageView& img, std::uint32_t radius, float eps,
                                  float strength) {
    if (InputCheck refused = check_luminance(img)) return *refused;
    const PlaneView luminance = img.channel(0);
    OwnedImage out = guided_filter(luminance, radius, static_cast<double>(eps));
    add_detail(out, luminance, 0, 0, strength);
    return out;
}

InputCheck check_local_contrast_piece(const ImageView& img, const FilterPiece& piece) {
    if (InputCheck refused = check_luminance(img)) return refused;
    const auto refused = [](const FilterSpan& span, const char* what, std::size_t got) -> InputCheck {
        if (span.first > span.end || span.end > span.extent) {
            return ShapeError{std::string(what) + " " + std::to_string(span.first) + " to " +
                              std::to_string(span.end) + " are not " + what + " of an image " +
                              std::to_string(span.extent) + " " + what + " across"};
        }
        const std::size_t wanted = span.luminance_end() - span.luminance_first();
        if (got == wanted) return {};
        return ShapeError{std::string(what) + " " + std::to_string(span.first) + " to " + std::to_string(span.end) +
                          " need the " + std::to_string(wanted) + " " + what + " from " +
                          std::to_string(span.luminance_first()) + ", got " + std::to_string(got)};
    };
    if (InputCheck rows = refused(piece.rows, "rows", img.h)) return rows;
    return refused(piece.columns, "columns", img.w);
}

Result<OwnedImage> local_contrast_piece(const ImageView& img, const FilterPiece& piece, float eps, float strength,
                                        const FilterCarry& carry) {
    if (InputCheck refused = check_local_contrast_piece(img, piece)) return *refused;
    const PlaneView luminance = img.channel(0);
    OwnedImage out = guided_filter_piece(luminance, piece, static_cast<double>(eps), carry);
    add_detail(out, luminance, piece.rows.first - piece.rows.luminance_first(),
               piece.columns.first - piece.columns.luminance_first(), strength);
    return out;
}

}  // namespace velkor
