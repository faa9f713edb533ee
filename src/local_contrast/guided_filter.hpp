#pragma once
#include <cstddef>

#include "image/image.hpp"

namespace velkor {

// The He-Sun-Tang guided filter of a plane guided by itself, with windows of
// radius r clipped at the borders and regularisation eps.  Returns the
// filtered plane as an owned (H, W, 1) image.
//
// The arithmetic is a fixed sequence of double-precision operations, so the
// result is the same bit for bit for any thread count:
//   mean = s1 / n;  variance = s2 / n - mean * mean;
//   a = variance / (eps + variance), or 0 when eps + variance is not > 0;
//   b = mean * (1 - a);  both rounded to single precision;
//   q = (ta / n) * L + (tb / n), rounded to single precision,
// where s1, s2, ta, tb are window sums of L, L*L (in single precision), a
// and b, and n the window's pixel count.
OwnedImage guided_filter(const PlaneView& luminance, std::size_t r, double eps);

// The same filter, streaming down the image in bands of about `band_rows`
// rows (rounded up to a whole multiple of the table builder's band).  The
// band height changes nothing in the result; the overload lets tests prove it.
OwnedImage guided_filter(const PlaneView& luminance, std::size_t r, double eps,
                         std::size_t band_rows);

}  // namespace velkor
