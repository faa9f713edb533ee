#pragma once
// Plain-loop references for the local-contrast kernels: the recurrences
// written out as directly as possible, one pixel at a time, on one thread.
// The kernels must agree with them bit for bit.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <vector>

#include "check.hpp"
#include "image/image.hpp"

namespace reference {

struct Plane {
    std::size_t h = 0, w = 0;
    std::vector<float> v;
    float at(std::size_t y, std::size_t x) const { return v[y * w + x]; }
    velkor::PlaneView view() const {
        return {v.data(), h, w, static_cast<std::ptrdiff_t>(w), 1};
    }
};

struct Table {
    std::size_t h = 0, w = 0;
    std::vector<double> s;
    double at(std::size_t y, std::size_t x) const { return s[y * w + x]; }
};

inline Table sat(const velkor::PlaneView& p) {
    Table t{p.rows, p.cols, std::vector<double>(p.rows * p.cols, 0.0)};
    for (std::size_t y = 0; y < p.rows; ++y) {
        for (std::size_t x = 0; x < p.cols; ++x) {
            double v = p.at(y, x);
            double above = y > 0 ? t.at(y - 1, x) : 0.0;
            double left = x > 0 ? t.at(y, x - 1) : 0.0;
            double diagonal = y > 0 && x > 0 ? t.at(y - 1, x - 1) : 0.0;
            t.s[y * t.w + x] = ((v + above) + left) - diagonal;
        }
    }
    return t;
}

struct Window {
    double sum, count;
};

inline Window window_sum(const Table& t, std::uint64_t y, std::uint64_t x, std::uint64_t r) {
    std::uint64_t y0 = y >= r ? y - r : 0, x0 = x >= r ? x - r : 0;
    std::uint64_t y1 = std::min<std::uint64_t>(t.h - 1, y + r);
    std::uint64_t x1 = std::min<std::uint64_t>(t.w - 1, x + r);
    double total = t.at(y1, x1);
    double top = y0 > 0 ? t.at(y0 - 1, x1) : 0.0;
    double left = x0 > 0 ? t.at(y1, x0 - 1) : 0.0;
    double corner = y0 > 0 && x0 > 0 ? t.at(y0 - 1, x0 - 1) : 0.0;
    return {corner + ((total - top) - left), double((y1 - y0 + 1) * (x1 - x0 + 1))};
}

inline Plane guided_filter(const velkor::PlaneView& l, std::uint64_t r, double eps) {
    const std::size_t h = l.rows, w = l.cols;
    Plane p{h, w, std::vector<float>(h * w)};
    for (std::size_t y = 0; y < h; ++y)
        for (std::size_t x = 0; x < w; ++x) p.v[y * w + x] = l.at(y, x) * l.at(y, x);
    Table tl = sat(l), tp = sat(p.view());
    Plane a{h, w, std::vector<float>(h * w)}, b{h, w, std::vector<float>(h * w)};
    for (std::size_t k = 0; k < h * w; ++k) {
        std::size_t y = k / w, x = k % w;
        Window s1 = window_sum(tl, y, x, r), s2 = window_sum(tp, y, x, r);
        double mean = s1.sum / s1.count;
        double variance = s2.sum / s1.count - mean * mean;
        double denominator = eps + variance;
        double ak = denominator > 0 ? variance / denominator : 0.0;
        a.v[k] = static_cast<float>(ak);
        b.v[k] = static_cast<float>(mean * (1.0 - ak));
    }
    Table ta = sat(a.view()), tb = sat(b.view());
    Plane q{h, w, std::vector<float>(h * w, 0.0f)};
    for (std::size_t k = 0; k < h * w; ++k) {
        std::size_t y = k / w, x = k % w;
        Window t1 = window_sum(ta, y, x, r), t2 = window_sum(tb, y, x, r);
        double lv = l.at(y, x);
        q.v[k] = static_cast<float>((t1.sum / t1.count) * lv + (t2.sum / t1.count));
    }
    return q;
}

inline Plane local_contrast(const velkor::PlaneView& l, std::uint64_t r, float eps, float strength) {
    Plane q = guided_filter(l, r, eps);
    Plane out{l.rows, l.cols, std::vector<float>(l.rows * l.cols)};
    for (std::size_t y = 0; y < l.rows; ++y) {
        for (std::size_t x = 0; x < l.cols; ++x) {
            float d = l.at(y, x) - q.at(y, x);
            d = d * strength;
            out.v[y * l.cols + x] = l.at(y, x) + d;
        }
    }
    return out;
}

// Values spread over several binades and both signs, so that any change in
// the order of the additions shows in the low bits.
inline Plane random_plane(std::size_t h, std::size_t w, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    std::uniform_int_distribution<int> binade(-6, 6);
    Plane p{h, w, std::vector<float>(h * w)};
    for (float& v : p.v) v = std::ldexp(unit(rng), binade(rng)) * (unit(rng) < 0.2f ? -1.0f : 1.0f);
    return p;
}

}  // namespace reference
