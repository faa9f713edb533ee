// The row loops for the x86-64 baseline, one pixel at a time, and the choice
// among the instruction sets' loops.
#include "bw/weighted_sum_rows.hpp"

#include "parallel/compute_once.hpp"
#include "simd/lanes_scalar.hpp"
#include "bw/weighted_sum_lanes.hpp"

namespace velkor {
namespace {

// Without a lock, so that a fork() during the choice leaves no busy guard.
parallel::ComputeOnce<simd::Chosen<const WeightedSumRows*>> chosen;

simd::Chosen<const WeightedSumRows*> choose_rows() { return simd::choose(kWeightedSumVariants); }

}  // namespace

const WeightedSumRows kScalarWeightedSumRows = weighted_sum_lanes::rows_of<simd::Scalar>();

const WeightedSumRows& weighted_sum_rows() { return *chosen.get(choose_rows).span; }

}  // namespace velkor
