#include "local_contrast/guided_filter.hpp"

#include "image/buffer.hpp"
#include "local_contrast/row_windows.hpp"
#include "local_contrast/summed_area_table.hpp"
#include "parallel/parallel.hpp"

namespace velkor {
namespace {

// Runs row_body(y, x_begin, x_end) over the image's pixels in parallel, the
// flat pixel range cut into row pieces.
template <class RowBody>
void for_each_row_piece(std::size_t h, std::size_t w, RowBody row_body) {
    parallel::for_range(h * w, [&](std::size_t begin, std::size_t end) {
        while (begin < end) {
            const std::size_t y = begin / w, x = begin % w;
            const std::size_t x_end = end - y * w < w ? end - y * w : w;
            row_body(y, x, x_end);
            begin += x_end - x;
        }
    });
}

struct Coefficients {
    OwnedImage a, b;
};

// Per pixel: the linear model q = a * L + b of L in its window.  A and B are
// stored already rounded to single precision, which is all later steps use.
Coefficients fit_coefficients(const TablePair& sums, const double* zero_row, std::size_t h,
                              std::size_t w, std::size_t r, double eps) {
    Coefficients out{OwnedImage::uninitialized(h, w, 1), OwnedImage::uninitialized(h, w, 1)};
    float* a_plane = out.a.pixels.data();
    float* b_plane = out.b.pixels.data();
    for_each_row_piece(h, w, [&](std::size_t y, std::size_t begin, std::size_t end) {
        const RowWindows windows(sums.first, sums.second, zero_row, y, r);
        float* a_row = a_plane + y * w;
        float* b_row = b_plane + y * w;
        windows.for_each(begin, end, [&](std::size_t x, double s1, double s2, double n) {
            const double mean = s1 / n;
            const double variance = s2 / n - mean * mean;
            const double denominator = eps + variance;
            // Divided unconditionally so the loop has no branch; a NaN
            // denominator fails the comparison and gives 0 as well.
            const double ratio = variance / denominator;
            const double a = denominator > 0.0 ? ratio : 0.0;
            const double b = mean * (1.0 - a);
            a_row[x] = static_cast<float>(a);
            b_row[x] = static_cast<float>(b);
        });
    });
    return out;
}

// Per pixel: q = mean(a) * L + mean(b) over its window.
OwnedImage apply_coefficients(const TablePair& sums, const double* zero_row,
                              const PlaneView& luminance, std::size_t r) {
    const std::size_t h = luminance.rows, w = luminance.cols;
    OwnedImage q = OwnedImage::uninitialized(h, w, 1);
    float* q_plane = q.pixels.data();
    for_each_row_piece(h, w, [&](std::size_t y, std::size_t begin, std::size_t end) {
        const RowWindows windows(sums.first, sums.second, zero_row, y, r);
        const float* l_row = luminance.row(y);
        const std::ptrdiff_t l_step = luminance.col_step;
        float* q_row = q_plane + y * w;
        windows.for_each(begin, end, [&](std::size_t x, double t1, double t2, double n) {
            const double l = l_row[static_cast<std::ptrdiff_t>(x) * l_step];
            q_row[x] = static_cast<float>((t1 / n) * l + (t2 / n));
        });
    });
    return q;
}

}  // namespace

OwnedImage guided_filter(const PlaneView& luminance, std::size_t r, double eps) {
    const std::size_t h = luminance.rows, w = luminance.cols;
    // The windows of row 0 read +0.0 above the table.
    const Buffer<double> zero_row = Buffer<double>::zeroed(w);
    Coefficients coefficients;
    {
        const TablePair sums = sat_of_plane_and_square(luminance);
        coefficients = fit_coefficients(sums, zero_row.data(), h, w, r, eps);
    }
    const TablePair sums = sat_pair(coefficients.a.channel_view(0), coefficients.b.channel_view(0));
    coefficients = {};
    return apply_coefficients(sums, zero_row.data(), luminance, r);
}

}  // namespace velkor
