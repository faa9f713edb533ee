#include "local_contrast/guided_filter.hpp"

#include <algorithm>
#include <array>

#include "error/internal_failure.hpp"
#include "image/buffer.hpp"
#include "local_contrast/row_windows.hpp"
#include "local_contrast/summed_area_table.hpp"
#include "local_contrast/table_sweep.hpp"
#include "parallel/parallel.hpp"

// The filter streams down the image in bands of rows.  For each band it
// extends the tables of L and L*L as far as the band's windows reach, fits
// the coefficients a and b of the band, extends the tables of a and b by the
// band, and finishes the rows of q whose windows those tables now cover.
// Tables keep only the rows that later windows still read, so the working
// memory is about 4 * 8 * (band + 2r) bytes per column instead of 64 bytes
// per pixel, and mostly stays in cache between being written and read.
// Every value is computed by the same operations on the same operands as
// the plain sequence of whole-image passes, so the result is identical.
namespace velkor {
namespace {

using table_sweep::TableBuilder;
constexpr std::size_t kBandRows = TableBuilder<2>::kBandRows;

std::size_t round_up(std::size_t n, std::size_t multiple) {
    return (n + multiple - 1) / multiple * multiple;
}

// Enough pixels per band that starting the parallel loops is worth it, few
// enough that the kept rows of small radii stay in the last-level cache.
// On 24 megapixels, 2^17 to 2^18 pixels per band measured best; 2^21 is
// about 35% slower.
std::size_t default_band_rows(std::size_t w) {
    constexpr std::size_t kPixelsPerBand = std::size_t{1} << 18;
    return w == 0 ? 1 : std::max<std::size_t>(kPixelsPerBand / w, 1);
}

// Rows [first_row, first_row + rows) of the single-precision coefficient
// planes, all that the tables of a and b need at a time.
class CoefficientBand {
public:
    CoefficientBand(std::size_t rows, std::size_t w)
        : a_(Buffer<float>::uninitialized(rows * w)),
          b_(Buffer<float>::uninitialized(rows * w)), rows_(rows), w_(w) {}

    void start_at(std::size_t first_row) { first_row_ = first_row; }
    float* a_row(std::size_t y) { return a_.data() + offset(y); }
    float* b_row(std::size_t y) { return b_.data() + offset(y); }

    // As a source for the table builder.
    struct Row {
        const float *a, *b;
        table_sweep::Double2 values(std::size_t x) const { return table_sweep::Double2{a[x], b[x]}; }
    };
    Row row(std::size_t y) const { return {a_.data() + offset(y), b_.data() + offset(y)}; }

private:
    std::size_t offset(std::size_t y) const {
        if (y < first_row_ || y - first_row_ >= rows_) internal_failure("CoefficientBand: row outside the band");
        return (y - first_row_) * w_;
    }

    Buffer<float> a_, b_;
    std::size_t rows_, w_, first_row_ = 0;
};

// Runs row_body(y, x_begin, x_end) in parallel over the pixels of rows
// [first_row, row_end), the flat pixel range cut into row pieces.
template <class RowBody>
void for_each_row_piece(std::size_t first_row, std::size_t row_end, std::size_t w, RowBody row_body) {
    if (row_end <= first_row) return;
    parallel::for_range((row_end - first_row) * w, [&](std::size_t begin, std::size_t end) {
        while (begin < end) {
            const std::size_t y = begin / w, x = begin % w;
            const std::size_t x_end = std::min(w, x + (end - begin));
            row_body(first_row + y, x, x_end);
            begin += x_end - x;
        }
    });
}

// The window passes have an AVX2 clone, picked at load time on CPUs that
// have it, so that each vector holds four doubles.  Both clones compute the
// same operations lane by lane (there is no fused multiply-add in either),
// so the choice never shows in the result.
// (Defining VELKOR_VECTOR_CLONES empty builds the baseline clone alone.)
#ifndef VELKOR_VECTOR_CLONES
#define VELKOR_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#endif

// a and b of the linear model q = a * L + b of L in the windows of columns
// [begin, end) of one row, already rounded to single precision, which is all
// that later steps use of them.
VELKOR_VECTOR_CLONES
void fit_row(const RowWindows& windows, std::size_t begin, std::size_t end, double eps,
             float* a_row, float* b_row) {
    windows.for_each(begin, end, [&](std::size_t x, const auto& s1, const auto& s2, const auto& n) {
        const auto mean = s1 / n;
        const auto variance = s2 / n - mean * mean;
        const auto denominator = eps + variance;
        // A denominator that is not > 0 (NaN included) gives a = 0.
        const auto a = lanes::where_positive(denominator, variance / denominator);
        const auto b = mean * (1.0 - a);
        lanes::store_as_float(a_row + x, a);
        lanes::store_as_float(b_row + x, b);
    });
}

// q = mean(a) * L + mean(b) over the windows of columns [begin, end) of one
// row, L widened exactly to double.
template <class LuminanceRow>
[[gnu::always_inline]] inline void apply_row_from(const RowWindows& windows, std::size_t begin,
                                                  std::size_t end, LuminanceRow l_row, float* q_row) {
    windows.for_each(begin, end, [&](std::size_t x, const auto& t1, const auto& t2, const auto& n) {
        const auto l = lanes::load_widened_like(n, l_row, x);
        lanes::store_as_float(q_row + x, (t1 / n) * l + (t2 / n));
    });
}

VELKOR_VECTOR_CLONES
void apply_row(const RowWindows& windows, std::size_t begin, std::size_t end,
               const float* l_row, std::ptrdiff_t l_step, float* q_row) {
    // A contiguous row has its own loop, where the loads are plain.
    if (l_step == 1) return apply_row_from(windows, begin, end, l_row, q_row);
    apply_row_from(windows, begin, end, table_sweep::StridedRow{l_row, l_step}, q_row);
}

// Fits the coefficients of rows [first_row, row_end) into `band`.
void fit_coefficients(const SummedAreaTable& sum_l, const SummedAreaTable& sum_p,
                      const double* zero_row, std::size_t first_row, std::size_t row_end,
                      std::size_t r, double eps, CoefficientBand& band) {
    for_each_row_piece(first_row, row_end, sum_l.cols(), [&](std::size_t y, std::size_t begin, std::size_t end) {
        fit_row(RowWindows(sum_l, sum_p, zero_row, y, r), begin, end, eps, band.a_row(y), band.b_row(y));
    });
}

// Computes rows [first_row, row_end) of q.
void apply_coefficients(const SummedAreaTable& sum_a, const SummedAreaTable& sum_b,
                        const double* zero_row, const PlaneView& luminance, std::size_t first_row,
                        std::size_t row_end, std::size_t r, OwnedImage& q) {
    const std::size_t w = luminance.cols;
    float* q_plane = q.pixels.data();
    for_each_row_piece(first_row, row_end, w, [&](std::size_t y, std::size_t begin, std::size_t end) {
        apply_row(RowWindows(sum_a, sum_b, zero_row, y, r), begin, end, luminance.row(y),
                  luminance.col_step, q_plane + y * w);
    });
}

}  // namespace

OwnedImage guided_filter(const PlaneView& luminance, std::size_t r, double eps) {
    return guided_filter(luminance, r, eps, default_band_rows(luminance.cols));
}

OwnedImage guided_filter(const PlaneView& luminance, std::size_t r, double eps,
                         std::size_t band_rows) {
    const std::size_t h = luminance.rows, w = luminance.cols;
    OwnedImage q = OwnedImage::uninitialized(h, w, 1);
    if (h == 0 || w == 0) return q;

    // A whole number of the table builder's bands, so that its bands stay whole.
    const std::size_t band = round_up(std::clamp<std::size_t>(band_rows, 1, h), kBandRows);
    // A band's windows read from r + 1 rows above it to r rows below it, and
    // the first tables are built up to a whole builder band further.
    const std::size_t kept = r >= h ? h : band + 2 * r + kBandRows;
    SummedAreaTable sum_l(h, w, kept), sum_p(h, w, kept), sum_a(h, w, kept), sum_b(h, w, kept);
    TableBuilder<2> luminance_tables({&sum_l, &sum_p}), coefficient_tables({&sum_a, &sum_b});
    CoefficientBand coefficients(band, w);
    const Buffer<double> zero_row = Buffer<double>::zeroed(w);  // read above row 0

    std::size_t q_done = 0;
    for (std::size_t y = 0; y < h; y += band) {
        const std::size_t y_end = std::min(h, y + band);
        const std::size_t reach = r >= h ? h : std::min(h, round_up(y_end + r, kBandRows));
        luminance_tables.extend_to(reach, table_sweep::PlaneAndSquareSource{luminance});
        coefficients.start_at(y);
        fit_coefficients(sum_l, sum_p, zero_row.data(), y, y_end, r, eps, coefficients);
        coefficient_tables.extend_to(y_end, coefficients);
        // Row y of q needs the tables of a and b down to row y + r.
        const std::size_t q_end = y_end == h ? h : (y_end > r ? y_end - r : 0);
        apply_coefficients(sum_a, sum_b, zero_row.data(), luminance, q_done, q_end, r, q);
        q_done = std::max(q_done, q_end);
    }
    return q;
}

}  // namespace velkor
