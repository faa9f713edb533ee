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
// are the zeros above row 0), and where the row the next piece down
// continues from is copied to.
struct TableEnds {
    std::size_t first_row = 0;
    const double* carried = nullptr;  // the table's columns of row first_row - 1, when first_row > 0
    std::size_t next_row = 0;         // the row to copy; none when 0
    double* next = nullptr;
    std::size_t next_from = 0, next_count = 0;  // the table columns copied
};

// The columns [first, end) of the image a pair of tables holds.  A table
// beside a piece to its left starts one column left of the values it is
// built from: that column is the left piece's, carried.
struct TableColumns {
    std::size_t first = 0, end = 0;
    bool carried = false;

    static TableColumns built_from(std::size_t values_first, std::size_t values_end) {
        return values_first > 0 ? TableColumns{values_first - 1, values_end, true}
                                : TableColumns{0, values_end, false};
    }
    std::size_t count() const { return end - first; }
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
            const double* row = tables[i]->row(carry_row) + ends[i].next_from;
            std::copy(row, row + ends[i].next_count, ends[i].next);
            ends[i].next = nullptr;
        }
    }
    builder.extend_to(row_end, source);
}

// The rows of L from `first` on, read by absolute image row; a row starts
// at the piece's first luminance column.
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
    // `q` holds the piece's rows and columns; `luminance` the rows and
    // columns from luminance_first() to luminance_end() of each.
    Pipeline(const PlaneView& luminance, const FilterPiece& piece, double eps, std::size_t band,
             const FilterCarry& carry, OwnedImage& q)
        : luminance_{luminance, piece.rows.luminance_first()}, span_(piece.rows), columns_(piece.columns),
          h_(span_.extent), w_(columns_.extent), r_(span_.r), eps_(eps), band_(band),
          fit_first_(span_.fit_first()), fit_end_(span_.fit_end()),
          bands_((fit_end_ - fit_first_ + band - 1) / band),
          luminance_cols_(TableColumns::built_from(columns_.luminance_first(), columns_.luminance_end())),
          coefficient_cols_(TableColumns::built_from(columns_.fit_first(), columns_.fit_end())),
          fit_cols_(columns_.fit_end() - columns_.fit_first()),
          // Band t's windows read from r + 1 rows above it; meanwhile the
          // build for band t+1 reaches r rows (rounded up to a whole builder
          // band) below band t+1.
          // (No more than the band's rows and the carried one above them.)
          kept_(std::min(r_ >= h_ ? h_ : 2 * band + 2 * r_ + kBandRows,
                         span_.luminance_end() - span_.luminance_first() + 1)),
          sum_l_(h_, luminance_cols_.count(), kept_), sum_p_(h_, luminance_cols_.count(), kept_),
          sum_a_(h_, coefficient_cols_.count(), kept_), sum_b_(h_, coefficient_cols_.count(), kept_),
          luminance_tables_({&sum_l_, &sum_p_}, left_column(carry, 0, luminance_cols_, span_.luminance_first()),
                            column_tap(carry, 0, luminance_cols_, right_neighbour().luminance_first(),
                                       span_.luminance_first())),
          coefficient_tables_({&sum_a_, &sum_b_}, left_column(carry, 2, coefficient_cols_, fit_first_),
                              column_tap(carry, 2, coefficient_cols_, right_neighbour().fit_first(), fit_first_)),
          coefficients_{CoefficientBand(band, fit_cols_), CoefficientBand(band, fit_cols_)},
          zero_row_(Buffer<double>::zeroed(luminance_cols_.count())), q_(q), carry_(carry) {}

    void run() {
        const FilterCarry& carry = carry_;
        const std::size_t qw = columns_.count();
        const auto entry = [&](std::size_t i, const TableColumns& cols, std::size_t first_row, std::size_t next_row) {
            return TableEnds{first_row, carry.above ? carry.above + i * w_ + cols.first : nullptr, next_row,
                             carry.next ? carry.next + i * qw : nullptr, columns_.first - cols.first, qw};
        };
        const FilterSpan below{h_, span_.end, h_, r_};
        const bool continues = span_.end < h_;
        const std::size_t luminance_next = continues ? below.luminance_first() : 0;
        const std::size_t fit_next = continues ? below.fit_first() : 0;
        luminance_ends_ = {entry(0, luminance_cols_, span_.luminance_first(), luminance_next),
                           entry(1, luminance_cols_, span_.luminance_first(), luminance_next)};
        coefficient_ends_ = {entry(2, coefficient_cols_, fit_first_, fit_next),
                             entry(3, coefficient_cols_, fit_first_, fit_next)};
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
    FilterSpan right_neighbour() const { return {w_, columns_.end, w_, r_}; }

    // Where the left carry holds tables i and i + 1: the luminance tables
    // over the luminance rows, then the coefficient tables over the fit rows.
    std::size_t left_offset(std::size_t i) const {
        const std::size_t luminance_rows = span_.luminance_end() - span_.luminance_first();
        return i < 2 ? i * luminance_rows : 2 * luminance_rows + (i - 2) * (fit_end_ - fit_first_);
    }

    table_sweep::LeftColumn<2> left_column(const FilterCarry& carry, std::size_t i, const TableColumns& cols,
                                           std::size_t first_row) const {
        if (!cols.carried) return {};
        if (carry.left == nullptr) internal_failure("guided_filter: a piece right of column 0 without its left column");
        return {{carry.left + left_offset(i), carry.left + left_offset(i + 1)}, first_row};
    }

    // The column of the tables that the piece to the right starts from.
    table_sweep::ColumnTap<2> column_tap(const FilterCarry& carry, std::size_t i, const TableColumns& cols,
                                         std::size_t right_values_first, std::size_t first_row) const {
        if (carry.next_left == nullptr || columns_.end == w_ || right_values_first == 0) return {};
        return {{carry.next_left + left_offset(i), carry.next_left + left_offset(i + 1)}, first_row,
                right_values_first - 1 - cols.first};
    }

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
        const std::size_t fit_pixels = step.fit_rows.count() * fit_cols_;
        const std::size_t n = fit_pixels + step.q_rows.count() * columns_.count();
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
        const std::size_t first = columns_.fit_first();
        visit_row_pieces(step.fit_rows.begin, fit_cols_, begin, end, [&](std::size_t y, std::size_t x0, std::size_t x1) {
            fit_row(RowWindows(step.l, step.p, zero_row_.data(), y, r_, w_, luminance_cols_.first), first + x0,
                    first + x1, eps_, step.fitted->a_row(y) + x0, step.fitted->b_row(y) + x0);
        });
    }

    void apply(const Step& step, std::size_t begin, std::size_t end) {
        const std::size_t first = columns_.first, qw = columns_.count();
        const std::size_t luminance_offset = first - columns_.luminance_first();
        const std::ptrdiff_t step_x = luminance_.plane.col_step;
        visit_row_pieces(step.q_rows.begin, qw, begin, end, [&](std::size_t y, std::size_t x0, std::size_t x1) {
            const float* l_row = luminance_.row(y) + static_cast<std::ptrdiff_t>(luminance_offset + x0) * step_x;
            apply_row(RowWindows(step.a, step.b, zero_row_.data(), y, r_, w_, coefficient_cols_.first), first + x0,
                      first + x1, l_row, step_x, q_.pixels.data() + (y - span_.first) * qw + x0);
        });
    }

    const OffsetPlane luminance_;
    const FilterSpan span_, columns_;
    const std::size_t h_, w_, r_;
    const double eps_;
    const std::size_t band_, fit_first_, fit_end_, bands_;
    const TableColumns luminance_cols_, coefficient_cols_;
    const std::size_t fit_cols_, kept_;
    SummedAreaTable sum_l_, sum_p_, sum_a_, sum_b_;
    TableBuilder<2> luminance_tables_, coefficient_tables_;
    std::array<CoefficientBand, 2> coefficients_;
    std::array<TableEnds, 2> luminance_ends_, coefficient_ends_;
    const Buffer<double> zero_row_;  // read above row 0
    OwnedImage& q_;
    const FilterCarry carry_;
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
    const FilterPiece whole{FilterSpan::whole(h, r), FilterSpan::whole(w, r)};
    Pipeline(luminance, whole, eps, builder_bands(band_rows, h), {}, q).run();
    return q;
}

OwnedImage guided_filter_piece(const PlaneView& luminance, const FilterPiece& piece, double eps,
                               const FilterCarry& carry) {
    const FilterSpan &rows = piece.rows, &columns = piece.columns;
    if (rows.first > rows.end || rows.end > rows.extent || columns.first > columns.end ||
        columns.end > columns.extent || luminance.rows != rows.luminance_end() - rows.luminance_first() ||
        luminance.cols != columns.luminance_end() - columns.luminance_first()) {
        internal_failure("guided_filter_piece: luminance does not match the piece");
    }
    const std::size_t qw = columns.count();
    OwnedImage q = OwnedImage::uninitialized(rows.count(), qw, 1);
    if (carry.next != nullptr) std::fill(carry.next, carry.next + kTableCarryRows * qw, 0.0);
    if (carry.next_left != nullptr) std::fill(carry.next_left, carry.next_left + left_carry_size(rows), 0.0);
    if (rows.first == rows.end) {  // the piece below starts where this one did
        if (carry.above != nullptr && carry.next != nullptr) {
            for (std::size_t i = 0; i < kTableCarryRows; ++i) {
                const double* above = carry.above + i * columns.extent + columns.first;
                std::copy(above, above + qw, carry.next + i * qw);
            }
        }
        return q;
    }
    if (qw == 0) return q;
    const std::size_t table_cols =
        TableColumns::built_from(columns.luminance_first(), columns.luminance_end()).count();
    const std::size_t band = builder_bands(default_band_rows(table_cols), rows.fit_end() - rows.fit_first());
    Pipeline(luminance, piece, eps, band, carry, q).run();
    return q;
}

}  // namespace velkor
