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

// Where one of the four tables starts (its rows above come carried, or
// are the zeros above row 0), and where the row the next band continues
// from is copied to.
struct TableEnds {
    std::size_t first_row = 0;
    const double* carried = nullptr;  // cols entries, when first_row > 0
    std::size_t next_row = 0;         // the row to copy; none when 0
    double* next = nullptr;
};

// Extends two tables up to `row_end`, stopping at the row the next band
// continues from to copy it out before later rows displace it.
template <class Source>
void extend_carrying(TableBuilder<2>& builder, std::array<SummedAreaTable*, 2> tables, std::size_t row_end,
                     const Source& source, std::array<TableEnds, 2>& ends) {
    const std::size_t carry_row = ends[0].next_row - 1;
    if (ends[0].next_row > 0 && ends[0].next != nullptr && builder.built_rows() <= carry_row &&
        carry_row < row_end) {
        builder.extend_to(carry_row + 1, source);
        for (std::size_t i = 0; i < 2; ++i) {
            const double* row = tables[i]->row(carry_row);
            std::copy(row, row + tables[i]->cols(), ends[i].next);
            ends[i].next = nullptr;
        }
    }
    builder.extend_to(row_end, source);
}

// The rows of L from `first` on, read by absolute image row.
struct OffsetPlane {
    PlaneView plane;
    std::size_t first;
    const float* row(std::size_t y) const {
        if (y < first || y - first >= plane.rows) internal_failure("guided_filter: luminance row outside the band");
        return plane.row(y - first);
    }
};

struct OffsetPlaneAndSquare {
    OffsetPlane plane;
    table_sweep::PlaneAndSquareSource::Row row(std::size_t y) const {
        return {{plane.row(y), plane.plane.col_step}};
    }
};

class Pipeline {
public:
    // `q` holds rows [span.first, span.end); `luminance` rows
    // [span.luminance_first(), span.luminance_end()).
    Pipeline(const PlaneView& luminance, const FilterRows& span, double eps, std::size_t band, OwnedImage& q)
        : luminance_{luminance, span.luminance_first()}, span_(span), h_(span.height), w_(luminance.cols),
          r_(span.r), eps_(eps), band_(band), fit_first_(span.fit_first()), fit_end_(span.fit_end()),
          bands_((fit_end_ - fit_first_ + band - 1) / band),
          // Band t's windows read from r + 1 rows above it; meanwhile the
          // build for band t+1 reaches r rows (rounded up to a whole builder
          // band) below band t+1.
          // (No more than the band's rows and the carried one above them.)
          kept_(std::min(r_ >= h_ ? h_ : 2 * band + 2 * r_ + kBandRows,
                         span.luminance_end() - span.luminance_first() + 1)),
          sum_l_(h_, w_, kept_), sum_p_(h_, w_, kept_), sum_a_(h_, w_, kept_), sum_b_(h_, w_, kept_),
          luminance_tables_({&sum_l_, &sum_p_}), coefficient_tables_({&sum_a_, &sum_b_}),
          coefficients_{CoefficientBand(band, w_), CoefficientBand(band, w_)},
          zero_row_(Buffer<double>::zeroed(w_)), q_(q) {}

    // `carried` and `next` as guided_filter_rows takes them, or null.
    void run(const double* carried, double* next) {
        const auto entry = [&](std::size_t i, std::size_t first_row, std::size_t next_row) {
            return TableEnds{first_row, carried ? carried + i * w_ : nullptr, next_row, next ? next + i * w_ : nullptr};
        };
        const FilterRows below{h_, span_.end, h_, r_};
        const bool continues = span_.end < h_;
        luminance_ends_ = {entry(0, span_.luminance_first(), continues ? below.luminance_first() : 0),
                           entry(1, span_.luminance_first(), continues ? below.luminance_first() : 0)};
        coefficient_ends_ = {entry(2, fit_first_, continues ? below.fit_first() : 0),
                             entry(3, fit_first_, continues ? below.fit_first() : 0)};
        start(sum_l_, luminance_ends_[0]);
        start(sum_p_, luminance_ends_[1]);
        start(sum_a_, coefficient_ends_[0]);
        start(sum_b_, coefficient_ends_[1]);
        if (fit_end_ == fit_first_) return;
        extend_carrying(luminance_tables_, {&sum_l_, &sum_p_}, reach(0), OffsetPlaneAndSquare{luminance_},
                        luminance_ends_);
        for (std::size_t t = 0; t < bands_ + 2; ++t) run(plan(t));
    }

private:
    static void start(SummedAreaTable& table, const TableEnds& ends) {
        if (ends.first_row == 0) return;
        if (ends.carried == nullptr) internal_failure("guided_filter: a band below row 0 without its carried rows");
        table.start_after(ends.first_row, ends.carried);
    }

    Rows band_rows(std::size_t b) const {
        return {fit_first_ + b * band_, std::min(fit_end_, fit_first_ + (b + 1) * band_)};
    }

    // The table rows band b's windows need built, rounded up to a whole
    // builder band so that the builder never falls back to single rows.
    std::size_t reach(std::size_t b) const {
        const std::size_t end = band_rows(b).end, table_end = span_.luminance_end();
        if (r_ >= h_ - end) return table_end;
        const std::size_t first = span_.luminance_first();
        return std::min(table_end, first + round_up(end + r_ - first, kBandRows));
    }

    // Rows of q whose windows the tables of a and b cover once they include
    // band b: row y needs them down to row y + r.
    std::size_t q_end(std::size_t b) const {
        const std::size_t end = band_rows(b).end;
        if (end == fit_end_) return span_.end;
        return std::clamp(end > r_ ? end - r_ : 0, span_.first, span_.end);
    }

    TableRows readable(const SummedAreaTable& table, Rows image_rows, std::size_t built_meanwhile) const {
        if (image_rows.count() == 0) return {};  // a step with nothing to read there
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
        if (t >= 2 && t - 2 < bands_) step.q_rows = {t >= 3 ? q_end(t - 3) : span_.first, q_end(t - 2)};
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
            [&] {
                extend_carrying(luminance_tables_, {&sum_l_, &sum_p_}, step.luminance_to,
                                OffsetPlaneAndSquare{luminance_}, luminance_ends_);
            },
            [&] {
                extend_carrying(coefficient_tables_, {&sum_a_, &sum_b_}, step.coefficients_to, *step.finished,
                                coefficient_ends_);
            });
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
                      luminance_.plane.col_step, q_.pixels.data() + (y - span_.first) * w_);
        });
    }

    const OffsetPlane luminance_;
    const FilterRows span_;
    const std::size_t h_, w_, r_;
    const double eps_;
    const std::size_t band_, fit_first_, fit_end_, bands_, kept_;
    SummedAreaTable sum_l_, sum_p_, sum_a_, sum_b_;
    TableBuilder<2> luminance_tables_, coefficient_tables_;
    std::array<CoefficientBand, 2> coefficients_;
    std::array<TableEnds, 2> luminance_ends_, coefficient_ends_;
    const Buffer<double> zero_row_;  // read above row 0
    OwnedImage& q_;
};

// A whole number of the table builder's bands, so that its bands stay whole.
std::size_t builder_bands(std::size_t band_rows, std::size_t rows) {
    return round_up(std::clamp<std::size_t>(band_rows, 1, std::max<std::size_t>(rows, 1)), kBandRows);
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
    Pipeline(luminance, FilterRows::whole(h, r), eps, builder_bands(band_rows, h), q).run(nullptr, nullptr);
    return q;
}

OwnedImage guided_filter_rows(const PlaneView& luminance, const FilterRows& span, double eps,
                              const double* carried, double* next) {
    if (span.first > span.end || span.end > span.height ||
        luminance.rows != span.luminance_end() - span.luminance_first()) {
        internal_failure("guided_filter_rows: luminance rows do not match the band");
    }
    const std::size_t w = luminance.cols;
    OwnedImage q = OwnedImage::uninitialized(span.end - span.first, w, 1);
    std::fill(next, next + kTableCarryRows * w, 0.0);
    if (span.first == span.end) {  // the band below starts where this one did
        if (carried != nullptr) std::copy(carried, carried + kTableCarryRows * w, next);
        return q;
    }
    if (w == 0) return q;
    const std::size_t band = builder_bands(default_band_rows(w), span.fit_end() - span.fit_first());
    Pipeline(luminance, span, eps, band, q).run(carried, next);
    return q;
}

}  // namespace velkor
