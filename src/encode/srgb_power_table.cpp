#include "encode/srgb_power_table.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

#include "encode/srgb.hpp"
#include "parallel/compute_once.hpp"

namespace velkor::srgb {
namespace {

std::uint32_t interval_start(int j) {
    return kIntervalOrigin + (static_cast<std::uint32_t>(j) << kIndexShift);
}

// Long double keeps the table's own error near 2^-63, far below what matters.
PowerTable build_power_table() {
    PowerTable table{};
    const long double a = kExponent;
    long double r_max = 0;
    for (int j = 0; j < kIntervals; ++j) {
        long double lo = std::bit_cast<float>(interval_start(j));
        long double hi = std::bit_cast<float>(interval_start(j + 1));
        long double f = static_cast<float>((lo + hi) / (2 * lo * hi));  // centres r on 0
        table.inverse_z[j] = static_cast<float>(f);
        table.inverse_z_wide[j] = table.inverse_z[j];
        r_max = std::max({r_max, std::fabs(lo * f - 1), std::fabs(hi * f - 1)});
    }
    long double binomial[kSeriesTerms + 1];  // a choose (n + 1)
    binomial[0] = a;
    for (int n = 1; n <= kSeriesTerms; ++n) binomial[n] = binomial[n - 1] * (a - n) / (n + 1);
    // On [-R, R], r^5 = R^5 T5(r/R)/16 + (5/4) R^2 r^3 - (5/16) R^4 r, and
    // |T5| <= 1: dropping the T5 part costs at most |s5| R^5 / 16.
    long double r2 = r_max * r_max;
    binomial[3] += binomial[5] * 5 * r2 / 4;
    binomial[1] -= binomial[5] * 5 * r2 * r2 / 16;
    for (int n = 0; n < kSeriesTerms; ++n) table.series[n] = static_cast<double>(binomial[n]);
    long double interval_scale[kIntervals];
    for (int j = 0; j < kIntervals; ++j) {
        interval_scale[j] = ::powl(table.inverse_z[j], -a);
        table.interval_scale[j] = static_cast<double>(interval_scale[j]);
    }
    for (int k = -kRegisterBinades / 2; k < kRegisterBinades / 2; ++k) {
        table.binade_scale[k & (kRegisterBinades - 1)] = static_cast<double>(::exp2l(a * k));
    }
    const int lowest_k = -kIndexCount / 2 / kIntervals;
    for (int k = lowest_k; k < -lowest_k; ++k) {
        long double binade_scale = ::exp2l(a * k);
        double* row = table.scale + (k - lowest_k) * kIntervals;
        for (int j = 0; j < kIntervals; ++j) row[j] = static_cast<double>(binade_scale * interval_scale[j]);
    }
    return table;
}

// Without a lock, so that a fork() during the build leaves no busy guard.
parallel::ComputeOnce<PowerTable> table;

}  // namespace

const PowerTable& power_table() { return table.get(build_power_table); }

}  // namespace velkor::srgb
