#include "local_contrast/guided_filter.hpp"

#include <algorithm>
#include <array>

#include "error/internal_failure.hpp"
#include "image/buffer.hpp"
#include "local_contrast/row_windows.hpp"
#include "local_contrast/summed_area_table.hpp"
#include "local_contrast/table_sweep.hpp"
#include "local_contrast/window_passes.hpp"
#include "parallel/parallel.hpp"

// The filter streams down the image in bands of rows.  Band b goes through
// four stages: extend the tables of L and L*L as far as its windows reach,
// fit its coefficients a and b, extend the tables of a and b by it, and
// finish the rows of q whose windows those tables now cover.  Step t of the
// pipeline does the first stage for band t+1, the second for band t, the
// third for band t-1 and the fourth for band t-2, all in one parallel loop:
// the two table builds are single pieces of that loop (each table is built
// by one thread, top to bottom), the window passes are cut into pixels, and
// so the builds run beside the window passes instead of between them.  The
// stages of one step touch disjoint rows: the tables keep enough rows that
// the builds never displace one that a window pass of the same step reads,
// and the coefficients alternate between two band buffers.
//
// Tables keep only the rows that later windows still read, so the working
// memory is about 4 * 8 * (2 band + 2r) bytes per column instead of 64
// bytes per pixel, and mostly stays in cache between being written and read.
// Every value is computed by the same operations on the same operands as the
// plain sequence of whole-image passes, so the result is identical.
namespace velkor {
namespace {

using table_sweep::TableBuilder;
constexpr std::size_t kBandRows = TableBuilder<2>::kBandRows;

std::size_t round_up(std::size_t n, std::size_t multiple) {
    return (n + multiple - 1) / multiple * multiple;
}

// Enough pixels per band that starting the parallel loops is worth it, few
// enough that the kept rows of small radii stay in the last-level cache.
// On 24 megapixels one thread does best with 2^17 to 2^18 pixels per band
// (2^21 is about 35% slower).  With two, smaller bands keep the two
// single-threaded table builds of a step beside the window passes: 2^16
// made r = 256 about 20% faster than 2^18 and left r = 2 unchanged.
std::size_t default_band_rows(std::size_t w) {
    const std::size_t pixels_per_band = std::size_t{1} << (parallel::thread_count() > 1 ? 16 : 18);
    return w == 0 ? 1 : std::max<std::size_t>(pixels_per_band / w, 1);
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

// Calls row_body(y, x_begin, x_end) over the pixels [begin, end) of rows
// [first_row, ...), counted row-major from the first row's first pixel.
template <class RowBody>
void visit_row_pieces(std::size_t first_row, std::size_t w, std::size_t begin, std::size_t end,
                      RowBody&& row_body) {
    while (begin < end) {
        const std::size_t y = begin / w, x = begin % w;
        const std::size_t x_end = std::min(w, x + (end - begin));
        row_body(first_row + y, x, x_end);
        begin += x_end - x;
    }
}

struct Rows {
    std::size_t begin = 0, end = 0;
    std::size_t count() const { return end - begin; }
};

class Pipeline {
public:
    Pipeline(const PlaneView& luminance, std::size_t r, double eps, std::size_t band, OwnedImage& q)
        : luminance_(luminance), h_(luminance.rows), w_(luminance.cols), r_(r), eps_(eps), band_(band),
          bands_((h_ + band - 1) / band),
          // Band t's windows read from r + 1 rows above it; meanwhile the
          // build for band t+1 reaches r rows (rounded up to a whole builder
          // band) below band t+1.
          kept_(r >= h_ ? h_ : 2 * band + 2 * r + kBandRows),
          sum_l_(h_, w_, kept_), sum_p_(h_, w_, kept_), sum_a_(h_, w_, kept_), sum_b_(h_, w_, kept_),
          luminance_tables_({&sum_l_, &sum_p_}), coefficient_tables_({&sum_a_, &sum_b_}),
          coefficients_{CoefficientBand(band, w_), CoefficientBand(band, w_)},
          zero_row_(Buffer<double>::zeroed(w_)), q_(q) {}

    void run() {
        luminance_tables_.extend_to(reach(0), table_sweep::PlaneAndSquareSource{luminance_});
        for (std::size_t t = 0; t < bands_ + 2; ++t) run(plan(t));
    }

private:
    Rows band_rows(std::size_t b) const { return {b * band_, std::min(h_, (b + 1) * band_)}; }

    // The table rows band b's windows need built, rounded up to a whole
    // builder band so that the builder never falls back to single rows.
    std::size_t reach(std::size_t b) const {
        const std::size_t end = band_rows(b).end;
        return r_ >= h_ ? h_ : std::min(h_, round_up(end + r_, kBandRows));
    }

    // Rows of q whose windows the tables of a and b cover once they include
    // band b: row y needs them down to row y + r.
    std::size_t q_end(std::size_t b) const {
        const std::size_t end = band_rows(b).end;
        return end == h_ ? h_ : (end > r_ ? end - r_ : 0);
    }

    TableRows readable(const SummedAreaTable& table, Rows image_rows, std::size_t built_meanwhile) const {
        const auto [first, end] = RowWindows::table_rows(image_rows.begin, image_rows.end, r_, h_);
        return table.rows_for_reading(first, end, built_meanwhile);
    }

    // What step t does; see the top of the file.
    struct Step {
        std::size_t luminance_to = 0;      // build the L tables up to this row
        Rows fit_rows;                     // fit a and b for these rows
        TableRows l, p;                    //   reading these rows of the L tables
        CoefficientBand* fitted = nullptr;  //   into this band
        Rows q_rows;                       // compute these rows of q
        TableRows a, b;                    //   reading these rows of the a, b tables
        std::size_t coefficients_to = 0;   // build the a, b tables up to this row
        const CoefficientBand* finished = nullptr;  //   from this band
    };

    Step plan(std::size_t t) {
        Step step;
        // A table that is not to be extended in this step stays as it is.
        step.luminance_to = t + 1 < bands_ ? reach(t + 1) : sum_l_.built_rows();
        step.coefficients_to = t >= 1 && t - 1 < bands_ ? band_rows(t - 1).end : sum_a_.built_rows();
        if (t < bands_) step.fit_rows = band_rows(t);
        if (t >= 2 && t - 2 < bands_) step.q_rows = {t >= 3 ? q_end(t - 3) : 0, q_end(t - 2)};
        // The window passes read only rows that neither build of the step
        // displaces; this is checked here, before any of them starts.
        step.l = readable(sum_l_, step.fit_rows, step.luminance_to);
        step.p = readable(sum_p_, step.fit_rows, step.luminance_to);
        step.a = readable(sum_a_, step.q_rows, step.coefficients_to);
        step.b = readable(sum_b_, step.q_rows, step.coefficients_to);
        step.fitted = &coefficients_[t % 2];
        step.fitted->start_at(step.fit_rows.begin);
        step.finished = &coefficients_[(t + 1) % 2];
        return step;
    }

    // The fit's pixels and then q's pixels are one range; the two table
    // builds are serial jobs beside it, on threads of their own.
    void run(const Step& step) {
        const std::size_t fit_pixels = step.fit_rows.count() * w_;
        const std::size_t n = fit_pixels + step.q_rows.count() * w_;
        parallel::for_range_with_jobs(
            n,
            [&](std::size_t begin, std::size_t end) {
                fit(step, std::min(begin, fit_pixels), std::min(end, fit_pixels));
                apply(step, std::max(begin, fit_pixels) - fit_pixels, std::max(end, fit_pixels) - fit_pixels);
            },
            [&] { luminance_tables_.extend_to(step.luminance_to, table_sweep::PlaneAndSquareSource{luminance_}); },
            [&] { coefficient_tables_.extend_to(step.coefficients_to, *step.finished); });
    }

    void fit(const Step& step, std::size_t begin, std::size_t end) {
        visit_row_pieces(step.fit_rows.begin, w_, begin, end, [&](std::size_t y, std::size_t x0, std::size_t x1) {
            fit_row(RowWindows(step.l, step.p, zero_row_.data(), y, r_), x0, x1, eps_, step.fitted->a_row(y),
                    step.fitted->b_row(y));
        });
    }

    void apply(const Step& step, std::size_t begin, std::size_t end) {
        visit_row_pieces(step.q_rows.begin, w_, begin, end, [&](std::size_t y, std::size_t x0, std::size_t x1) {
            apply_row(RowWindows(step.a, step.b, zero_row_.data(), y, r_), x0, x1, luminance_.row(y),
                      luminance_.col_step, q_.pixels.data() + y * w_);
        });
    }

    const PlaneView luminance_;
    const std::size_t h_, w_, r_;
    const double eps_;
    const std::size_t band_, bands_, kept_;
    SummedAreaTable sum_l_, sum_p_, sum_a_, sum_b_;
    TableBuilder<2> luminance_tables_, coefficient_tables_;
    std::array<CoefficientBand, 2> coefficients_;
    const Buffer<double> zero_row_;  // read above row 0
    OwnedImage& q_;
};

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
    Pipeline(luminance, r, eps, band, q).run();
    return q;
}

}  // namespace velkor
